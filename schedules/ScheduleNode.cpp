#include "schedules/ScheduleNode.h"

#include <cstdio>
#include <memory>

#include "foundation/ModelLookup.h"

DataAttribute* ScheduleNode::attr(const std::string& dataObject, const std::string& da) const {
    return findDataAttribute(ld_, ln_, dataObject, da);
}

DataAttribute* ScheduleNode::sub(const std::string& dataObject, const std::string& da, const std::string& subDa) const {
    return findSubDataAttribute(ld_, ln_, dataObject, da, subDa);
}

int32_t ScheduleNode::int32(DataAttribute* a) const {
    return a && server_ ? IedServer_getInt32AttributeValue(server_, a) : 0;
}

bool ScheduleNode::boolean(DataAttribute* a) const {
    return a && server_ ? IedServer_getBooleanAttributeValue(server_, a) : false;
}

float ScheduleNode::real(DataAttribute* a) const {
    return a && server_ ? IedServer_getFloatAttributeValue(server_, a) : 0.0f;
}

uint64_t ScheduleNode::timeMs(DataAttribute* a) const {
    return a && server_ ? IedServer_getUTCTimeAttributeValue(server_, a) : 0;
}

int ScheduleNode::integral(DataAttribute* a) const {
    const MmsValue* v = a && server_ ? IedServer_getAttributeValue(server_, a) : nullptr;
    if (!v) return 0;
    switch (MmsValue_getType(v)) {
        case MMS_INTEGER:
            return MmsValue_toInt32(v);
        case MMS_UNSIGNED:
            return static_cast<int>(MmsValue_toUint32(v));
        default:
            return 0;
    }
}

void ScheduleNode::setInt32(DataAttribute* a, int32_t value) const {
    if (a && server_) IedServer_updateInt32AttributeValue(server_, a, value);
}

void ScheduleNode::setBoolean(DataAttribute* a, bool value) const {
    if (a && server_) IedServer_updateBooleanAttributeValue(server_, a, value);
}

void ScheduleNode::setReal(DataAttribute* a, float value) const {
    if (a && server_) IedServer_updateFloatAttributeValue(server_, a, value);
}

void ScheduleNode::setString(DataAttribute* a, const std::string& value) const {
    if (a && server_) IedServer_updateVisibleStringAttributeValue(server_, a, value.c_str());
}

void ScheduleNode::setTimestamp(DataAttribute* a, uint64_t ms) const {
    if (!a || !server_) return;
    MmsValuePtr time(MmsValue_newUtcTimeByMsTime(ms));
    MmsValue_setUtcTimeQuality(time.get(), kTimeQualityLeapSecondsKnown);
    IedServer_updateAttributeValue(server_, a, time.get());
}

void ScheduleNode::setIntegral(DataAttribute* a, int value) const {
    const MmsValue* current = a && server_ ? IedServer_getAttributeValue(server_, a) : nullptr;
    if (!current) return;
    switch (MmsValue_getType(current)) {
        case MMS_INTEGER:
            IedServer_updateInt32AttributeValue(server_, a, value);
            break;
        case MMS_UNSIGNED:
            IedServer_updateUnsignedAttributeValue(server_, a, value < 0 ? 0u : static_cast<uint32_t>(value));
            break;
        default:
            break;
    }
}

void ScheduleNode::zeroStructure(DataAttribute* a) const {
    const MmsValue* current = a && server_ ? IedServer_getAttributeValue(server_, a) : nullptr;
    if (!current || MmsValue_getType(current) != MMS_STRUCTURE) return;
    MmsValuePtr zero(MmsValue_clone(current));
    for (int i = 0; i < MmsValue_getArraySize(zero.get()); ++i) {
        MmsValue* element = MmsValue_getElement(zero.get(), i);
        if (MmsValue_getType(element) == MMS_INTEGER) MmsValue_setInt32(element, 0);
        if (MmsValue_getType(element) == MMS_UNSIGNED) MmsValue_setUint32(element, 0);
    }
    IedServer_updateAttributeValue(server_, a, zero.get());
}

std::string entryObjectName(const char* prefix, int k, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%s%0*d", prefix, digits, k);
    return buffer;
}
