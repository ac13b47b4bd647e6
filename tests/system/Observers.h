#pragma once
// The four places where the box shows a CLS's limit, each read through its
// own protocol: "ActPow_GGIO001.AnOut1" (and "ActSchdRef") over MMS, the
// ActPow signals on the system bus, the last "updateEnergyData" call the
// energy-management server received, and the CLSEEDI gateway's answer to a
// "limits" read (CLS1 only). The checker compares each with the limits the
// model allows, in the form that observer shows a limit.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/mms/MmsTestClient.h"
#include "tests/system/LimitModel.h"
#include "tests/system/SystemUnderTest.h"

namespace bustest {
class BusClient;
}
namespace testsupport {
class MqttTestClient;
}

namespace systest {

class Observers {
public:
    explicit Observers(SystemUnderTest& system);
    ~Observers();
    Observers(const Observers&) = delete;
    Observers& operator=(const Observers&) = delete;

    // The bus observer listens from now on (before the daemon starts, so it
    // sees the start-up's first signals); dropped before the bus goes away.
    bool watchBus();
    void dropBus();
    // The gateway observer; made anew after a broker restart.
    bool watchGateway();
    // A new MMS association (after a daemon restart).
    bool connectMms();
    mmstest::MmsTestClient* mms() { return mms_.get(); }

    // Waits until every observer of CLS1 and CLS2 shows one and the same
    // limit that the model allows at that moment. False with a report of
    // the last look when the time runs out.
    bool awaitAgreement(const LimitModel& model, std::chrono::milliseconds timeout, std::string& report);

private:
    std::optional<std::string> disagreement(const LimitModel& model, int cls);
    std::optional<std::pair<int64_t, bool>> readGatewayLimit();

    SystemUnderTest& system_;
    std::unique_ptr<bustest::BusClient> bus_;
    std::unique_ptr<testsupport::MqttTestClient> gateway_;
    std::unique_ptr<mmstest::MmsTestClient> mms_;
    int readCount_ = 0;
};

// Seconds since the epoch now.
int64_t wallSeconds();
uint64_t wallMs();

}  // namespace systest
