// The XML file of IEC values, on a small hand-built model.
#include <syslog.h>

#include <deque>
#include <filesystem>
#include <tinyxml2.h>

#include "foundation/Paths.h"
#include "iec61850/durable_file.h"
#include "server/Serialization.h"
#include "tests/support/TestSupport.h"

namespace {

// A tiny model: STB/LLN0, CLS1 and CLS2 with two schedule nodes each.
class HandModel {
public:
    HandModel() {
        LogicalDevice* stb = device("STB");
        LogicalNode* lln0 = node(stb, "LLN0");
        attr(object(lln0, "Mod"), "stVal", IEC61850_ENUMERATED, IEC61850_FC_ST);
        for (const char* name : {"CLS1", "CLS2"}) {
            LogicalDevice* cls = device(name);
            for (const char* ln : {"EmpWCmd_FSCH030001", "EmpDCmd_FSCH050001"}) {
                LogicalNode* schedule = node(cls, ln);
                DataObject* beh = object(schedule, "Beh");
                attr(beh, "stVal", IEC61850_ENUMERATED, IEC61850_FC_ST);
                attr(beh, "q", IEC61850_QUALITY, IEC61850_FC_ST);
                attr(beh, "t", IEC61850_TIMESTAMP, IEC61850_FC_ST);
                DataObject* value = object(schedule, "ValASG001");
                DataAttribute* setMag = attr(value, "setMag", IEC61850_CONSTRUCTED, IEC61850_FC_SP);
                child(setMag, "f", IEC61850_FLOAT32, IEC61850_FC_SP);
                DataAttribute* units = attr(value, "units", IEC61850_CONSTRUCTED, IEC61850_FC_CF);
                child(units, "SIUnit", IEC61850_ENUMERATED, IEC61850_FC_CF);
                child(units, "multiplier", IEC61850_ENUMERATED, IEC61850_FC_CF);
                attr(object(schedule, "StrTm01"), "setTm", IEC61850_TIMESTAMP, IEC61850_FC_SP);
                DataObject* misc = object(schedule, "EnaReq");
                attr(misc, "stVal", IEC61850_BOOLEAN, IEC61850_FC_ST);
                attr(misc, "cnt", IEC61850_INT32U, IEC61850_FC_ST);
                attr(misc, "d", IEC61850_VISIBLE_STRING_255, IEC61850_FC_DC);
                attr(misc, "oct", IEC61850_OCTET_STRING_64, IEC61850_FC_DC);
            }
        }
        model_.name = "HAND";
        server = IedServer_create(&model_);
    }
    ~HandModel() { IedServer_destroy(server); }

    DataAttribute* find(const char* ld, const char* ln, const char* dobj, const char* da) {
        ModelNode* n = IedModel_getDeviceByInst(&model_, ld);
        for (const char* name : {ln, dobj, da}) n = ModelNode_getChild(n, name);
        return static_cast<DataAttribute*>(n);
    }

    IedServer server = nullptr;

private:
    template <class T>
    T* make(ModelNode* parent, const char* name, ModelNodeType type) {
        T& n = store<T>().emplace_back();
        n.modelType = type;
        n.name = name;
        n.parent = parent;
        if (parent) {
            ModelNode** link = &parent->firstChild;
            while (*link) link = &(*link)->sibling;
            *link = &n;
        }
        return &n;
    }
    LogicalDevice* device(const char* name) {
        LogicalDevice* d = make<LogicalDevice>(nullptr, name, LogicalDeviceModelType);
        LogicalDevice** link = &model_.firstChild;
        while (*link) link = reinterpret_cast<LogicalDevice**>(&(*link)->sibling);
        *link = d;
        return d;
    }
    LogicalNode* node(LogicalDevice* d, const char* name) { return make<LogicalNode>(d, name, LogicalNodeModelType); }
    DataObject* object(LogicalNode* n, const char* name) { return make<DataObject>(n, name, DataObjectModelType); }
    DataAttribute* attr(ModelNode* parent, const char* name, DataAttributeType type, FunctionalConstraint fc) {
        DataAttribute* a = make<DataAttribute>(parent, name, DataAttributeModelType);
        a->type = type;
        a->fc = fc;
        return a;
    }
    DataAttribute* child(DataAttribute* parent, const char* name, DataAttributeType type, FunctionalConstraint fc) {
        return attr(parent, name, type, fc);
    }
    template <class T>
    std::deque<T>& store() {
        if constexpr (std::is_same_v<T, LogicalDevice>) return devices_;
        else if constexpr (std::is_same_v<T, LogicalNode>) return nodes_;
        else if constexpr (std::is_same_v<T, DataObject>) return objects_;
        else return attrs_;
    }

