#pragma once
// The schedule store: every FSCH schedule of every CLS as one JSON file
// "./schedules/CLS<n>/<name>.json", the schedule names sorted into kind
// lists, the integrity checks and states of stored schedules, their slot
// arithmetic and the choice of the active schedule of a CLS.
//
// Every query reads its file again; nothing else is cached, with two
// exceptions that keep a refused command out of force:
// - a hand-over is held in memory (staged) until syncHandedOverFiles writes
//   it durably: the queries of the road read it in place of the file, the
//   file on disk keeps what is in force until then, and a hand-over whose
//   write fails at any step (write, rename, sync of the file or of its
//   directory) is dropped, so the store holds what it held before;
// - when such a write failed after its rename and the old file could not be
//   put back (DurableFile::destinationChanged), the store reads the text in
//   force from memory until a later road has written it back.
// The store has no lock of its own: its one instance is used on the
// processing road, which the callers serialise with the road lock
// (schedules/RoadLock.h).

#include <rapidjson/document.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "iec61850/durable_file.h"

// Start time (ms since the epoch) -> limit in W.
using PowerLimitSchedule = std::map<uint64_t, int64_t>;

// State numbers stored as "ScheduleStateKind" and answered by checkStatusOfSchedule.
enum ScheduleState : int {
    kStateNotEvaluated = 0,
    kStateNotReady = 1,
    kStateStartTimeRequired = 2,
    kStateReady = 3,
    kStateRunning = 4,
    kStateNoScheduleNames = 5,
};

inline constexpr const char* kNoScheduleActive = "no_schedule_active";

class ScheduleManager {
public:
    explicit ScheduleManager(const char* name);
    virtual ~ScheduleManager() = default;
    ScheduleManager(const ScheduleManager&) = delete;
    ScheduleManager& operator=(const ScheduleManager&) = delete;

    bool debugOutput = false;      // adds the verbose console lines
    bool lookAheadOutput = false;  // console output of the look-ahead
    uint32_t logLevel = 5;
    std::vector<uint64_t> futureStartTimes;  // look-ahead: start times (ms) ahead, per call

    std::vector<std::string> schedulesNames12_Base_all;
    std::vector<std::string> schedulesNames12_Direct_all;
    std::vector<std::string> schedulesNames12_Trigger_all;
    std::vector<std::string> schedulesNames13_Base_Lo;
    std::vector<std::string> schedulesNames13_Direct_Lo;
    std::vector<std::string> schedulesNames13_Trigger_Lo;
    std::vector<std::string> schedulesNames13_Base_Gn;
    std::vector<std::string> schedulesNames13_Direct_Gn;
    std::vector<std::string> schedulesNames13_Trigger_Gn;

    // --- Store --------------------------------------------------------------

    // Appends the names to the kind lists (the lists are not cleared first).
    void setAllScheduleNames(const std::vector<std::string>& names);

    // Hand over a schedule in the normal or the trigger layout: it is staged
    // (saveJSON) and written by the next syncHandedOverFiles of its CLS. A
    // refused hand-over (count mismatch, a value that is not finite or, for
    // a trigger schedule, outside int) sets a stored file aside
    // ("<file>.rejected") so that no older enabled schedule stays in force;
    // the result is false. Handing over an unchanged schedule leaves its
    // file as it is, so its "LatestUpdate" (and evaluated state) stays.
    bool addScheduleJSON(int cls, const std::string& name, bool enaReq, bool dsaReq, int schdPrio, int numEntr,
                         int schdIntv, const std::vector<double>& values, int multiplier,
                         const std::vector<int64_t>& strTm, const std::array<int, 8>& strCal, bool schdReuse,
                         int64_t latestUpdate);
    bool addScheduleJSONTrg(int cls, const std::string& name, int schdPrio, int numEntr, int schdIntv,
                            const std::vector<double>& values, int multiplier, bool schdReuse, bool evTrg,
                            int64_t latestUpdate, bool currentTrg);

    // The staged hand-over, else the parsed file (or the text in force, see
    // the top), or a null document when it is missing or does not parse.
    // An entry that is no readable schedule file (not a regular file, too
    // large, nested too deeply) reads as missing, with one log line until it
    // changes.
    rapidjson::Document readJSON(int cls, const std::string& name) const;
    // Creates missing directories, then stages the document as the hand-over
    // of the file; false (logged) when a directory cannot be made.
    bool saveJSON(const rapidjson::Document& doc, int cls, const std::string& name);
    // A staged file: the staged document becomes doc (written with it).
    // Otherwise replaces the file atomically and durably without touching
    // directories; a failure leaves the file as it was.
    bool writeJSONToFile(int cls, const rapidjson::Document& doc, const std::string& name);
    // Writes each staged hand-over of the CLS durably: one synced replace
    // (file and directory sync) per file. A hand-over whose write fails at
    // any step is dropped with one LOG_ERR line, its name goes to refused
    // (when given) and the store holds what was in force before; the result
    // is then false. When every write went through, it also retries what
    // failures of earlier roads left: texts in force to be written back and
    // put-back files whose directory sync failed. Those retries only ever
    // make durable what is in force; their failure is logged (LOG_WARNING,
    // once until they succeed) and does not change the result.
    bool syncHandedOverFiles(int cls, std::vector<std::string>* refused = nullptr);
    // Drops the staged hand-overs of the CLS unwritten (a road that fails
    // before it writes them); the names of those dropped.
    std::vector<std::string> dropHandedOver(int cls);
    bool changeStateKindInJSON(int cls, const std::string& name, int state);
    // Sets the first "StrTm" entry to now minus one second.
    bool writeTmIfCal(int cls, const std::string& name);

