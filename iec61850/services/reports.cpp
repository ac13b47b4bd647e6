// Unbuffered reporting: block state, ownership, trigger handling, RPT coding.
#include "iec61850/services/reports.h"

#include <syslog.h>

#include <algorithm>
#include <functional>

#include "iec61850/services/model_encoding.h"
#include "iec61850/services/variable_reference.h"
#include "iec61850/core/log.h"

namespace services {

namespace {

constexpr int kOptFldsBits = 10;  // bit 0 reserved, 1..8 the RPT_OPT_* bits, 9 segmentation
constexpr int kOptFldsSegmentationBit = 9;
// A reason code on the wire: bit-string tag, length, unused-bits octet, one octet.
constexpr size_t kReasonCodeSize = 4;
// Octets the three lengths around a report's members (unconfirmed PDU,
// informationReport, listOfAccessResult) may grow by as members are added:
// from the short form to the long form with up to three length octets.
constexpr size_t kEnclosingLengthGrowth = 3 * 3;
constexpr int kTrgOpsBits = 6;    // bit 0 reserved, 1..5 the TRG_OPT_* bits
constexpr int kReasonBits = 6;
constexpr int kRptIdMaxSize = 65;
constexpr int kObjectReferenceMaxSize = 129;
constexpr uint8_t kUnbufferedOptions = 0xFF & ~(RPT_OPT_BUFFER_OVERFLOW | RPT_OPT_ENTRY_ID);
constexpr uint8_t kEventTriggers = TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED | TRG_OPT_DATA_UPDATE;
// Days from 1970-01-01 to 1984-01-01, the epoch of MMS binary time.
constexpr uint64_t kBinaryTimeEpochDays = 5113;
constexpr uint64_t kMsPerDay = 86400000ULL;

// Bit strings whose bit n+1 carries bit n of a flag byte (bit 0 reserved).
std::vector<uint8_t> flagBits(uint8_t flags, int bitCount) {
    std::vector<uint8_t> bits((bitCount + 7) / 8, 0);
    for (int n = 0; n < 8 && n + 1 < bitCount; ++n) {
        if (flags & (1u << n)) bits[(n + 1) / 8] |= static_cast<uint8_t>(0x80u >> ((n + 1) % 8));
    }
    return bits;
}

uint8_t flagsFromBits(const MmsValue* value, int bitCount) {
    uint8_t flags = 0;
    for (int n = 0; n < 8 && n + 1 < bitCount; ++n) {
        if (MmsValue_getBitStringBit(value, n + 1)) flags |= static_cast<uint8_t>(1u << n);
    }
    return flags;
}

void writeFlags(ber::Writer& w, uint8_t flags, int bitCount) {
    std::vector<uint8_t> bits = flagBits(flags, bitCount);
    w.writeBitString(ber::context(ber::kDataBitString), bits, bitCount);
}

void writeBinaryTime(ber::Writer& w, uint64_t msSinceEpoch) {
    uint64_t days = msSinceEpoch / kMsPerDay;
    uint32_t msOfDay = static_cast<uint32_t>(msSinceEpoch % kMsPerDay);
    uint16_t mmsDays = days >= kBinaryTimeEpochDays ? static_cast<uint16_t>(days - kBinaryTimeEpochDays) : 0;
    uint8_t bytes[6] = {static_cast<uint8_t>(msOfDay >> 24), static_cast<uint8_t>(msOfDay >> 16),
                        static_cast<uint8_t>(msOfDay >> 8),  static_cast<uint8_t>(msOfDay),
                        static_cast<uint8_t>(mmsDays >> 8),  static_cast<uint8_t>(mmsDays)};
    w.writePrimitive(ber::context(ber::kDataBinaryTime), bytes);
}

bool isString(const MmsValue* v, int maxSize) {
    return MmsValue_getType(v) == MMS_VISIBLE_STRING && MmsValue_getStringSize(v) <= maxSize;
}

}  // namespace

ReportEngine::ReportEngine(IedServer server, const ModelIndex& index, Sender sender, Clock clock)
    : server_(server), index_(index), sender_(std::move(sender)), clock_(std::move(clock)) {
    for (const RcbInfo& info : index_.rcbs()) {
        BlockState block;
        block.info = &info;
        block.rptId = info.rptId;
        block.dataSet = info.dataSet;
        block.confRev = info.confRev;
        block.options = info.options;
        block.bufTm = info.bufTm;
        block.trgOps = info.trgOps;
        block.intgPd = info.intgPd;
        blocks_.push_back(block);
    }
    indexMembers();
}

void ReportEngine::indexMembers() {
    std::function<void(const ModelNode*, FunctionalConstraint, MemberRef)> add =
        [&](const ModelNode* node, FunctionalConstraint fc, MemberRef ref) {
            for (ModelNode* child : childrenUnderFc(node, fc)) {
                if (child->modelType == DataAttributeModelType)
                    membersByAttribute_[static_cast<const DataAttribute*>(child)].push_back(ref);
                add(child, fc, ref);
            }
        };
    for (const DataSetInfo& ds : index_.dataSets()) {
        for (size_t i = 0; i < ds.members.size(); ++i) {
            const DataSetMember& m = ds.members[i];
            if (m.object->modelType == DataAttributeModelType)
                membersByAttribute_[static_cast<const DataAttribute*>(m.object)].push_back({&ds, i});
            add(m.object, m.fc, {&ds, i});
        }
    }
}

std::vector<uint8_t> ReportEngine::encodeMember(const DataSetInfo& ds, size_t member) const {
    ber::Writer w;
    writeNodeValue(w, server_, ds.members[member].object, ds.members[member].fc);
    return w.take();
}

void ReportEngine::onAttributeUpdate(DataAttribute* attr, uint8_t reason) {
    auto found = membersByAttribute_.find(attr);
    if (found == membersByAttribute_.end()) return;
    uint8_t triggers = reason & kEventTriggers;
    if (triggers == 0) return;
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = clock_();
        for (const MemberRef& ref : found->second) {
            std::vector<uint8_t> data;
            for (size_t b = 0; b < blocks_.size(); ++b) {
                BlockState& block = blocks_[b];
                uint8_t fired = triggers & block.trgOps;
                if (!block.enabled || block.dataSet != ref.dataSet || fired == 0) continue;
                if (data.empty()) data = encodeMember(*ref.dataSet, ref.member);
                if (pending_.size() >= kMaxPendingReports) {
                    ++dropped_;
                    Included& folded = block.folded[ref.member];
                    folded = {ref.member, static_cast<uint8_t>(folded.reason | fired), data};
                    continue;
                }
                queueMember(static_cast<int>(b), ref.member, fired, data, now);
                queued = true;
            }
        }
    }
    if (queued && wakeUp_) wakeUp_();
}

