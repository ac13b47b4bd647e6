// The server's value cache over a small model: defaults, initial values,
// one storage for constructed attributes, getters and updaters with their
// trigger reasons.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <thread>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "iec61850/core/value_cache.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/iec61850_server.h"

namespace {

// A small tree: LD "LD1" / LN "GGIO1" with
//   AnIn1:  mag{f} MX dupd, q MX qchg, t MX, units{SIUnit, multiplier} CF dchg
//   SPCSO1: stVal ST dchg, q ST qchg, ctlModel CF dchg, Oper CO {ctlVal}
//   Cnt:    stVal ST INT8U dchg
class TinyModel {
public:
    TinyModel() {
        model_.name = "IED";
        device_ = node<LogicalDevice>(LogicalDeviceModelType, "LD1", nullptr);
        model_.firstChild = device_;
        ln_ = node<LogicalNode>(LogicalNodeModelType, "GGIO1", device_);
        DataObject* anIn = node<DataObject>(DataObjectModelType, "AnIn1", ln_);
        mag = attr("mag", anIn, IEC61850_FC_MX, IEC61850_CONSTRUCTED, TRG_OPT_DATA_UPDATE);
        magF = attr("f", mag, IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_UPDATE);
        q = attr("q", anIn, IEC61850_FC_MX, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED);
        t = attr("t", anIn, IEC61850_FC_MX, IEC61850_TIMESTAMP, 0);
        units = attr("units", anIn, IEC61850_FC_CF, IEC61850_CONSTRUCTED, TRG_OPT_DATA_CHANGED);
        siUnit = attr("SIUnit", units, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);
        multiplier = attr("multiplier", units, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);
        DataObject* spc = node<DataObject>(DataObjectModelType, "SPCSO1", ln_);
        stVal = attr("stVal", spc, IEC61850_FC_ST, IEC61850_BOOLEAN, TRG_OPT_DATA_CHANGED);
        attr("q", spc, IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED);
        ctlModel = attr("ctlModel", spc, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);
        oper = attr("Oper", spc, IEC61850_FC_CO, IEC61850_CONSTRUCTED, 0);
        ctlVal = attr("ctlVal", oper, IEC61850_FC_CO, IEC61850_BOOLEAN, 0);
        DataObject* cnt = node<DataObject>(DataObjectModelType, "Cnt", ln_);
        count = attr("stVal", cnt, IEC61850_FC_ST, IEC61850_INT8U, TRG_OPT_DATA_CHANGED);
        model_.initializer = &TinyModel::initialize;
    }

    IedModel* model() { return &model_; }
    LogicalNode* logicalNode() { return ln_; }
    DataObject* object(const char* name) { return static_cast<DataObject*>(ModelNode_getChild(ln_, name)); }

    DataAttribute *mag, *magF, *q, *t, *units, *siUnit, *multiplier, *stVal, *ctlModel, *oper, *ctlVal, *count;

    static inline TinyModel* current = nullptr;
    static inline int initializerRuns = 0;

private:
    static void initialize() {
        ++initializerRuns;
        current->siUnit->mmsValue = MmsValue_newIntegerFromInt32(38);
        current->ctlModel->mmsValue = MmsValue_newIntegerFromInt32(1);
        current->ctlVal->mmsValue = MmsValue_newBoolean(true);          // CO: dropped
        current->magF->mmsValue = MmsValue_newVisibleString("no float");  // wrong type: dropped
    }

    template <typename T>
    T* node(ModelNodeType type, const char* name, ModelNode* parent) {
        T& n = std::get<std::deque<T>>(storage_).emplace_back();
        n.modelType = type;
        n.name = name;
        link(&n, parent);
        return &n;
    }

    DataAttribute* attr(const char* name, ModelNode* parent, FunctionalConstraint fc, DataAttributeType type,
                        uint8_t trg) {
        DataAttribute* a = node<DataAttribute>(DataAttributeModelType, name, parent);
        a->fc = fc;
        a->type = type;
        a->triggerOptions = trg;
        return a;
    }

    static void link(ModelNode* n, ModelNode* parent) {
        n->parent = parent;
        if (parent == nullptr) return;
        ModelNode** slot = &parent->firstChild;
        while (*slot != nullptr) slot = &(*slot)->sibling;
        *slot = n;
    }

    IedModel model_{};
    LogicalDevice* device_;
    LogicalNode* ln_;
    std::tuple<std::deque<LogicalDevice>, std::deque<LogicalNode>, std::deque<DataObject>, std::deque<DataAttribute>>
        storage_;
};

class IedServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TinyModel::current = &tiny;
        TinyModel::initializerRuns = 0;
        server = IedServer_create(tiny.model());
        ASSERT_NE(server, nullptr);
        server->updateListener = [this](DataAttribute* attr, uint8_t reason) { events.emplace_back(attr, reason); };
    }
    void TearDown() override { IedServer_destroy(server); }

    TinyModel tiny;
    IedServer server = nullptr;
    std::vector<std::pair<DataAttribute*, uint8_t>> events;
};

