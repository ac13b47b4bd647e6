// libFuzzer target on stored schedule files as the store reads them: the
// input becomes "./schedules/CLS1/<name>.json" (the first octet picks a
// normal, a direct or a trigger schedule) and every question the evaluation
// asks of the store runs on it, then a hand-over that compares against it.
// The working directory is a temporary one, on a memory file system where
// there is one, so the syncs of rewritten files cost little.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <sstream>
#include <string>

#include "foundation/Logging.h"
#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"

namespace {

namespace fs = std::filesystem;

const char* const kNames[] = {"EmpWCmd_FSCH030001", "EmpDCmd_FSCH050001", "SysSoft_FSCH110001"};

ScheduleManager& store() {
    static ScheduleManager* manager = [] {
        setSyslogSinkForTesting([](int, const std::string&) {});
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "schedule-fuzz.XXXXXX").string();
        fs::current_path(::mkdtemp(pattern.data()));
        fs::create_directories(schedulefile::directory(1));
        auto* sm = new ScheduleManager("Fuzz");  // lives for the whole run
        sm->setAllScheduleNames({std::begin(kNames), std::end(kNames)});
        return sm;
    }();
    return *manager;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ScheduleManager& sm = store();
    const std::string name = kNames[data[0] % 3];
    const std::string file = schedulefile::path(1, name);
    for (const char* other : kNames) fs::remove(schedulefile::path(1, other));
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data + 1),
                                                                  static_cast<std::streamsize>(size - 1));

    // The store talks on standard output; keep it out of the run.
    std::ostringstream sink;
    std::streambuf* console = std::cout.rdbuf(sink.rdbuf());
    std::streambuf* errors = std::cerr.rdbuf(sink.rdbuf());
    const uint64_t now = 1767225600;  // a start time in the seeds lies 10 s before
    (void)sm.checkStatusOfSchedule(1, name);
    (void)sm.getSchedulesWithEnaReq({name}, 1);
    (void)sm.checkInSMIfActualTimeInScheduleInterval(1, name, true);
    (void)sm.checkInSMIfSlotIsInFuture(1, name, true);
    const int index = sm.getValIndex(1, name, now);
    (void)sm.getVal(1, name, index < 0 ? 0 : index);
    (void)sm.getMultiplier(1, name);
    (void)sm.getActStrTm(1, name);
    (void)sm.getNxtStrTm(1, name);
    (void)sm.getActivateSchedule(1);
    (void)sm.getPowerLimitSchedule(1);
    (void)sm.writeTmIfCal(1, name);
    (void)sm.addScheduleJSON(1, name, true, false, 30, 1, 60, {100.0}, 0, {static_cast<int64_t>(now) - 10, 0},
                             {0, 5, 0, 0, 0, 0, 0, 0}, false, 1);
    (void)sm.syncHandedOverFiles(1);  // the road's end: the next input is read from its file
    std::cout.rdbuf(console);
    std::cerr.rdbuf(errors);
    fs::remove(file + schedulefile::kRejectedSuffix);
    return 0;
}