void ReportEngine::queueMember(int rcb, size_t member, uint8_t reason, const std::vector<uint8_t>& data,
                               uint64_t now) {
    BlockState& block = blocks_[rcb];
    if (block.bufTm == 0) {
        pending_.push_back({rcb, block.owner, now, {{member, reason, data}}});
        return;
    }
    // A second change of a member already buffered sends the buffer first.
    if (block.buffered) {
        auto& members = block.buffered->members;
        auto same = std::find_if(members.begin(), members.end(), [&](const Included& i) { return i.member == member; });
        if (same != members.end()) flushBuffer(block);
    }
    if (!block.buffered) block.buffered = PendingReport{rcb, block.owner, now, {}};
    auto& members = block.buffered->members;
    auto at = std::find_if(members.begin(), members.end(), [&](const Included& i) { return i.member > member; });
    members.insert(at, {member, reason, data});
}

void ReportEngine::flushBuffer(BlockState& block) {
    if (!block.buffered) return;
    pending_.push_back(std::move(*block.buffered));
    block.buffered.reset();
}

ReportEngine::PendingReport ReportEngine::wholeDataSetReport(int rcb, uint8_t reason, uint64_t now) const {
    const BlockState& block = blocks_[rcb];
    PendingReport report{rcb, block.owner, now, {}};
    if (block.dataSet == nullptr) return report;
    for (size_t i = 0; i < block.dataSet->members.size(); ++i)
        report.members.push_back({i, reason, encodeMember(*block.dataSet, i)});
    return report;
}