TEST_F(IedServerTest, CreationRunsTheInitializerOnceAndKeepsFittingValues) {
    EXPECT_EQ(TinyModel::initializerRuns, 1);
    EXPECT_EQ(IedServer_getDataModel(server), tiny.model());
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, tiny.siUnit), 38);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, tiny.ctlModel), 1);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, tiny.multiplier), 0);  // type default
    EXPECT_EQ(MmsValue_getType(tiny.magF->mmsValue), MMS_FLOAT);            // wrong-typed initial value dropped
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, tiny.magF), 0.0f);
    EXPECT_EQ(MmsValue_getBitStringSize(tiny.q->mmsValue), 13);
    EXPECT_EQ(IedServer_getUTCTimeAttributeValue(server, tiny.t), 0u);
    EXPECT_EQ(MmsValue_getType(tiny.count->mmsValue), MMS_UNSIGNED);
    // FC CO gets no cache entry.
    EXPECT_EQ(IedServer_getAttributeValue(server, tiny.oper), nullptr);
    EXPECT_EQ(IedServer_getAttributeValue(server, tiny.ctlVal), nullptr);
}

TEST_F(IedServerTest, ConstructedAttributesShareOneStorageWithTheirChildren) {
    MmsValue* unitsValue = IedServer_getAttributeValue(server, tiny.units);
    ASSERT_EQ(MmsValue_getType(unitsValue), MMS_STRUCTURE);
    ASSERT_EQ(MmsValue_getArraySize(unitsValue), 2);
    EXPECT_EQ(MmsValue_getElement(unitsValue, 0), tiny.siUnit->mmsValue);
    EXPECT_EQ(MmsValue_getElement(unitsValue, 1), tiny.multiplier->mmsValue);

    // The FC-grouped structures hold the same elements.
    MmsValue* cf = server->cache->valueOf(tiny.logicalNode(), IEC61850_FC_CF);
    ASSERT_EQ(MmsValue_getArraySize(cf), 2);  // AnIn1 and SPCSO1 have CF attributes, Cnt has none
    MmsValue* anInCf = server->cache->valueOf(tiny.object("AnIn1"), IEC61850_FC_CF);
    EXPECT_EQ(MmsValue_getElement(cf, 0), anInCf);
    EXPECT_EQ(MmsValue_getElement(anInCf, 0), unitsValue);
    EXPECT_EQ(server->cache->valueOf(tiny.object("Cnt"), IEC61850_FC_CF), nullptr);
    EXPECT_EQ(server->cache->valueOf(tiny.logicalNode(), IEC61850_FC_CO), nullptr);

    IedServer_updateInt32AttributeValue(server, tiny.multiplier, 3);
    EXPECT_EQ(MmsValue_toInt32(MmsValue_getElement(unitsValue, 1)), 3);
}

TEST_F(IedServerTest, DestroyClearsThePointersIntoTheCache) {
    IedServer_destroy(server);
    EXPECT_EQ(tiny.units->mmsValue, nullptr);
    EXPECT_EQ(tiny.siUnit->mmsValue, nullptr);
    // A second server on the same model starts from the initial values again.
    server = IedServer_create(tiny.model());
    EXPECT_EQ(TinyModel::initializerRuns, 2);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, tiny.siUnit), 38);
}

struct TriggerCase {
    const char* name;
    void (*update)(IedServer, TinyModel&);
    std::vector<std::pair<const char*, uint8_t>> expected;  // leaf name, reason
};

MmsValue* unitsValue(int si, int mult) {
    MmsValue* u = MmsValue_createEmptyStructure(2);
    MmsValue_setElement(u, 0, MmsValue_newIntegerFromInt32(si));
    MmsValue_setElement(u, 1, MmsValue_newIntegerFromInt32(mult));
    return u;
}

