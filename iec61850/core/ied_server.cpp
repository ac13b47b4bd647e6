// Server creation on a model, the data-model lock, typed getters and the
// updaters with their trigger-option evaluation.
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "iec61850/core/value_cache.h"
#include "iec61850/ied_server_internal.h"

sIedServer::sIedServer() = default;
sIedServer::~sIedServer() = default;

namespace {

constexpr uint8_t kChangeTriggers = TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED;

// The reason one leaf attribute reports: data update always, data and
// quality change only when its value changed; limited to its trigger options.
uint8_t leafReason(const DataAttribute* leaf, bool changed) {
    uint8_t reason = leaf->triggerOptions & TRG_OPT_DATA_UPDATE;
    if (changed) reason |= leaf->triggerOptions & kChangeTriggers;
    return reason;
}

// Collects (leaf, reason) for every leaf below attr whose reason is non-zero,
// comparing the cached value with the incoming one before it is applied.
void collectReasons(DataAttribute* attr, const MmsValue* current, const MmsValue* incoming,
                    std::vector<std::pair<DataAttribute*, uint8_t>>& out) {
    if (attr->firstChild == nullptr) {
        if (const uint8_t reason = leafReason(attr, !MmsValue_equals(current, incoming))) out.emplace_back(attr, reason);
        return;
    }
    int index = 0;
    for (ModelNode* child = attr->firstChild; child != nullptr; child = child->sibling, ++index) {
        if (child->modelType != DataAttributeModelType) continue;
        collectReasons(static_cast<DataAttribute*>(child), MmsValue_getElement(current, index),
                       MmsValue_getElement(incoming, index), out);
    }
}

MmsValue* cachedValue(IedServer self, const DataAttribute* attr) {
    if (self == nullptr || attr == nullptr) return nullptr;
    return attr->mmsValue;
}

// Applies a value under the data-model lock and tells the listener what fired.
void applyUpdate(IedServer self, DataAttribute* attr, const MmsValue* value) {
    if (self == nullptr || attr == nullptr || value == nullptr || attr->fc == IEC61850_FC_CO) return;
    std::lock_guard<std::recursive_mutex> lock(self->dataModelLock);
    MmsValue* current = attr->mmsValue;
    if (current == nullptr) return;
    std::vector<std::pair<DataAttribute*, uint8_t>> reasons;
    if (self->updateListener) collectReasons(attr, current, value, reasons);
    if (!MmsValue_update(current, value)) return;
    for (const auto& [leaf, reason] : reasons) self->updateListener(leaf, reason);
}

// Builds the incoming value with the kind of the cached one; skipped when the
// cached value is of another type.
template <typename Make>
void updateTyped(IedServer self, DataAttribute* attr, MmsType expected, Make&& make) {
    MmsValue* current = cachedValue(self, attr);
    if (current == nullptr || MmsValue_getType(current) != expected) return;
    MmsValuePtr value(make(current));
    applyUpdate(self, attr, value.get());
}

}  // namespace

// --- Creation ---------------------------------------------------------------

IedServer IedServer_create(IedModel* model) {
    if (model == nullptr) return nullptr;
    auto server = std::make_unique<sIedServer>();
    server->model = model;
    // The initialiser leaves its values in the attributes; the cache takes
    // them over while it is built.
    if (model->initializer != nullptr) model->initializer();
    server->cache = std::make_unique<ValueCache>(model);
    return server.release();
}

void IedServer_destroy(IedServer self) { delete self; }

IedModel* IedServer_getDataModel(IedServer self) { return self ? self->model : nullptr; }

void IedServer_lockDataModel(IedServer self) {
    if (self != nullptr) self->dataModelLock.lock();
}

void IedServer_unlockDataModel(IedServer self) {
    if (self != nullptr) self->dataModelLock.unlock();
}

// --- Getters ----------------------------------------------------------------