std::string ReportEngine::memberReference(const DataSetInfo& ds, size_t member) const {
    return index_.domainName(ds.members[member].device) + "/" + ds.members[member].itemId;
}

std::vector<uint8_t> ReportEngine::encodeReport(const BlockState& block, const PendingReport& report,
                                                std::span<const Included> members, const Segment* segment) const {
    const DataSetInfo* ds = block.dataSet;
    size_t memberCount = ds != nullptr ? ds->members.size() : 0;
    uint8_t options = block.options & kUnbufferedOptions;
    // A segmented report always numbers its segments.
    if (segment != nullptr) options |= RPT_OPT_SEQ_NUM;
    ber::Writer w(256);
    size_t pdu = w.begin(ber::context(3));        // unconfirmed-PDU
    size_t service = w.begin(ber::context(0));    // informationReport
    size_t name = w.begin(ber::context(1));       // variableListName
    w.writeVisibleString(ber::context(0), "RPT"); // vmd-specific
    w.end(name);
    size_t results = w.begin(ber::context(0));    // listOfAccessResult
    const std::string& rptId = block.rptId.empty() ? block.info->name : block.rptId;
    w.writeVisibleString(ber::context(ber::kDataVisibleString), rptId);
    std::vector<uint8_t> optFlds = flagBits(options, kOptFldsBits);
    if (segment != nullptr) optFlds[kOptFldsSegmentationBit / 8] |= 0x80u >> (kOptFldsSegmentationBit % 8);
    w.writeBitString(ber::context(ber::kDataBitString), optFlds, kOptFldsBits);
    if (options & RPT_OPT_SEQ_NUM) w.writeUnsigned(ber::context(ber::kDataUnsigned), block.sqNum);
    if (options & RPT_OPT_TIME_STAMP) writeBinaryTime(w, report.timeMs);
    if (options & RPT_OPT_DATA_SET) w.writeVisibleString(ber::context(ber::kDataVisibleString), ds ? ds->domainRef : "");
    if (options & RPT_OPT_CONF_REV) w.writeUnsigned(ber::context(ber::kDataUnsigned), block.confRev);
    if (segment != nullptr) {
        w.writeUnsigned(ber::context(ber::kDataUnsigned), segment->subSeqNum);
        w.writeBoolean(ber::context(ber::kDataBoolean), segment->moreFollow);
    }
    std::vector<uint8_t> inclusion((memberCount + 7) / 8, 0);
    for (const Included& inc : members) inclusion[inc.member / 8] |= static_cast<uint8_t>(0x80u >> (inc.member % 8));
    w.writeBitString(ber::context(ber::kDataBitString), inclusion, static_cast<int>(memberCount));
    if (options & RPT_OPT_DATA_REFERENCE) {
        for (const Included& inc : members)
            w.writeVisibleString(ber::context(ber::kDataVisibleString), memberReference(*ds, inc.member));
    }
    for (const Included& inc : members) w.writeRaw(inc.data);
    if (options & RPT_OPT_REASON_FOR_INCLUSION) {
        for (const Included& inc : members) writeFlags(w, inc.reason, kReasonBits);
    }
    w.end(results);
    w.end(service);
    w.end(pdu);
    return w.take();
}

size_t ReportEngine::memberCost(const BlockState& block, const Included& member) const {
    size_t cost = member.data.size();
    if (block.options & RPT_OPT_REASON_FOR_INCLUSION) cost += kReasonCodeSize;
    if (block.options & RPT_OPT_DATA_REFERENCE) {
        cost += primitiveSize(memberReference(*block.dataSet, member.member).size());
    }
    return cost;
}

