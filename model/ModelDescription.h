#pragma once
// The device descriptions of "FNN_STEUERBOX" as compact tables: the logical
// nodes of STB and of a CLS device with their data objects and shapes, the
// schedule kinds that generate the 26 FSCH nodes, the initial values that
// stand outside the general rules, and the data-set members.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/ModelShapes.h"

namespace model {

enum class StartTimes { None, TimeOnly, TimeAndCalendar };

// One row of schedule kinds; each instance becomes one FSCH node.
struct ScheduleKind {
    const char* prefix;                    // "EmpSPrg"
    int kind;                              // 2: node names "EmpSPrg_FSCH02" + instance, priority 20
    std::span<const char* const> instances;  // "0001", ...
    int valueCount;                        // "ValASG001".. ("ValASG" + 3 digits)
    int startTimeCount;                    // "StrTm01".. ("StrTm" + 2 digits)
    StartTimes startForm;
    bool trigger;                          // has "EvTrg" and "InSyn"
    bool controllable;                     // "EnaReq"/"DsaReq" with "Oper"
    bool reuse;                            // initial "SchdReuse"
    // Target of "InSyn" inside the node's own device; "#" stands for the
    // instance number within the row. Null without trigger.
    const char* inputReference;
};

struct ObjectDesc {
    const char* name;      // literal or interned: lives as long as the process
    const Shape* shape;
};

struct NodeDesc {
    const char* name;
    std::vector<ObjectDesc> objects;
    const ScheduleKind* schedule = nullptr;  // set for FSCH nodes
    int instanceNumber = 0;                  // 1-based within its kind row (SysSoft 110003: 3)
};

struct DeviceDesc {
    std::vector<NodeDesc> nodes;
};

// A literal initial value; the attribute's type decides the MmsValue made of it.
struct Literal {
    enum Kind : uint8_t { Int, Unsigned, Float, Bool, Text } kind;
    int32_t i = 0;
    uint32_t u = 0;
    float f = 0;
    bool b = false;
    const char* s = nullptr;
};
constexpr Literal intValue(int32_t v) { return {Literal::Int, v}; }
constexpr Literal unsignedValue(uint32_t v) { return {Literal::Unsigned, 0, v}; }
constexpr Literal floatValue(float v) { return {Literal::Float, 0, 0, v}; }
constexpr Literal boolValue(bool v) { return {Literal::Bool, 0, 0, 0, v}; }
constexpr Literal textValue(const char* v) { return {Literal::Text, 0, 0, 0, false, v}; }

// An initial value outside the rules, addressed by names (sub may be null).
struct ExplicitValue {
    const char* node;
    const char* object;
    const char* attribute;
    const char* sub;
    Literal value;
};

// A value that every attribute of this name carries wherever it stands
// (object null: under any data object; sub null: a top-level attribute).
struct NameRule {
    const char* object;
    const char* attribute;
    const char* sub;
    Literal value;
};

struct MemberDesc {
    const char* node;
    FunctionalConstraint fc;
    const char* object;
};

// Keeps one copy of each generated name for the whole process.
const char* intern(std::string_view name);

const DeviceDesc& stbDevice();
const DeviceDesc& clsDevice();  // the same for CLS1..CLS4

std::span<const ScheduleKind> scheduleKinds();
// The 26 schedule node names of a CLS device in model order.
const std::vector<const char*>& scheduleNodeNames();

std::span<const ExplicitValue> stbExplicitValues();
std::span<const ExplicitValue> clsExplicitValues();
std::span<const NameRule> nameRules();

// Data objects whose "units" are durations (s, no multiplier); every other
// "units" of the model is active power (W, multiplier k).
bool hasDurationUnits(std::string_view object);
// Logical nodes whose "Beh.stVal" keeps its default.
bool keepsDefaultBehaviour(std::string_view node);

std::span<const MemberDesc> stbDataSet01();
std::span<const MemberDesc> stbDataSet02();
std::vector<MemberDesc> clsDataSet01();

constexpr const char* kExtensionNamespace = "FNN-STB-ext:2019A";
constexpr const char* kLogicalDeviceNamespace = "IEC 61850-7-4:2007B";

}  // namespace model
