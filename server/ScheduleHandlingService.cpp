// The schedule handling of the daemon behind the ScheduleService seam.
#include "schedules/IecScheduleHandling.h"
#include "server/ScheduleService.h"

namespace {

class ScheduleHandlingService : public ScheduleService {
public:
    explicit ScheduleHandlingService(IecScheduleHandling& handling) : handling_(handling) {}

    bool sendIECValuesToScheduleManager(const std::string& node, int cls) override {
        return handling_.sendIECValuesToScheduleManager(node, cls);
    }
    void updateSchedule(int cls) override { handling_.updateSchedule(cls); }
    void updateStatesOfAllCls() override { handling_.updateStatesOfAllCls(); }
    bool checkIfActualTimeInScheduleInterval(int cls, const std::string& node) override {
        return handling_.checkIfActualTimeInScheduleInterval(cls, node);
    }
    bool checkIfSlotIsInFuture(int cls, const std::string& node) override {
        return handling_.checkIfSlotIsInFuture(cls, node);
    }
    void deleteScheduleData(const std::string& clsName, const std::string& node) override {
        handling_.deleteScheduleData(clsName, node);
    }
    std::vector<int> getClsWithActiveSchedule() override { return handling_.getClsWithActiveSchedule(); }
    std::vector<int> getClsWithFutureTimestamp() override { return handling_.getClsWithFutureTimestamp(); }
    std::string getActiveScheduleName(int cls) override { return handling_.getActiveScheduleName(cls); }
    float getActiveValue(int cls) override { return handling_.getActiveValue(cls); }
    int32_t getActiveMultiplier(int cls) override { return handling_.getActiveMultiplier(cls); }
    int64_t getTotalDuration() override { return handling_.getTotalDuration(); }
    std::map<uint64_t, int64_t> getScheduleData(int cls) override { return handling_.getScheduleData(cls); }

private:
    IecScheduleHandling& handling_;
};

}  // namespace

std::shared_ptr<ScheduleService> createScheduleHandling(IedServer* server, CallbackMap* callbacks) {
    // The one schedule handling of the process; it lives until the process ends.
    scheduleHandling = new IecScheduleHandling(server, callbacks);
    return std::make_shared<ScheduleHandlingService>(*scheduleHandling);
}