std::vector<std::vector<uint8_t>> ReportEngine::encodeForOwner(BlockState& block, const PendingReport& report) {
    const uint32_t pduSize = pduSizeOf_ ? pduSizeOf_(report.owner) : kDefaultPduSize;
    std::vector<std::vector<uint8_t>> pdus;
    std::vector<uint8_t> whole = encodeReport(block, report, report.members, nullptr);
    if (whole.size() <= pduSize) {
        pdus.push_back(std::move(whole));
        ++block.sqNum;
        return pdus;
    }

    // Plans the segments first (member ranges), since only the last one says
    // that no more follow.
    const std::vector<Included>& members = report.members;
    std::vector<std::pair<size_t, size_t>> ranges;  // [first, last) into members
    size_t first = 0;
    while (first < members.size()) {
        Segment segment{static_cast<uint32_t>(ranges.size()), true};
        auto fits = [&](size_t last) {
            return encodeReport(block, report, std::span(members).subspan(first, last - first), &segment).size() <=
                   pduSize;
        };
        // The sum of the member costs fits for sure; then as many more as the
        // exact encoding takes (the lengths may need fewer octets than assumed).
        size_t budget = encodeReport(block, report, {}, &segment).size() + kEnclosingLengthGrowth;
        size_t last = first;
        while (last < members.size()) {
            size_t cost = memberCost(block, members[last]);
            if (budget + cost > pduSize) break;
            budget += cost;
            ++last;
        }
        while (last < members.size() && fits(last + 1)) ++last;
        if (last == first) {
            const DataSetInfo& ds = *block.dataSet;
            iec61850::iecLog(LOG_WARNING,
                             "reports: %s of %s: member %zu (%s, %zu octets) left out of the report: it does not "
                             "fit the PDU size %u even in a segment of its own",
                             block.info->name.c_str(), index_.domainName(block.info->device).c_str(),
                             members[first].member + 1, memberReference(ds, members[first].member).c_str(),
                             members[first].data.size(), pduSize);
            ++first;
            continue;
        }
        ranges.emplace_back(first, last);
        first = last;
    }
    for (size_t i = 0; i < ranges.size(); ++i) {
        Segment segment{static_cast<uint32_t>(i), i + 1 < ranges.size()};
        auto [from, to] = ranges[i];
        pdus.push_back(encodeReport(block, report, std::span(members).subspan(from, to - from), &segment));
    }
    if (!pdus.empty()) ++block.sqNum;
    return pdus;
}

void ReportEngine::sendPending() {
    std::vector<std::pair<sMmsServerConnection*, std::vector<uint8_t>>> out;
    {
        DataModelLock model(server_);
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = clock_();
        for (size_t b = 0; b < blocks_.size(); ++b) {
            BlockState& block = blocks_[b];
            if (!block.enabled || block.intgPd == 0 || !(block.trgOps & TRG_OPT_INTEGRITY)) continue;
            if (now < block.nextIntegrityMs) continue;
            flushBuffer(block);
            pending_.push_back(wholeDataSetReport(static_cast<int>(b), TRG_OPT_INTEGRITY, now));
            block.nextIntegrityMs = now + block.intgPd;
        }
        for (BlockState& block : blocks_) {
            if (block.buffered && now >= block.buffered->timeMs + block.bufTm) flushBuffer(block);
        }
        model.unlock();
        for (size_t b = 0; b < blocks_.size(); ++b) {
            BlockState& block = blocks_[b];
            if (block.folded.empty()) continue;
            PendingReport report{static_cast<int>(b), block.owner, now, {}};
            for (auto& [member, included] : block.folded) report.members.push_back(std::move(included));
            block.folded.clear();
            pending_.push_back(std::move(report));
        }
        for (const PendingReport& report : pending_) {
            BlockState& block = blocks_[report.rcb];
            // Reports of a block that was disabled or changed hands meanwhile are dropped.
            if (!block.enabled || block.owner != report.owner || report.members.empty()) continue;
            for (std::vector<uint8_t>& pdu : encodeForOwner(block, report)) out.emplace_back(report.owner, std::move(pdu));
        }
        pending_.clear();
    }
    for (auto& [connection, pdu] : out) sender_(connection, std::move(pdu));
}

