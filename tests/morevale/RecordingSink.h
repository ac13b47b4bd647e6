#pragma once
// A sink of the MoreVale message handler that records what handled messages
// did: limit writes, publications and MGCP requests.

#include <cstdint>
#include <string>
#include <vector>

#include "external/MoreValeMessages.h"

struct RecordingSink : MoreValeSink {
    struct Write {
        uint64_t startTimeMs;
        int durationSeconds;
        float limitW;
        bool operator==(const Write&) const = default;
    };
    struct Publication {
        std::string topic;
        std::string payload;
        bool operator==(const Publication&) const = default;
    };
    struct MgcpRequest {
        int intervalSeconds;
        std::string transactionId;
        bool operator==(const MgcpRequest&) const = default;
    };

    bool writeResult = true;
    std::vector<Write> writes;
    std::vector<Publication> publications;
    std::vector<MgcpRequest> mgcpRequests;

    bool writeLpc(uint64_t startTimeMs, int durationSeconds, float limitW) override {
        writes.push_back({startTimeMs, durationSeconds, limitW});
        return writeResult;
    }
    void publish(const std::string& topic, const std::string& payload) override {
        publications.push_back({topic, payload});
    }
    void requestMgcp(int intervalSeconds, const std::string& transactionId) override {
        mgcpRequests.push_back({intervalSeconds, transactionId});
    }
};
