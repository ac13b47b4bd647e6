// Expands the model tables into the records of "FNN_STEUERBOX" once, at first
// use; the initialiser works the initial values out of the same tables.
#include "model/StaticModel.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "model/ModelDescription.h"
#include "model/NoDestroy.h"

namespace model {
namespace {

// Stable storage for records: blocks that never move.
template <typename T>
class Pool {
public:
    T* make() {
        if (blocks_.empty() || used_ == kBlockSize) {
            blocks_.push_back(std::make_unique<T[]>(kBlockSize));
            used_ = 0;
        }
        return &blocks_.back()[used_++];
    }

private:
    static constexpr size_t kBlockSize = 2048;
    std::vector<std::unique_ptr<T[]>> blocks_;
    size_t used_ = 0;
};

struct Context {
    const char* device;
    const NodeDesc* node;
    const ObjectDesc* object;
};

bool same(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

std::string reference(const char* device, const std::string& target) { return std::string("@") + device + "/" + target; }

// The value the general rules give a leaf attribute; attribute is the
// top-level attribute of the data object, sub the leaf below it (or null).
bool ruleValue(const Context& c, const char* attribute, const char* sub, Literal* out) {
    const char* object = c.object->name;
    for (const NameRule& rule : nameRules()) {
        if ((rule.object == nullptr || same(rule.object, object)) && same(rule.attribute, attribute) &&
            same(rule.sub, sub)) {
            *out = rule.value;
            return true;
        }
    }
    if (same(attribute, "units") && sub != nullptr) {
        const bool duration = hasDurationUnits(object);
        if (same(sub, "SIUnit")) *out = intValue(duration ? 4 : 38);
        else if (same(sub, "multiplier")) *out = intValue(duration ? 0 : 3);
        else return false;
        return true;
    }
    if (sub != nullptr) return false;
    if (same(attribute, "ctlModel")) {
        *out = intValue(isControllable(*c.object->shape) ? 1 : 0);
        return true;
    }
    if (same(object, "Beh") && same(attribute, "stVal")) {
        if (keepsDefaultBehaviour(c.node->name)) return false;
        *out = intValue(1);
        return true;
    }
    if (const ScheduleKind* kind = c.node->schedule) {
        if (same(object, "SchdPrio") && same(attribute, "setVal")) *out = intValue(kind->kind * 10);
        else if (same(object, "NumEntr") && same(attribute, "setVal")) *out = intValue(kind->valueCount);
        else if (same(object, "SchdReuse") && same(attribute, "setVal") && kind->reuse) *out = boolValue(true);
        else if (same(object, "InSyn") && same(attribute, "setSrcRef") && kind->inputReference) {
            std::string target = kind->inputReference;
            const size_t mark = target.find('#');
            if (mark != std::string::npos) target.replace(mark, 1, std::to_string(c.node->instanceNumber));
            *out = textValue(intern(reference(c.device, target)));
        } else {
            return false;
        }
        return true;
    }
    if (same(c.node->name, "ActPow_FSCC001") && same(attribute, "setSrcRef")) {
        if (same(object, "CtlEnt")) {
            *out = textValue(intern(reference(c.device, "ActPow_GGIO001.AnOut1.mxVal.f")));
            return true;
        }
        if (std::strncmp(object, "Schd", 4) == 0) {
            const size_t index = static_cast<size_t>(std::atoi(object + 4)) - 1;
            const auto& schedules = scheduleNodeNames();
            if (index >= schedules.size()) return false;
            *out = textValue(intern(reference(c.device, schedules[index])));
            return true;
        }
    }
    return false;
}

class StaticModel {
public:
    StaticModel() {
        root_.name = "FNN_STEUERBOX";
        root_.initializer = &staticModelInitializer;
        LogicalDevice* previous = nullptr;
        auto addDevice = [&](const char* name, const DeviceDesc& desc, std::span<const ExplicitValue> values) {
            LogicalDevice* device = instantiate(name, desc);
            devices_.push_back({device, &desc, values});
            if (previous == nullptr) root_.firstChild = device;
            else previous->sibling = device;
            previous = device;
        };
        addDevice("STB", stbDevice(), stbExplicitValues());
        for (const char* name : {"CLS1", "CLS2", "CLS3", "CLS4"}) addDevice(name, clsDevice(), clsExplicitValues());
        buildDataSets();
        buildControlBlocks();
    }

    IedModel* root() { return &root_; }

    // Gives every attribute with an initial value a new value of its own. The
    // values are worked out from the tables on each call, so the model keeps
    // no second copy of them. An attribute that holds a value already (a
    // running server's cache entry) is left alone.
    void initialize() {
        for (const DeviceEntry& entry : devices_) {
            // Values outside the rules first: a rule never replaces one.
            for (const ExplicitValue& value : entry.explicitValues) {
                ModelNode* node = ModelNode_getChild(
                    ModelNode_getChild(ModelNode_getChild(entry.device, value.node), value.object), value.attribute);
                if (value.sub != nullptr) node = ModelNode_getChild(node, value.sub);
                if (node != nullptr) give(static_cast<DataAttribute*>(node), value.value);
            }
            ModelNode* node = entry.device->firstChild;
            for (const NodeDesc& nodeDesc : entry.desc->nodes) {
                ModelNode* object = node->firstChild;
                for (const ObjectDesc& objectDesc : nodeDesc.objects) {
                    const Context context{entry.device->name, &nodeDesc, &objectDesc};
                    for (ModelNode* attr = object->firstChild; attr != nullptr; attr = attr->sibling) {
                        applyRules(context, static_cast<DataAttribute*>(attr));
                    }
                    object = object->sibling;
                }
                node = node->sibling;
            }
        }
    }

private:
    static MmsValue* makeValue(DataAttributeType type, const Literal& v) {
        switch (type) {
            case IEC61850_ENUMERATED:
            case IEC61850_INT32:
                return v.kind == Literal::Int ? MmsValue_newIntegerFromInt32(v.i) : nullptr;
            case IEC61850_INT32U:
                return v.kind == Literal::Unsigned ? MmsValue_newUnsignedFromUint32(v.u) : nullptr;
            case IEC61850_FLOAT32:
                return v.kind == Literal::Float ? MmsValue_newFloat(v.f) : nullptr;
            case IEC61850_BOOLEAN:
                return v.kind == Literal::Bool ? MmsValue_newBoolean(v.b) : nullptr;
            case IEC61850_VISIBLE_STRING_129:
            case IEC61850_VISIBLE_STRING_255:
                return v.kind == Literal::Text ? MmsValue_newVisibleString(v.s) : nullptr;
            default:
                return nullptr;
        }
    }

    static void give(DataAttribute* attr, const Literal& value) {
        if (attr->mmsValue == nullptr) attr->mmsValue = makeValue(attr->type, value);
    }

    // A top-level attribute that is a leaf, and the leaves directly below a
    // constructed one, may carry a rule value; CO attributes never do.
    static void applyRules(const Context& context, DataAttribute* top) {
        if (top->fc == IEC61850_FC_CO) return;
        Literal value;
        if (top->firstChild == nullptr) {
            if (ruleValue(context, top->name, nullptr, &value)) give(top, value);
            return;
        }
        for (ModelNode* sub = top->firstChild; sub != nullptr; sub = sub->sibling) {
            if (sub->firstChild != nullptr) continue;
            if (ruleValue(context, top->name, sub->name, &value)) give(static_cast<DataAttribute*>(sub), value);
        }
    }

    template <typename T>
    static void append(ModelNode* parent, T* child, ModelNode**& tail) {
        child->parent = parent;
        *tail = child;
        tail = &child->sibling;
    }

    LogicalDevice* instantiate(const char* name, const DeviceDesc& desc) {
        LogicalDevice* device = deviceRecords_.make();
        device->modelType = LogicalDeviceModelType;
        device->name = name;
        device->ldName = nullptr;
        ModelNode** nodeTail = &device->firstChild;
        for (const NodeDesc& nodeDesc : desc.nodes) {
            LogicalNode* node = nodes_.make();
            node->modelType = LogicalNodeModelType;
            node->name = nodeDesc.name;
            append(device, node, nodeTail);
            ModelNode** objectTail = &node->firstChild;
            for (const ObjectDesc& objectDesc : nodeDesc.objects) {
                DataObject* object = objects_.make();
                object->modelType = DataObjectModelType;
                object->name = objectDesc.name;
                append(node, object, objectTail);
                ModelNode** attrTail = &object->firstChild;
                for (const AttrSpec& spec : objectDesc.shape->attributes) {
                    addAttribute(object, attrTail, spec, spec.fc, triggerOptionsFor(spec));
                }
            }
        }
        return device;
    }

    // Sub-attributes carry the FC and trigger options of their top-level attribute.
    void addAttribute(ModelNode* parent, ModelNode**& tail, const AttrSpec& spec, FunctionalConstraint fc,
                      uint8_t trigger) {
        DataAttribute* attr = attributes_.make();
        attr->modelType = DataAttributeModelType;
        attr->name = spec.name;
        attr->fc = fc;
        attr->type = spec.type;
        attr->triggerOptions = trigger;
        attr->elementCount = 0;
        attr->sAddr = 0;
        attr->mmsValue = nullptr;
        append(parent, attr, tail);
        ModelNode** childTail = &attr->firstChild;
        for (const AttrSpec& child : spec.children) addAttribute(attr, childTail, child, fc, trigger);
    }

    void buildDataSets() {
        DataSet** tail = &root_.dataSets;
        auto add = [&](const char* deviceName, const char* name, std::span<const MemberDesc> members) {
            LogicalDevice* device = IedModel_getDeviceByInst(&root_, deviceName);
            DataSet& set = dataSets_.emplace_back();
            set.logicalDeviceName = device->name;
            set.parent = static_cast<LogicalNode*>(ModelNode_getChild(device, "LLN0"));
            set.name = name;
            set.elementCount = static_cast<int>(members.size());
            DataSetEntry** entryTail = &set.fcdas;
            for (const MemberDesc& member : members) {
                DataSetEntry* entry = entries_.make();
                entry->logicalDeviceName = device->name;
                entry->variableName =
                    intern(std::string(member.node) + "$" + FunctionalConstraint_toString(member.fc) + "$" + member.object);
                entry->dataObject =
                    static_cast<DataObject*>(ModelNode_getChild(ModelNode_getChild(device, member.node), member.object));
                entry->fc = member.fc;
                entry->value = nullptr;
                *entryTail = entry;
                entryTail = &entry->sibling;
            }
            *tail = &set;
            tail = &set.sibling;
        };
        add("STB", "dataset01", stbDataSet01());
        add("STB", "dataset02", stbDataSet02());
        const std::vector<MemberDesc> clsMembers = clsDataSet01();
        for (const char* name : {"CLS1", "CLS2", "CLS3", "CLS4"}) add(name, "dataset01", clsMembers);
    }

    void buildControlBlocks() {
        constexpr uint8_t kStbTriggers = TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED | TRG_OPT_GI;
        constexpr uint8_t kClsTriggers = kStbTriggers | TRG_OPT_DATA_UPDATE;
        constexpr uint8_t kOptions = RPT_OPT_TIME_STAMP | RPT_OPT_REASON_FOR_INCLUSION | RPT_OPT_DATA_SET | RPT_OPT_CONF_REV;
        constexpr uint8_t kStbLogTriggers = TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED;
        constexpr uint8_t kClsLogTriggers = kStbLogTriggers | TRG_OPT_DATA_UPDATE;

        ReportControlBlock** rcbTail = &root_.rcbs;
        LogControlBlock** lcbTail = &root_.lcbs;
        Log** logTail = &root_.logs;
        auto lln0 = [this](const char* device) {
            return static_cast<LogicalNode*>(ModelNode_getChild(IedModel_getDeviceByInst(&root_, device), "LLN0"));
        };
        auto addLog = [&](const char* device, const char* control, const char* dataSet, const char* logName,
                          uint8_t triggers) {
            LogControlBlock& lcb = lcbs_.emplace_back();
            lcb.parent = lln0(device);
            lcb.name = control;
            lcb.dataSetName = dataSet;
            lcb.logRef = intern(std::string(device) + "/LLN0$" + logName);
            lcb.trgOps = triggers;
            lcb.intPeriod = 0;
            lcb.logEna = true;
            lcb.reasonCode = true;
            *lcbTail = &lcb;
            lcbTail = &lcb.sibling;
            Log& log = logs_.emplace_back();
            log.parent = lcb.parent;
            log.name = logName;
            *logTail = &log;
            logTail = &log.sibling;
        };
        for (const char* device : {"STB", "CLS1", "CLS2", "CLS3", "CLS4"}) {
            const bool stb = std::strcmp(device, "STB") == 0;
            for (const char* name : {"reportControl0101", "reportControl0102"}) {
                ReportControlBlock& rcb = rcbs_.emplace_back();
                rcb.parent = lln0(device);
                rcb.name = name;
                rcb.rptId = intern(std::string(device) + "/report01");
                rcb.buffered = false;
                rcb.dataSetName = "dataset01";
                rcb.confRev = 1;
                rcb.trgOps = stb ? kStbTriggers : kClsTriggers;
                rcb.options = kOptions;
                rcb.bufferTime = 0;
                rcb.intPeriod = 0;
                *rcbTail = &rcb;
                rcbTail = &rcb.sibling;
            }
        }
        addLog("STB", "logControlSTB", "dataset01", "logSTB", kStbLogTriggers);
        addLog("STB", "logControlRelay", "dataset02", "logRelay", kStbLogTriggers);
        for (const char* device : {"CLS1", "CLS2", "CLS3", "CLS4"}) {
            const std::string number = device + 3;
            addLog(device, intern("logControlCLS" + number), "dataset01", intern("logCLS" + number), kClsLogTriggers);
        }
    }

    IedModel root_{};
    Pool<LogicalDevice> deviceRecords_;
    Pool<LogicalNode> nodes_;
    Pool<DataObject> objects_;
    Pool<DataAttribute> attributes_;
    Pool<DataSetEntry> entries_;
    std::deque<DataSet> dataSets_;
    std::deque<ReportControlBlock> rcbs_;
    std::deque<LogControlBlock> lcbs_;
    std::deque<Log> logs_;
    struct DeviceEntry {
        LogicalDevice* device;
        const DeviceDesc* desc;
        std::span<const ExplicitValue> explicitValues;
    };
    std::vector<DeviceEntry> devices_;
};

StaticModel& staticModel() {
    static NoDestroy<StaticModel> instance;
    return instance.value;
}

}  // namespace
}  // namespace model

IedModel* getStaticIedModel() { return model::staticModel().root(); }

void staticModelInitializer() { model::staticModel().initialize(); }
