#pragma once
// Read and Write requests of named variables over the MMS test client, and
// the value of an operate on a controllable object.

#include <optional>
#include <string>
#include <vector>

#include "iec61850/mms/ber.h"
#include "tests/mms/MmsTestClient.h"

namespace mmsreq {

// "FNN_STEUERBOX" + logical device.
std::string domainOf(const std::string& device);

// Reads one variable ("ActPow_GGIO001$MX$AnOut1$mxVal$f" of "CLS1"); null on any failure.
MmsValuePtr read(mmstest::MmsTestClient& client, const std::string& device, const std::string& item);
std::optional<float> readFloat(mmstest::MmsTestClient& client, const std::string& device, const std::string& item);

// Writes one variable: DATA_ACCESS_ERROR_SUCCESS when the server answered
// success, else the data-access error it answered; nullopt without a valid answer.
std::optional<MmsDataAccessError> writeResult(mmstest::MmsTestClient& client, const std::string& device,
                                              const std::string& item, const MmsValue* value);
// Writes one variable; true when the server answered success.
bool write(mmstest::MmsTestClient& client, const std::string& device, const std::string& item, const MmsValue* value);

// Vendor, model and revision of the server; nullopt on any failure.
std::optional<std::vector<std::string>> identify(mmstest::MmsTestClient& client);

// Names of the domains (domain empty) or of the named variables of one
// domain, every page of the answer; nullopt on any failure.
std::optional<std::vector<std::string>> nameList(mmstest::MmsTestClient& client, const std::string& domain);

// Operates "<node>$CO$<object>$Oper" with a boolean ctlVal (the answer as writeResult gives it).
std::optional<MmsDataAccessError> operateResult(mmstest::MmsTestClient& client, const std::string& device,
                                                const std::string& node, const std::string& object, bool value);
bool operate(mmstest::MmsTestClient& client, const std::string& device, const std::string& node,
             const std::string& object, bool value);

}  // namespace mmsreq
