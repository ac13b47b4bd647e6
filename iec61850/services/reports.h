#pragma once
// Unbuffered report control blocks: their client-visible state, ownership by
// an association, and the InformationReports ("RPT") they send.
//
// With a buffer time, changes of different members within it go out as one
// report; a second change of a buffered member sends the buffer first.
//
// A report larger than the owner's negotiated PDU size goes out in segments:
// its members, in member order, spread over as many InformationReports as
// needed, each within the PDU size. Every segment carries the report's
// sequence number, its own sub-sequence number (0, 1, ...) and whether more
// segments follow; its sent OptFlds have the sequence-number and
// segmentation bits set. A member too large for a segment of its own is left
// out, with a log line.
//
// Threads: onAttributeUpdate runs on whichever thread updates the model,
// under the data-model lock; it only records what is to be reported (with
// the member values of that moment) and wakes the processing loop. Every
// other call runs on the thread that processes incoming data, which is also
// the only one that sends. Lock order: data-model lock, then the engine's
// own mutex.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "iec61850/iec61850_server.h"
#include "iec61850/mms/ber.h"
#include "iec61850/services/model_index.h"

namespace services {

class ReportEngine {
public:
    using Sender = std::function<bool(sMmsServerConnection*, std::vector<uint8_t>)>;
    // Reports queued between two runs of the periodic tasks at most. Updates
    // beyond that (a writer flooding the model) are folded: each block then
    // sends one more report with the latest value of every member that
    // changed meanwhile, so the last state always reaches the client.
    static constexpr size_t kMaxPendingReports = 4096;
    using Clock = std::function<uint64_t()>;  // ms since the epoch
    // The negotiated PDU size of an association (MMS PDU octets).
    using PduSizeOf = std::function<uint32_t(sMmsServerConnection*)>;
    // PDU size assumed while no PduSizeOf is set: the largest we negotiate.
    static constexpr uint32_t kDefaultPduSize = 65000;

    ReportEngine(IedServer server, const ModelIndex& index, Sender sender, Clock clock);

    // Called for every updated attribute with the trigger reasons that fired.
    void onAttributeUpdate(DataAttribute* attr, uint8_t reason);
    // Called after something was queued from another thread (may be empty).
    void setWakeUp(std::function<void()> wakeUp) { wakeUp_ = std::move(wakeUp); }
    // Where the PDU size of a report's owner comes from (empty: kDefaultPduSize).
    void setPduSizeOf(PduSizeOf pduSizeOf) { pduSizeOf_ = std::move(pduSizeOf); }

    static void writeBlockType(ber::Writer& w);
    static void writeFieldType(ber::Writer& w, int field);
    void writeBlockValue(ber::Writer& w, int rcb);
    void writeFieldValue(ber::Writer& w, int rcb, int field);
    // A client write of one field; DATA_ACCESS_ERROR_SUCCESS when taken.
    MmsDataAccessError writeField(sMmsServerConnection* connection, int rcb, int field, const MmsValue* value);

    // Releases and disables every block the association held.
    void connectionClosed(sMmsServerConnection* connection);
    // Sends what is due: queued reports, then integrity reports.
    void sendPending();

    // State of one block, for tests and the bench.
    bool isEnabled(int rcb) const;
    sMmsServerConnection* ownerOf(int rcb) const;
    // Updates that found the queue full and were folded into a later report.
    uint64_t droppedReports() const;

private:
    struct Included {
        size_t member;
        uint8_t reason;
        std::vector<uint8_t> data;  // the member's Data as encoded when it triggered
    };
    struct PendingReport {
        int rcb;
        sMmsServerConnection* owner;
        uint64_t timeMs;
        std::vector<Included> members;  // in member order
    };
    struct BlockState {
        const RcbInfo* info = nullptr;
        std::string rptId;
        const DataSetInfo* dataSet = nullptr;
        uint32_t confRev = 0;
        uint8_t options = 0;
        uint32_t bufTm = 0;
        uint8_t trgOps = 0;
        uint32_t intgPd = 0;
        uint8_t sqNum = 0;
        bool enabled = false;
        bool reservedExplicitly = false;
        sMmsServerConnection* owner = nullptr;
        uint64_t nextIntegrityMs = 0;
        // With a buffer time: the changes gathered since the first one.
        std::optional<PendingReport> buffered;
        // Changes that found the queue full, by member (latest value).
        std::map<size_t, Included> folded;
    };
    // Segment fields of one InformationReport of a segmented report.
    struct Segment {
        uint32_t subSeqNum = 0;
        bool moreFollow = false;
    };
    struct MemberRef {
        const DataSetInfo* dataSet;
        size_t member;
    };

    void indexMembers();
    std::vector<uint8_t> encodeMember(const DataSetInfo& ds, size_t member) const;
    PendingReport wholeDataSetReport(int rcb, uint8_t reason, uint64_t now) const;  // data-model lock held
    // Queues one triggered member of a block, through its buffer when the
    // block has a buffer time (mutex_ held).
    void queueMember(int rcb, size_t member, uint8_t reason, const std::vector<uint8_t>& data, uint64_t now);
    void flushBuffer(BlockState& block);
    // One InformationReport with the given members of a report; with a
    // segment, its segment fields too.
    std::vector<uint8_t> encodeReport(const BlockState& block, const PendingReport& report,
                                      std::span<const Included> members, const Segment* segment) const;
    // The PDUs of a report for its owner: the whole report when it fits the
    // owner's PDU size, else its segments. Advances the block's SqNum when
    // anything goes out.
    std::vector<std::vector<uint8_t>> encodeForOwner(BlockState& block, const PendingReport& report);
    // Octets one member adds to a report besides its share of the lengths.
    size_t memberCost(const BlockState& block, const Included& member) const;
    std::string memberReference(const DataSetInfo& ds, size_t member) const;

    IedServer server_;
    const ModelIndex& index_;
    Sender sender_;
    Clock clock_;
    std::function<void()> wakeUp_;
    PduSizeOf pduSizeOf_;
    std::unordered_map<const DataAttribute*, std::vector<MemberRef>> membersByAttribute_;

    mutable std::mutex mutex_;  // guards blocks_ and pending_
    std::vector<BlockState> blocks_;
    std::vector<PendingReport> pending_;
    uint64_t dropped_ = 0;
};

}  // namespace services