    IedModel model_{};
    std::deque<LogicalDevice> devices_;
    std::deque<LogicalNode> nodes_;
    std::deque<DataObject> objects_;
    std::deque<DataAttribute> attrs_;
};

class SerializationTest : public testsupport::IecTest {
protected:
    SerializationTest() {
        std::filesystem::create_directories(workDir.path() / "etc/iec");
        writer.debug = true;
        persistedSlots.clear();
    }
    ~SerializationTest() override { persistedSlots.clear(); }

    HandModel model;
    Serialization writer{&model.server};
};

const char* const kOneSlotFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<Root>
    <CLS1>
        <EmpWCmd_FSCH030001>
            <Beh>
                <stVal unit="MMS_INTEGER" value="1"/>
                <q unit="MMS_BITSTRING" value="2"/>
                <t unit="MMS_UTC_TIME" value="1767225600"/>
            </Beh>
            <ValASG001>
                <setMag unit="MMS_FLOAT" value="4200.5"/>
                <units unit="MMS_INTEGER" value="38"/>
            </ValASG001>
            <StrTm01>
                <setTm unit="MMS_UTC_TIME" value="1767225600"/>
            </StrTm01>
            <EnaReq>
                <stVal unit="MMS_BOOLEAN" value="true"/>
                <cnt unit="MMS_UNSIGNED" value="4000000000"/>
                <d unit="MMS_VISIBLE_STRING" value="A&amp;B &lt;&quot;x&quot;&gt;"/>
                <oct/>
            </EnaReq>
        </EmpWCmd_FSCH030001>
    </CLS1>
</Root>
)";

TEST_F(SerializationTest, OneSlotGivesItsDeviceAndNodeWithTypedValues) {
    IedServer s = model.server;
    IedServer_updateInt32AttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "Beh", "stVal"), 1);
    IedServer_updateBitStringAttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "Beh", "q"), 2);
    IedServer_updateUTCTimeAttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "Beh", "t"), 1767225600750ULL);
    DataAttribute* setMag = model.find("CLS1", "EmpWCmd_FSCH030001", "ValASG001", "setMag");
    IedServer_updateFloatAttributeValue(s, static_cast<DataAttribute*>(setMag->firstChild), 4200.5f);
    DataAttribute* units = model.find("CLS1", "EmpWCmd_FSCH030001", "ValASG001", "units");
    IedServer_updateInt32AttributeValue(s, static_cast<DataAttribute*>(units->firstChild), 38);
    IedServer_updateUTCTimeAttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "StrTm01", "setTm"),
                                          1767225600000ULL);
    IedServer_updateBooleanAttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "EnaReq", "stVal"), true);
    IedServer_updateUnsignedAttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "EnaReq", "cnt"), 4000000000u);
    IedServer_updateVisibleStringAttributeValue(s, model.find("CLS1", "EmpWCmd_FSCH030001", "EnaReq", "d"),
                                                "A&B <\"x\">");

    persistedSlots = {{"EmpWCmd_FSCH030001", "CLS1"}};
    const uint64_t syncsBefore = iec61850::durableSyncCount();
    ASSERT_TRUE(writer.save_all_IEC_values_to_XML());
    EXPECT_EQ(workDir.readFile("IEC61850_Values.xml"), kOneSlotFile);
    EXPECT_EQ(iec61850::durableSyncCount(), syncsBefore) << "a record nobody reads back is not synced";
}

