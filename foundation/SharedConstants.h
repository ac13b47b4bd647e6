#pragma once
// Names shared by every unit. Include this header before any static object
// that reads them: inline variables are initialised before every variable
// defined after them in a unit, and the lists are constant-initialised.

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

inline constexpr std::string_view dbusNamePrefix = "de.tavelmarck.rurodi.";

inline const std::unordered_map<std::string, int> clsNameToIndex = {
    {"CLS1", 1}, {"CLS2", 2}, {"CLS3", 3}, {"CLS4", 4}};

inline const std::unordered_set<std::string> nonScheduleLogicalNodes = {
    "LLN0",           "MMXU001",          "Softstart_GGIO001", "CommFail_GGIO1",
    "ActPow_GGIO001", "FailSafe_GGIO001", "DERRtg_GGIO001",    "ActPow_FSCC001",
    "Softstart_GGIO1", "ActPow_GGIO002",  "WLod_FSCC001",      "WGn_FSCC001"};

inline constexpr std::array<int, 9> allowedSchedulePriorities = {10, 20, 30, 50, 110, 130, 150, 220, 250};

inline constexpr std::array<std::string_view, 8> normalScheduleMembers = {
    "SchdName", "SchdPrio", "NumEntr", "SchdIntv", "ValASG", "StrTm", "SchdReuse", "LatestUpdate"};

inline constexpr std::array<std::string_view, 9> triggerScheduleMembers = {
    "SchdName", "SchdPrio", "NumEntr", "SchdIntv", "ValASG", "SchdReuse", "EvTrg", "LatestUpdate", "currentTrg"};