// Reads take the data-model lock too, so a read never meets an update half
// done on another thread. Borrowed results (values, texts) stay valid while
// the server lives: bounded texts keep their buffer when rewritten.
template <typename Read>
auto readLocked(IedServer self, const DataAttribute* attr, Read&& read) {
    if (self == nullptr) return read(nullptr);
    std::lock_guard<std::recursive_mutex> lock(self->dataModelLock);
    return read(cachedValue(self, attr));
}

MmsValue* IedServer_getAttributeValue(IedServer self, DataAttribute* attr) { return cachedValue(self, attr); }

bool IedServer_getBooleanAttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_getBoolean);
}

int32_t IedServer_getInt32AttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_toInt32);
}

int64_t IedServer_getInt64AttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_toInt64);
}

uint32_t IedServer_getUInt32AttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_toUint32);
}

float IedServer_getFloatAttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_toFloat);
}

uint64_t IedServer_getUTCTimeAttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_getUtcTimeInMs);
}

uint32_t IedServer_getBitStringAttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_getBitStringAsInteger);
}

const char* IedServer_getStringAttributeValue(IedServer self, const DataAttribute* attr) {
    return readLocked(self, attr, MmsValue_toString);
}

// --- Updaters ---------------------------------------------------------------

void IedServer_updateAttributeValue(IedServer self, DataAttribute* attr, const MmsValue* value) {
    applyUpdate(self, attr, value);
}

void IedServer_updateFloatAttributeValue(IedServer self, DataAttribute* attr, float value) {
    updateTyped(self, attr, MMS_FLOAT, [value](const MmsValue*) { return MmsValue_newFloat(value); });
}

void IedServer_updateInt32AttributeValue(IedServer self, DataAttribute* attr, int32_t value) {
    updateTyped(self, attr, MMS_INTEGER, [value](const MmsValue*) { return MmsValue_newIntegerFromInt32(value); });
}

void IedServer_updateInt64AttributeValue(IedServer self, DataAttribute* attr, int64_t value) {
    updateTyped(self, attr, MMS_INTEGER, [value](const MmsValue*) { return MmsValue_newIntegerFromInt64(value); });
}

void IedServer_updateUnsignedAttributeValue(IedServer self, DataAttribute* attr, uint32_t value) {
    updateTyped(self, attr, MMS_UNSIGNED, [value](const MmsValue*) { return MmsValue_newUnsignedFromUint32(value); });
}

void IedServer_updateBitStringAttributeValue(IedServer self, DataAttribute* attr, uint32_t value) {
    updateTyped(self, attr, MMS_BIT_STRING, [value](const MmsValue* current) {
        MmsValue* bits = MmsValue_newBitString(MmsValue_getBitStringSize(current));
        MmsValue_setBitStringFromInteger(bits, value);
        return bits;
    });
}

void IedServer_updateBooleanAttributeValue(IedServer self, DataAttribute* attr, bool value) {
    updateTyped(self, attr, MMS_BOOLEAN, [value](const MmsValue*) { return MmsValue_newBoolean(value); });
}

void IedServer_updateVisibleStringAttributeValue(IedServer self, DataAttribute* attr, const char* value) {
    updateTyped(self, attr, MMS_VISIBLE_STRING, [value](const MmsValue*) { return MmsValue_newVisibleString(value); });
}

void IedServer_updateUTCTimeAttributeValue(IedServer self, DataAttribute* attr, uint64_t msSinceEpoch) {
    updateTyped(self, attr, MMS_UTC_TIME, [msSinceEpoch](const MmsValue* current) {
        // The time-quality byte of the attribute stays as it is.
        MmsValue* time = MmsValue_newUtcTimeByMsTime(msSinceEpoch);
        MmsValue_setUtcTimeQuality(time, MmsValue_getUtcTimeQuality(current));
        return time;
    });
}

void IedServer_updateQuality(IedServer self, DataAttribute* attr, uint16_t quality) {
    IedServer_updateBitStringAttributeValue(self, attr, quality);
}

uint64_t Hal_getTimeInMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}