void ReportEngine::connectionClosed(sMmsServerConnection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Its queued reports go with it (a later association may get its address).
    std::erase_if(pending_, [&](const PendingReport& r) { return r.owner == connection; });
    for (BlockState& block : blocks_) {
        if (block.owner != connection) continue;
        block.owner = nullptr;
        block.enabled = false;
        block.reservedExplicitly = false;
        block.buffered.reset();
        block.folded.clear();
    }
}

bool ReportEngine::isEnabled(int rcb) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.at(rcb).enabled;
}

uint64_t ReportEngine::droppedReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

sMmsServerConnection* ReportEngine::ownerOf(int rcb) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.at(rcb).owner;
}

void ReportEngine::writeFieldType(ber::Writer& w, int field) {
    switch (field) {
        case RCB_RPT_ID: writeVisibleStringType(w, kRptIdMaxSize); break;
        case RCB_RPT_ENA:
        case RCB_RESV:
        case RCB_GI: writeBooleanType(w); break;
        case RCB_DAT_SET: writeVisibleStringType(w, kObjectReferenceMaxSize); break;
        case RCB_CONF_REV:
        case RCB_BUF_TM:
        case RCB_INTG_PD: writeUnsignedType(w, 32); break;
        case RCB_SQ_NUM: writeUnsignedType(w, 8); break;
        case RCB_OPT_FLDS: writeBitStringType(w, kOptFldsBits); break;
        case RCB_TRG_OPS: writeBitStringType(w, kTrgOpsBits); break;
        default: break;
    }
}

void ReportEngine::writeBlockType(ber::Writer& w) {
    writeFieldTableType(w, kRcbFieldNames, RCB_FIELD_COUNT, &ReportEngine::writeFieldType);
}

void ReportEngine::writeFieldValue(ber::Writer& w, int rcb, int field) {
    std::lock_guard<std::mutex> lock(mutex_);
    const BlockState& block = blocks_.at(rcb);
    switch (field) {
        case RCB_RPT_ID: w.writeVisibleString(ber::context(ber::kDataVisibleString), block.rptId); break;
        case RCB_RPT_ENA: w.writeBoolean(ber::context(ber::kDataBoolean), block.enabled); break;
        case RCB_RESV: w.writeBoolean(ber::context(ber::kDataBoolean), block.owner != nullptr); break;
        case RCB_DAT_SET:
            w.writeVisibleString(ber::context(ber::kDataVisibleString), block.dataSet ? block.dataSet->domainRef : "");
            break;
        case RCB_CONF_REV: w.writeUnsigned(ber::context(ber::kDataUnsigned), block.confRev); break;
        case RCB_OPT_FLDS: writeFlags(w, block.options, kOptFldsBits); break;
        case RCB_BUF_TM: w.writeUnsigned(ber::context(ber::kDataUnsigned), block.bufTm); break;
        case RCB_SQ_NUM: w.writeUnsigned(ber::context(ber::kDataUnsigned), block.sqNum); break;
        case RCB_TRG_OPS: writeFlags(w, block.trgOps, kTrgOpsBits); break;
        case RCB_INTG_PD: w.writeUnsigned(ber::context(ber::kDataUnsigned), block.intgPd); break;
        case RCB_GI: w.writeBoolean(ber::context(ber::kDataBoolean), false); break;
        default: break;
    }
}

void ReportEngine::writeBlockValue(ber::Writer& w, int rcb) {
    size_t m = w.begin(ber::context(ber::kDataStructure));
    for (int f = 0; f < RCB_FIELD_COUNT; ++f) writeFieldValue(w, rcb, f);
    w.end(m);
}

