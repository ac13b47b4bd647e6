#pragma once
// The whole control box on loopback, each part a process of its own: the
// daemon binary in debug mode with every interface switched on, a real
// mosquitto broker, a private dbus-daemon as the system bus, the
// home-platform stand-in with its control box, an energy-management server
// that can be blackholed, and the file-backed GPIO stand-in. The working
// directory tree (config, templates, device settings, GPIO files) is made
// below a temporary root; the daemon runs in its "run/" directory.
//
// Every peer is reached only through its own protocol; this class starts,
// stops and breaks them.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/nymea/StandIn.h"
#include "tests/server/ChildProcess.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/PrivateBus.h"

namespace httplib {
class Server;
}

namespace systest {

// The home energy-management server: answers "updateEnergyData" on a fixed
// loopback port and keeps the last limit of each CLS. Blackholed, the port
// still takes connections but nobody reads them.
class EmsPeer {
public:
    EmsPeer();
    ~EmsPeer();
    EmsPeer(const EmsPeer&) = delete;
    EmsPeer& operator=(const EmsPeer&) = delete;

    int port() const { return port_; }
    bool serving() const { return server_ != nullptr; }
    void blackhole();
    bool back();
    // The limit of the last "updateEnergyData" call for cls.
    std::optional<int64_t> lastLimit(int cls) const;
    size_t calls() const;

private:
    bool serve();
    void stopServing();

    int port_ = 0;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int holeFd_ = -1;
    mutable std::mutex mutex_;
    std::map<int, int64_t> last_;
    size_t calls_ = 0;
};

struct SystemOptions {
    std::string source = "eebus";          // the home platform's power-limit source at start
    std::string controlBox = "unlimited";  // its control box's limitation states at start
};

class SystemUnderTest {
public:
    SystemUnderTest(const std::filesystem::path& root, SystemOptions options = {});
    ~SystemUnderTest();
    SystemUnderTest(const SystemUnderTest&) = delete;
    SystemUnderTest& operator=(const SystemUnderTest&) = delete;

    // Every peer runs; otherwise why names the first that does not.
    bool peersUp(std::string& why) const;

    // Starts the daemon and waits for its main loop and its gateway's
    // "online"; false (log in daemonLog) when it does not come up in time.
    bool startDaemon(std::chrono::seconds timeout = std::chrono::seconds(60));
    void killDaemon();
    bool daemonRunning();
    std::string daemonLog() const;
    pid_t daemonPid() const { return daemon_ ? daemon_->pid() : -1; }

    int mmsPort() const { return mmsPort_; }
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path runDir() const { return root_ / "run"; }

    // Roads.
    StandIn& homePlatform() { return *homePlatform_; }
    void setRelays(int line12, int line13, int line14, int line15);
    testsupport::MosquittoBroker& broker() { return *broker_; }
    // The MoreVale gateway's broker: TLS with client certificates only.
    testsupport::MosquittoBroker& moreValeBroker() { return *moreValeBroker_; }
    // A platform's client certificate for that broker, and its CA.
    testsupport::CertificateFiles moreValePlatformCertificate(const std::string& name);
    const std::filesystem::path& moreValeCaFile() const { return ca_->caFile(); }
    // "dso/<dso>/gcp/<gcp>/lpc/<version>/" of the test's MoreVale configuration.
    static std::string moreValeTopicPrefix() { return "dso/dso1/gcp/gcp7/lpc/0.4.0/"; }
    EmsPeer& ems() { return ems_; }
    testsupport::PrivateSystemBus& bus() { return bus_; }

    // CLSEEDI topics of this host.
    std::string clseediInTopic() const;
    std::string clseediOutTopic() const;
    std::string clseediStatusTopic() const;

private:
    void writeConfigTree(const SystemOptions& options);

    std::filesystem::path root_;
    testsupport::PrivateSystemBus bus_;
    std::unique_ptr<testsupport::MosquittoBroker> broker_;
    bool brokerStarted_ = false;
    std::unique_ptr<testsupport::TestCertificateAuthority> ca_;
    std::unique_ptr<testsupport::MosquittoBroker> moreValeBroker_;
    bool moreValeBrokerStarted_ = false;
    EmsPeer ems_;
    std::unique_ptr<StandIn> homePlatform_;
    std::unique_ptr<testsupport::ChildProcess> daemon_;
    int daemonStarts_ = 0;
    const int mmsPort_;
    const int nymeaPort_;
    std::string host_;
};

}  // namespace systest