TEST_F(SerializationTest, SelectionFollowsNamesAndModelOrder) {
    struct Case {
        SlotSet batch;
        std::vector<std::string> devices;  // "device/node,node"
    };
    const Case cases[] = {
        {{{"EmpWCmd_FSCH030001", "CLS1"}, {"EmpDCmd_FSCH050001", "CLS2"}},
         {"CLS1/EmpWCmd_FSCH030001,EmpDCmd_FSCH050001", "CLS2/EmpWCmd_FSCH030001,EmpDCmd_FSCH050001"}},
        {{{"NoSuchNode", "CLS2"}}, {"CLS2/"}},
        {{{"EmpDCmd_FSCH050001", "CLS9"}}, {}},
    };
    for (const auto& c : cases) {
        persistedSlots = c.batch;
        ASSERT_TRUE(writer.save_all_IEC_values_to_XML());
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile("IEC61850_Values.xml"), tinyxml2::XML_SUCCESS);
        std::vector<std::string> seen;
        for (auto* d = doc.FirstChildElement("Root")->FirstChildElement(); d; d = d->NextSiblingElement()) {
            std::string line = std::string(d->Name()) + "/";
            for (auto* n = d->FirstChildElement(); n; n = n->NextSiblingElement()) {
                line += std::string(line.back() == '/' ? "" : ",") + n->Name();
            }
            seen.push_back(line);
        }
        EXPECT_EQ(seen, c.devices);
    }
}

TEST_F(SerializationTest, FloatsAreWrittenWithEightSignificantDigits) {
    DataAttribute* setMag = model.find("CLS1", "EmpWCmd_FSCH030001", "ValASG001", "setMag");
    persistedSlots = {{"EmpWCmd_FSCH030001", "CLS1"}};
    const std::pair<float, const char*> cases[] = {
        {-1.0f, "-1"}, {0.1f, "0.1"}, {123456789.0f, "1.2345679e+08"}, {4200.5f, "4200.5"}};
    for (const auto& [value, text] : cases) {
        IedServer_updateFloatAttributeValue(model.server, static_cast<DataAttribute*>(setMag->firstChild), value);
        ASSERT_TRUE(writer.save_all_IEC_values_to_XML());
        const std::string file = workDir.readFile("IEC61850_Values.xml");
        EXPECT_NE(file.find(std::string("<setMag unit=\"MMS_FLOAT\" value=\"") + text + "\"/>"), std::string::npos)
            << text;
    }
}

TEST_F(SerializationTest, AnEmptyBatchLeavesTheFileAlone) {
    workDir.writeFile("IEC61850_Values.xml", "old");
    ASSERT_TRUE(writer.save_all_IEC_values_to_XML());
    EXPECT_EQ(workDir.readFile("IEC61850_Values.xml"), "old");
    EXPECT_TRUE(syslog.contains(LOG_DEBUG, "Saving all the data") || writer.logLevel < LOG_DEBUG);
}

TEST_F(SerializationTest, TheInstalledPathLiesUnderEtcIec) {
    writer.debug = false;
    EXPECT_EQ(writer.path(), paths::resolve("/etc/iec/IEC61850_Values.xml"));
    persistedSlots = {{"EmpWCmd_FSCH030001", "CLS1"}};
    ASSERT_TRUE(writer.save_all_IEC_values_to_XML());
    EXPECT_NE(workDir.readFile("/etc/iec/IEC61850_Values.xml").find("<EmpWCmd_FSCH030001>"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(workDir.path() / "IEC61850_Values.xml"));
}

TEST_F(SerializationTest, AFailedSaveIsReportedAndLeavesNoTemporaryFile) {
    writer.debug = false;
    std::filesystem::remove_all(workDir.path() / "etc/iec");
    persistedSlots = {{"EmpWCmd_FSCH030001", "CLS1"}};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writer.save_all_IEC_values_to_XML());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: Could not save XML file:" + writer.path()), std::string::npos) << err;

    // A target that cannot be replaced (a directory) fails at the rename.
    std::filesystem::create_directories(workDir.path() / "etc/iec/IEC61850_Values.xml");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writer.save_all_IEC_values_to_XML());
    testing::internal::GetCapturedStderr();
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(workDir.path() / "etc/iec")) ++entries;
    EXPECT_EQ(entries, 1u);  // only the directory in the way; no temporary file left behind
    bool logged = false;
    for (const auto& r : syslog.records()) logged |= r.priority == LOG_ERR;
    EXPECT_TRUE(logged);
}

}  // namespace