MmsDataAccessError ReportEngine::writeField(sMmsServerConnection* connection, int rcb, int field,
                                            const MmsValue* value) {
    DataModelLock model(server_);  // a GI takes the member values
    std::lock_guard<std::mutex> lock(mutex_);

    BlockState& block = blocks_.at(rcb);
    if (block.owner != nullptr && block.owner != connection) return DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    MmsType type = MmsValue_getType(value);
    switch (field) {
        case RCB_RPT_ENA: {
            if (type != MMS_BOOLEAN) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            bool enable = MmsValue_getBoolean(value);
            if (enable && !block.enabled) {
                if (block.dataSet == nullptr) return DATA_ACCESS_ERROR_OBJECT_ATTRIBUTE_INCONSISTENT;
                block.owner = connection;
                block.enabled = true;
                block.sqNum = 0;
                block.nextIntegrityMs = clock_() + block.intgPd;
            } else if (!enable && block.enabled) {
                block.enabled = false;
                // Its queued reports go now: once enabled again, perhaps on
                // another data set, they would no longer match the block.
                std::erase_if(pending_, [rcb](const PendingReport& r) { return r.rcb == rcb; });
                block.buffered.reset();
                block.folded.clear();
                if (!block.reservedExplicitly) block.owner = nullptr;
            }
            return DATA_ACCESS_ERROR_SUCCESS;
        }
        case RCB_RESV: {
            if (type != MMS_BOOLEAN) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            if (MmsValue_getBoolean(value)) {
                block.owner = connection;
                block.reservedExplicitly = true;
            } else {
                if (block.enabled) return DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
                block.owner = nullptr;
                block.reservedExplicitly = false;
            }
            return DATA_ACCESS_ERROR_SUCCESS;
        }
        case RCB_GI: {
            if (type != MMS_BOOLEAN) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            if (MmsValue_getBoolean(value) && block.enabled && (block.trgOps & TRG_OPT_GI)) {
                flushBuffer(block);
                pending_.push_back(wholeDataSetReport(rcb, TRG_OPT_GI, clock_()));
            }
            return DATA_ACCESS_ERROR_SUCCESS;
        }
        case RCB_SQ_NUM:
        case RCB_CONF_REV: return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
        default: break;
    }

    // Configuration: only while the block is disabled.
    if (block.enabled) return DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    switch (field) {
        case RCB_RPT_ID:
            if (type != MMS_VISIBLE_STRING) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            if (!isString(value, kRptIdMaxSize)) return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
            block.rptId = MmsValue_toString(value);
            return DATA_ACCESS_ERROR_SUCCESS;
        case RCB_DAT_SET: {
            if (type != MMS_VISIBLE_STRING) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            std::string reference = MmsValue_toString(value);
            const DataSetInfo* ds = reference.empty() ? nullptr : index_.findDataSetByReference(reference);
            if (!reference.empty() && ds == nullptr) return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
            if (ds != block.dataSet) {
                block.dataSet = ds;
                ++block.confRev;
            }
            return DATA_ACCESS_ERROR_SUCCESS;
        }
        case RCB_OPT_FLDS:
            if (type != MMS_BIT_STRING || MmsValue_getBitStringSize(value) != kOptFldsBits)
                return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            block.options = flagsFromBits(value, kOptFldsBits);
            return DATA_ACCESS_ERROR_SUCCESS;
        case RCB_TRG_OPS:
            if (type != MMS_BIT_STRING || MmsValue_getBitStringSize(value) != kTrgOpsBits)
                return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            block.trgOps = flagsFromBits(value, kTrgOpsBits);
            return DATA_ACCESS_ERROR_SUCCESS;
        case RCB_BUF_TM:
        case RCB_INTG_PD: {
            if (type != MMS_UNSIGNED) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            uint32_t v = MmsValue_toUint32(value);
            (field == RCB_BUF_TM ? block.bufTm : block.intgPd) = v;
            return DATA_ACCESS_ERROR_SUCCESS;
        }
        default: return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
    }
}

}  // namespace services
