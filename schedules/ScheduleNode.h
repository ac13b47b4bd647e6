#pragma once
// Access to one logical node of a CLS device through the server handle:
// attribute lookup by names and null-safe typed reads and writes.

#include <cstdint>
#include <string>

#include "iec61850/iec61850_server.h"

// Time-quality byte of every time stamp written here: flags cleared, leap
// seconds known.
inline constexpr uint8_t kTimeQualityLeapSecondsKnown = 0x80;

class ScheduleNode {
public:
    ScheduleNode(IedServer server, std::string ld, std::string ln)
        : server_(server), ld_(std::move(ld)), ln_(std::move(ln)) {}

    const std::string& ld() const { return ld_; }
    const std::string& ln() const { return ln_; }

    // The attribute, or null when any level is missing.
    DataAttribute* attr(const std::string& dataObject, const std::string& da) const;
    DataAttribute* sub(const std::string& dataObject, const std::string& da, const std::string& subDa) const;

    // Reads; a missing attribute reads as 0 / false.
    int32_t int32(DataAttribute* a) const;
    bool boolean(DataAttribute* a) const;
    float real(DataAttribute* a) const;
    uint64_t timeMs(DataAttribute* a) const;
    // An integer or unsigned value as int; 0 for any other type.
    int integral(DataAttribute* a) const;

    // Writes through the updaters (they take the data-model lock); a missing
    // attribute is skipped.
    void setInt32(DataAttribute* a, int32_t value) const;
    void setBoolean(DataAttribute* a, bool value) const;
    void setReal(DataAttribute* a, float value) const;
    void setString(DataAttribute* a, const std::string& value) const;
    void setTimestamp(DataAttribute* a, uint64_t ms) const;
    // An integer or unsigned attribute (as integral() reads it); a negative
    // value makes an unsigned one 0; any other type is skipped.
    void setIntegral(DataAttribute* a, int value) const;
    // Sets every integer and unsigned component of a structure to 0.
    void zeroStructure(DataAttribute* a) const;

private:
    IedServer server_;
    std::string ld_;
    std::string ln_;
};

// Entry data objects are numbered with leading zeros: "ValASG007" for
// ("ValASG", 7, 3), "StrTm07" for ("StrTm", 7, 2).
std::string entryObjectName(const char* prefix, int k, int digits);
