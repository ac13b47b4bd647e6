#pragma once
// Lookups of static-model nodes by their names, the CLS number of a CLS
// logical-device name, the list of schedule node names and a TCP
// reachability test. Free functions without state; any thread may call them.

#include <chrono>
#include <string>
#include <vector>

#include "iec61850/iec61850_model.h"

// Each argument is one plain node name, compared whole and case-sensitive.
// The result belongs to the static model (never freed); null when any level
// is missing. A sub-attribute is found only by findSubDataAttribute.
DataObject* findDataObject(const std::string& ld, const std::string& ln, const std::string& dataObject);
DataAttribute* findDataAttribute(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                 const std::string& da);
DataAttribute* findSubDataAttribute(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                    const std::string& da, const std::string& subDa);

// 1..4 for "CLS1".."CLS4"; throws std::invalid_argument("Invalid LogicalDeviceKind string") otherwise.
int logicalDeviceKindFromString(const std::string& name);

// The schedule logical-node names of "CLS1" in model order (every node not in
// nonScheduleLogicalNodes); empty when there is no "CLS1".
std::vector<std::string> getAllScheduleNames();

inline constexpr std::chrono::milliseconds kHostReachableTimeout{10000};

// True when a TCP connection to host:port completes within the timeout; the
// connection is closed at once without sending anything. Prints its progress
// on standard output and one line on standard error for every failure.
bool isHostReachable(const std::string& host, int port,
                     std::chrono::milliseconds timeout = kHostReachableTimeout);