const TriggerCase kTriggerCases[] = {
    {"same measured value still reports the update",
     [](IedServer s, TinyModel& m) { IedServer_updateFloatAttributeValue(s, m.magF, 0.0f); },
     {{"f", TRG_OPT_DATA_UPDATE}}},
    {"changed status reports the change",
     [](IedServer s, TinyModel& m) { IedServer_updateBooleanAttributeValue(s, m.stVal, true); },
     {{"stVal", TRG_OPT_DATA_CHANGED}}},
    {"unchanged status reports nothing",
     [](IedServer s, TinyModel& m) { IedServer_updateBooleanAttributeValue(s, m.stVal, false); },
     {}},
    {"changed quality reports a quality change",
     [](IedServer s, TinyModel& m) { IedServer_updateQuality(s, m.q, 0x0001); },
     {{"q", TRG_OPT_QUALITY_CHANGED}}},
    {"unchanged quality reports nothing",
     [](IedServer s, TinyModel& m) { IedServer_updateQuality(s, m.q, 0); },
     {}},
    {"time stamps trigger nothing",
     [](IedServer s, TinyModel& m) { IedServer_updateUTCTimeAttributeValue(s, m.t, 123456); },
     {}},
    {"constructed update reports each changed leaf",
     [](IedServer s, TinyModel& m) {
         MmsValue* u = unitsValue(38, 3);  // SIUnit unchanged, multiplier changed
         IedServer_updateAttributeValue(s, m.units, u);
         MmsValue_delete(u);
     },
     {{"multiplier", TRG_OPT_DATA_CHANGED}}},
    {"refused update (unsigned into enumerated) reports nothing",
     [](IedServer s, TinyModel& m) { IedServer_updateUnsignedAttributeValue(s, m.multiplier, 3); },
     {}},
    {"value beyond the attribute's width is refused",
     [](IedServer s, TinyModel& m) { IedServer_updateUnsignedAttributeValue(s, m.count, 256); },
     {}},
    {"CO attributes are not updated",
     [](IedServer s, TinyModel& m) { IedServer_updateBooleanAttributeValue(s, m.ctlVal, true); },
     {}},
};

TEST_F(IedServerTest, UpdatersReportTheReasonsTheTriggerOptionsAllow) {
    for (const auto& c : kTriggerCases) {
        IedServer_destroy(server);
        server = IedServer_create(tiny.model());
        events.clear();
        server->updateListener = [this](DataAttribute* attr, uint8_t reason) { events.emplace_back(attr, reason); };
        c.update(server, tiny);
        ASSERT_EQ(events.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_STREQ(events[i].first->name, c.expected[i].first) << c.name;
            EXPECT_EQ(events[i].second, c.expected[i].second) << c.name;
        }
    }
}

TEST_F(IedServerTest, TypedUpdatersWriteAndGettersRead) {
    IedServer_updateFloatAttributeValue(server, tiny.magF, 12.5f);
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, tiny.magF), 12.5f);
    IedServer_updateUnsignedAttributeValue(server, tiny.count, 255);
    EXPECT_EQ(IedServer_getUInt32AttributeValue(server, tiny.count), 255u);
    IedServer_updateUnsignedAttributeValue(server, tiny.count, 256);  // refused: INT8U
    EXPECT_EQ(IedServer_getUInt32AttributeValue(server, tiny.count), 255u);
    MmsValue_setUtcTimeQuality(tiny.t->mmsValue, 0x0a);
    IedServer_updateUTCTimeAttributeValue(server, tiny.t, 1700000000123ull);
    EXPECT_EQ(IedServer_getUTCTimeAttributeValue(server, tiny.t), 1700000000123ull);
    EXPECT_EQ(MmsValue_getUtcTimeQuality(tiny.t->mmsValue), 0x0a);
    IedServer_updateQuality(server, tiny.q, 0x1001);
    EXPECT_EQ(IedServer_getBitStringAttributeValue(server, tiny.q), 0x1001u);
    // Wrong-typed updaters leave the value alone.
    IedServer_updateInt32AttributeValue(server, tiny.magF, 7);
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, tiny.magF), 12.5f);
    EXPECT_EQ(IedServer_getStringAttributeValue(server, tiny.magF), nullptr);
    // Null handles and attributes are ignored.
    IedServer_updateFloatAttributeValue(nullptr, tiny.magF, 1.0f);
    IedServer_updateFloatAttributeValue(server, nullptr, 1.0f);
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, nullptr), 0.0f);
}

TEST_F(IedServerTest, ListenerRunsUnderTheDataModelLock) {
    bool lockedElsewhere = true;
    server->updateListener = [&](DataAttribute*, uint8_t) {
        std::thread other([&] { lockedElsewhere = !server->dataModelLock.try_lock() ? true : (server->dataModelLock.unlock(), false); });
        other.join();
    };
    IedServer_updateFloatAttributeValue(server, tiny.magF, 1.0f);
    EXPECT_TRUE(lockedElsewhere);
}

}  // namespace

namespace {

// Updates on one thread while another reads: every read sees a whole value
// (a race detector build checks that reads and updates are ordered).
TEST_F(IedServerTest, ReadsOnOneThreadMeetUpdatesOfAnotherWhole) {
    constexpr int kRounds = 2000;
    std::thread writer([this] {
        for (int i = 1; i <= kRounds; ++i) {
            IedServer_updateFloatAttributeValue(server, tiny.magF, static_cast<float>(i));
            IedServer_updateUTCTimeAttributeValue(server, tiny.t, static_cast<uint64_t>(i) * 1000);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        const float f = IedServer_getFloatAttributeValue(server, tiny.magF);
        const uint64_t t = IedServer_getUTCTimeAttributeValue(server, tiny.t);
        ASSERT_EQ(f, std::floor(f));
        ASSERT_EQ(t % 1000, 0u);
    }
    writer.join();
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, tiny.magF), static_cast<float>(kRounds));
}

}  // namespace
