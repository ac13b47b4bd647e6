#pragma once
// Shared pieces of the schedule tests: the schedule names of the model, a
// fixture with a fresh store on a fake clock, and a builder for stored files.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"
#include "foundation/Clock.h"
#include "tests/support/TestSupport.h"

namespace scheduletest {

// The 26 schedule nodes of a CLS device, in model order.
inline const std::vector<std::string> kScheduleNames = {
    "SysRes_FSCH010001",   "EmpSPrg_FSCH020001",  "EmpSPrg_FSCH020002",  "EmpSPrg_FSCH020003",
    "EmpSPrg_FSCH020004",  "EmpSPrg_FSCH020005",  "EmpSPrg_FSCH020101",  "EmpSPrg_FSCH020102",
    "EmpSPrg_FSCH020103",  "EmpWCmd_FSCH030001",  "EmpWCmd_FSCH030002",  "EmpDCmd_FSCH050001",
    "EmpDCmd_FSCH050002",  "SysSoft_FSCH110001",  "SysSoft_FSCH110002",  "SysSoft_FSCH110003",
    "SysSoft_FSCH110004",  "DsoWCmd_FSCH130001",  "DsoWCmd_FSCH130002",  "DsoDCmd_FSCH150001",
    "DsoDCmd_FSCH150002",  "SysComEr_FSCH220001", "DsoECmd_FSCH250001",  "DsoECmd_FSCH250002",
    "DsoECmd_FSCH250003",  "DsoECmd_FSCH250004"};

// 2026-01-01T00:00:00Z.
inline constexpr uint64_t kNowSec = 1767225600;

// A stored file in the normal (or trigger) layout as raw JSON members, in
// layout order. set() replaces a member's JSON text, drop() removes it.
class FileBuilder {
public:
    static FileBuilder normal(const std::string& name) {
        FileBuilder b;
        b.members_ = {{"SchdName", "\"" + name + "\""},
                      {"ScheduleStateKind", "0"},
                      {"EnaReq", "true"},
                      {"DsaReq", "false"},
                      {"SchdPrio", "30"},
                      {"NumEntr", "1"},
                      {"SchdIntv", "60"},
                      {"ValASG", "[4200.0]"},
                      {"Multiplier", "0"},
                      {"StrTm", '[' + std::to_string(kNowSec - 10) + ",0]"},
                      {"StrCal", "[0,5,0,0,0,0,0,0]"},
                      {"SchdReuse", "false"},
                      {"LatestUpdate", std::to_string(kNowSec * 1000 - 20000)}};
        return b;
    }
    static FileBuilder trigger(const std::string& name) {
        FileBuilder b;
        b.members_ = {{"SchdName", "\"" + name + "\""}, {"ScheduleStateKind", "0"}, {"SchdPrio", "110"},
                      {"NumEntr", "1"},                 {"SchdIntv", "60"},          {"ValASG", "[1500]"},
                      {"Multiplier", "3"},              {"SchdReuse", "false"},      {"EvTrg", "true"},
                      {"LatestUpdate", std::to_string(kNowSec * 1000 - 20000)},      {"currentTrg", "true"}};
        return b;
    }
    FileBuilder& set(const std::string& key, const std::string& json) {
        for (auto& m : members_) {
            if (m.first == key) {
                m.second = json;
                return *this;
            }
        }
        members_.emplace_back(key, json);
        return *this;
    }
    FileBuilder& drop(const std::string& key) {
        std::erase_if(members_, [&](const auto& m) { return m.first == key; });
        return *this;
    }
    std::string json() const {
        std::string out = "{";
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i) out += ",";
            out += "\"" + members_[i].first + "\":" + members_[i].second;
        }
        return out + "}";
    }

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

// A fresh working directory, a store that knows the 26 names, and a fake
// clock at kNowSec.
class StoreTest : public testsupport::IecTest {
protected:
    StoreTest() : clock(std::make_shared<FakeClock>(kNowSec * 1000)), store("Test") {
        Clock::setForTesting(clock);
        store.setAllScheduleNames(kScheduleNames);
        store.logLevel = 7;
    }
    ~StoreTest() override { Clock::setForTesting(nullptr); }

    void setNow(uint64_t seconds) { clock->setWallMs(seconds * 1000); }
    void writeStored(int cls, const std::string& name, const std::string& content) {
        workDir.writeFile(schedulefile::path(cls, name), content);
    }
    std::string readStored(int cls, const std::string& name) {
        return workDir.readFile(schedulefile::path(cls, name));
    }
    bool storedExists(int cls, const std::string& name) {
        return std::filesystem::exists(workDir.path() / schedulefile::path(cls, name));
    }
    int storedState(int cls, const std::string& name) {
        auto doc = store.readJSON(cls, name);
        return schedulefile::getInt(doc, "ScheduleStateKind").value_or(-1);
    }

    std::shared_ptr<FakeClock> clock;
    ScheduleManager store;
};

}  // namespace scheduletest