    // --- Checks and states ------------------------------------------------------

    // 1, 3, 4, or 5 when the store holds no names (then nothing is touched).
    int checkStatusOfSchedule(int cls, const std::string& name);
    int checkIfAllScheduleListsEmpty(int cls, const std::string& name);
    bool checkIntegrityOfJSON(int cls, const std::string& name, bool verbose);
    bool checkIntegrity(const rapidjson::Document& doc, const std::string& name, int cls, bool verbose);
    bool checkCommonMembers(const rapidjson::Document& doc, const std::string& name);
    bool checkStrTm(const rapidjson::Document& doc, const std::string& name, bool verbose);
    bool checkIntegrityCal(const rapidjson::Document& doc, const std::string& name, int cls, bool verbose);
    bool checkEnaReq(const rapidjson::Document& doc, const std::string& name);
    bool checkTriggerMembers(const rapidjson::Document& doc, const std::string& name);
    int determineScheduleStateKind(int cls, const std::string& name);
    // Stores the state; the state the file holds afterwards (Not Ready for
    // none), which differs from state when the file could not be rewritten.
    int setScheduleStateKind(int cls, const std::string& name, int state, const std::string& text);

    // --- Active schedule and slots -------------------------------------------

    std::vector<std::string> getSchedulesWithEnaReq(const std::vector<std::string>& names, int cls);
    // The running schedule with the highest priority, then the greatest
    // "LatestUpdate"; "no_schedule_active" when none runs.
    std::string getActivateSchedule(int cls);
    bool checkInSMIfActualTimeInScheduleInterval(int cls, const std::string& name, bool verbose);
    bool checkInSMIfSlotIsInFuture(int cls, const std::string& name, bool verbose);
    // Index of the entry covering timeSec (seconds), -1 when none does.
    int getValIndex(int cls, const std::string& name, uint64_t timeSec);
    std::pair<bool, double> getVal(int cls, const std::string& name, int index);
    // "Multiplier" of the stored schedule: the power of ten of all its values.
    std::optional<int> getMultiplier(int cls, const std::string& name);
    uint64_t getActStrTm(int cls, const std::string& name);
    uint64_t getNxtStrTm(int cls, const std::string& name);
    // Always empty: no limit map is derived from the stored schedules.
    PowerLimitSchedule getPowerLimitSchedule(int cls);

    // --- Three-day look-ahead ---------------------------------------------------
    // The limits the stored base and direct-command schedules of a CLS set
    // during the next three days: entry start (ms) -> limit in W, with -1 from
    // the end of each run of schedules and at the end of the window. Reads the
    // files only; writes none. Like every query of the store it must not run
    // beside a road (callers hold the road lock). Reference times are ms.

    PowerLimitSchedule getPowerLimitSchedule3Days(int cls);
    void processSchedules(int cls, PowerLimitSchedule& out, uint64_t startMs);
    std::string getActivateScheduleAtRefTime(int cls, uint64_t refTimeMs);
    std::vector<std::string> isScheduleRunningAtRefTime(int cls, uint64_t refTimeMs);
    // Appends the start times (ms) after now of the named schedules to futureStartTimes.
    void getStrTmList(int cls, const std::vector<std::string>& names);
    uint64_t getNextScheduleChange(int cls, uint64_t refTimeMs, const std::string& name, uint64_t startMs);
    // Emits (entry start, value in W) from t until end; t ends at the time
    // after the last emitted entry, at most end.
    void emitScheduleSlots(int cls, const std::function<void(uint64_t timeMs, float value)>& emit, uint64_t& t,
                           const std::string& name, uint64_t end);
    bool checkIfRefTimeInScheduleInterval(int cls, const std::string& name, uint64_t refTimeMs, bool verbose);

private:
    using FileKey = std::pair<int, std::string>;  // (cls, name)
    struct Staged {
        std::string content;                  // the hand-over, as it is to be written
        std::optional<std::string> previous;  // the text in force before it; nullopt: no file
    };

    bool allListsEmpty() const;
    // The text in force for (cls, name), staged hand-overs aside: the text
    // kept in memory after a failed put-back, else the file's text; nullopt
    // for no (readable) file, refusal then as for schedulefile::readText.
    std::optional<std::string> textInForce(int cls, const std::string& name, std::string* refusal) const;
    // Writes back the texts in force of the CLS and syncs its put-back files.
    void retryDurability(int cls);
    bool storeSchedule(rapidjson::Document& doc, int cls, const std::string& name);
    void rejectSchedule(int cls, const std::string& name, const char* reason);
    void reportRefusedFile(const std::string& file, const std::string& refusal) const;

    // File path -> why it was last refused; a refusal is logged once.
    mutable std::mutex refusedMutex;
    mutable std::map<std::string, std::string> refusedFiles;
    // Writes the schedule files; knows which are not yet durable.
    iec61850::FileReplacer files;
    // Hand-overs not yet written (see the top).
    std::map<FileKey, Staged> staged;
    // Files whose disk content is not what is in force: the text in force
    // (nullopt: no file), until it is written back.
    std::map<FileKey, std::optional<std::string>> inForce;
    // CLS whose retried durability failed and was logged.
    std::set<int> durabilityWarned;
};

// Milliseconds since the epoch from the process clock.
int64_t getCurrentTimeMs();

// Hours from now until timeMs (negative for a time past), two decimals.
float hoursFromNow(uint64_t timeMs);

// The one store, "Manager", created during static initialisation; never deleted.
extern ScheduleManager* scheduleManager;
