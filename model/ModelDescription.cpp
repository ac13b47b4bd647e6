// Tables of the model "FNN_STEUERBOX".
#include "model/ModelDescription.h"

#include <array>
#include <cstdio>
#include <string>
#include <unordered_set>

#include "model/NoDestroy.h"

namespace model {
namespace {

constexpr auto ST = IEC61850_FC_ST;
constexpr auto MX = IEC61850_FC_MX;

const Shape& shape(std::string_view name) {
    const Shape* found = findShape(name);
    // The tables below name only shapes that exist; the model tests walk them all.
    return found ? *found : allShapes().front();
}

struct ObjectRow {
    const char* name;
    const char* shape;
};

struct NodeRow {
    const char* name;
    std::span<const ObjectRow> objects;
};

// --- STB ----------------------------------------------------------------------

constexpr ObjectRow kStbLLN0[] = {{"NamPlt", "LPL_LLN0"}, {"Beh", "ENS"}, {"Health", "ENS"}, {"Mod", "ENC_Status"}};
constexpr ObjectRow kStbLPHD[] = {
    {"PhyNam", "DPL"}, {"PhyHealth", "ENS"}, {"Proxy", "SPS"},     {"NumPwrUp", "INS"},
    {"WrmStr", "INS"}, {"RsDev", "SPC"},     {"PwrSupAlm", "SPS"}, {"NamParamRev", "VSS_Ns"},
};
constexpr ObjectRow kStbLCMS1[] = {
    {"Beh", "ENS"},          {"NamPlt", "LPL_Ext"},          {"VndCerExpNr1", "SPS"}, {"VndCerExpTm1", "TimeStatus"},
    {"VndCerExpNr2", "SPS"}, {"VndCerExpTm2", "TimeStatus"}, {"OpCerExpNr1", "SPS"},  {"OpCerExpTm1", "TimeStatus"},
    {"OpCerExpNr2", "SPS"},  {"OpCerExpTm2", "TimeStatus"},  {"DevCerExpNr1", "SPS"}, {"DevCerExpTm1", "TimeStatus"},
    {"DevCerCrt1", "SPC"},   {"DevCerExpNr2", "SPS"},        {"DevCerExpTm2", "TimeStatus"}, {"DevCerCrt2", "SPC"},
};
constexpr ObjectRow kStbLDMS1[] = {
    {"Beh", "ENS"},     {"NamPlt", "LPL_Ext"}, {"UpdSt", "ENS"},          {"UpdErrCode", "ENS"},
    {"UpdErrMsg", "VSS"}, {"UpdInit", "SPC"},  {"UpdVld", "SPC"},         {"UpdInst", "SPC_OperTm"},
    {"UpdConf", "SPC"}, {"UpdAbrt", "SPC"},    {"UpdRs", "SPC"},          {"UpdCan", "SPC"},
};
constexpr ObjectRow kStbCommFail[] = {{"Ind1", "SPS"}, {"Ind2", "SPS"}, {"Beh", "ENS"}};
constexpr ObjectRow kStbLTMS1[] = {
    {"TmSrc", "VSS"},          {"TmSrcTyp", "ENS"},     {"TmSyn", "ENS"}, {"TmSyc", "TimeStatus"},
    {"TmOfs", "INS_Units"},    {"TmUpd", "TimeStatus"}, {"Beh", "ENS"},
};
constexpr ObjectRow kStbManip[] = {{"Beh", "ENS"}, {"Ind1", "SPS"}, {"SPCSO1", "SPC"}};
constexpr ObjectRow kStbSwitch[] = {
    {"Beh", "ENS"},   {"Loc", "SPS"},           {"OpCnt", "INS"},         {"Pos", "DPC_Status"},
    {"SwTyp", "ENS"}, {"BlkOpn", "SPC_Status"}, {"BlkCls", "SPC_Status"},
};
constexpr ObjectRow kStbTest[] = {{"Beh", "ENS"}, {"Ind1", "SPS"}, {"Ind2", "SPS"}, {"SPCSO1", "SPC"}};

constexpr NodeRow kStbNodes[] = {
    {"LLN0", kStbLLN0},         {"LPHD", kStbLPHD},        {"LCMS1", kStbLCMS1},      {"LDMS1", kStbLDMS1},
    {"CommFail_GGIO1", kStbCommFail}, {"LTMS1", kStbLTMS1}, {"Manip_GGIO1", kStbManip}, {"S1_XSWI1", kStbSwitch},
    {"S2_XSWI1", kStbSwitch},   {"W3_XSWI1", kStbSwitch},  {"W4_XSWI1", kStbSwitch},  {"Test_GGIO1", kStbTest},
};

// --- CLS: non-schedule nodes ---------------------------------------------------

constexpr ObjectRow kClsLLN0[] = {{"NamPlt", "LPL_LLN0"}, {"Beh", "ENS"}, {"GrRef", "ORG"}};
constexpr ObjectRow kClsMMXU[] = {{"Beh", "ENS"}, {"TotW", "MV_Db"}};
constexpr ObjectRow kClsSoftstart[] = {
    {"Beh", "ENS"}, {"Ind1", "SPS"}, {"Ind2", "SPS"}, {"Ind3", "SPS"}, {"Ind4", "SPS"}};
constexpr ObjectRow kClsCommFail[] = {{"Ind1", "SPS"}, {"Beh", "ENS"}};
constexpr ObjectRow kClsActPowGGIO[] = {
    {"Beh", "ENS"},     {"AnOut1", "APC_Status"}, {"EEHealth", "ENS"}, {"AnIn1", "MV"},
    {"EEName", "DPL_EE"}, {"Ind1", "SPS"},        {"Ind2", "SPS"},
};
constexpr ObjectRow kClsFailSafe[] = {
    {"Beh", "ENS"},        {"Mod", "ENC"},         {"NamPlt", "LPL_Ext"},
    {"FailDurSet", "APC"}, {"FailPGnSet", "APC"},  {"FailPLodSet", "APC"},
    {"FailDurGet", "MV"},  {"FailPGnGet", "MV"},   {"FailPLodGet", "MV"},
};
constexpr ObjectRow kClsDERRtg[] = {
    {"Beh", "ENS"},   {"Mod", "ENC"},    {"NamPlt", "LPL_Ext"}, {"NomPGn", "MV"},
    {"NomPLod", "MV"}, {"CnttPGn", "MV"}, {"CnttPLod", "MV"},
};
constexpr ObjectRow kClsController[] = {{"Beh", "ENS"}, {"ActSchdRef", "RefStatus"}, {"ValMV", "MV"}, {"CtlEnt", "ORG"}};

constexpr NodeRow kClsNodes[] = {
    {"LLN0", kClsLLN0},
    {"MMXU001", kClsMMXU},
    {"Softstart_GGIO001", kClsSoftstart},
    {"CommFail_GGIO1", kClsCommFail},
    {"ActPow_GGIO001", kClsActPowGGIO},
    {"FailSafe_GGIO001", kClsFailSafe},
    {"DERRtg_GGIO001", kClsDERRtg},
    {"ActPow_FSCC001", kClsController},  // followed by "Schd001".."Schd026"
};

// --- Schedules -------------------------------------------------------------------

constexpr const char* kOne[] = {"0001"};
constexpr const char* kTwo[] = {"0001", "0002"};
constexpr const char* kFour[] = {"0001", "0002", "0003", "0004"};
constexpr const char* kFive[] = {"0001", "0002", "0003", "0004", "0005"};
constexpr const char* kLong[] = {"0101", "0102", "0103"};

using S = StartTimes;
constexpr ScheduleKind kScheduleKinds[] = {
    // prefix     kind instances values starts form              trigger ctl    reuse  input
    {"SysRes",    1,  kOne,   100, 16, S::TimeAndCalendar, false, false, false, nullptr},
    {"EmpSPrg",   2,  kFive,  100, 16, S::TimeAndCalendar, false, true,  false, nullptr},
    {"EmpSPrg",   2,  kLong,  300, 16, S::TimeAndCalendar, false, true,  false, nullptr},
    {"EmpWCmd",   3,  kTwo,   1,   16, S::TimeOnly,        false, true,  false, nullptr},
    {"EmpDCmd",   5,  kTwo,   1,   1,  S::TimeAndCalendar, false, true,  false, nullptr},
    {"SysSoft",   11, kFour,  1,   0,  S::None,            true,  false, false, "Softstart_GGIO001.Ind#.stVal"},
    {"DsoWCmd",   13, kTwo,   1,   16, S::TimeOnly,        false, true,  false, nullptr},
    {"DsoDCmd",   15, kTwo,   1,   1,  S::TimeAndCalendar, false, true,  false, nullptr},
    {"SysComEr",  22, kOne,   100, 0,  S::None,            true,  true,  true,  "CommFail_GGIO1.Ind1.stVal"},
    {"DsoECmd",   25, kFour,  1,   1,  S::TimeAndCalendar, false, true,  false, nullptr},
};

constexpr int kScheduleCount = 26;

// The number with at least `digits` digits, zero-padded.
std::string format(int digits, int number) {
    std::string text = std::to_string(number);
    if (text.size() < static_cast<size_t>(digits)) text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
    return text;
}

NodeDesc scheduleNode(const ScheduleKind& kind, int instanceIndex) {
    NodeDesc node;
    node.name = intern(std::string(kind.prefix) + "_FSCH" + format(2, kind.kind) + kind.instances[instanceIndex]);
    node.schedule = &kind;
    node.instanceNumber = instanceIndex + 1;
    const Shape& request = shape(kind.controllable ? "SPC" : "SPC_Status");
    auto add = [&node](const char* name, const Shape& s) { node.objects.push_back({name, &s}); };
    add("Beh", shape("ENS"));
    add("NamPlt", shape("LPL"));
    add("SchdSt", shape("ENS"));
    add("SchdEntr", shape("INS"));
    add("ValMV", shape("MV"));
    add("ActStrTm", shape("TimeStatus"));
    add("NxtStrTm", shape("TimeStatus"));
    add("SchdEnaErr", shape("ENS"));
    add("EnaReq", request);
    add("DsaReq", request);
    add("SchdPrio", shape("ING"));
    add("NumEntr", shape("ING"));
    add("SchdIntv", shape("ING_Units"));
    for (int i = 1; i <= kind.valueCount; ++i) add(intern("ValASG" + format(3, i)), shape("ASG"));
    const Shape& start = shape(kind.startForm == S::TimeOnly ? "TSG_Tm" : "TSG");
    for (int i = 1; i <= kind.startTimeCount; ++i) add(intern("StrTm" + format(2, i)), start);
    add("SchdReuse", shape("SPG"));
    if (kind.trigger) {
        add("EvTrg", shape("SPG"));
        add("InSyn", shape("ORG"));
    }
    return node;
}

DeviceDesc describe(std::span<const NodeRow> rows) {
    DeviceDesc device;
    for (const NodeRow& row : rows) {
        NodeDesc node;
        node.name = row.name;
        for (const ObjectRow& object : row.objects) node.objects.push_back({object.name, &shape(object.shape)});
        device.nodes.push_back(std::move(node));
    }
    return device;
}

DeviceDesc describeCls() {
    DeviceDesc device = describe(kClsNodes);
    NodeDesc& controller = device.nodes.back();
    for (int i = 1; i <= kScheduleCount; ++i) controller.objects.push_back({intern("Schd" + format(3, i)), &shape("ORG")});
    for (const ScheduleKind& kind : kScheduleKinds) {
        for (size_t i = 0; i < kind.instances.size(); ++i) device.nodes.push_back(scheduleNode(kind, static_cast<int>(i)));
    }
    return device;
}

// --- Initial values outside the rules ------------------------------------------------

constexpr ExplicitValue kStbValues[] = {
    {"LLN0", "NamPlt", "vendor", nullptr, textValue("de.vde.fnn.stb.admin")},
    {"LLN0", "NamPlt", "swRev", nullptr, textValue("1.0.0")},
    {"LLN0", "NamPlt", "d", nullptr, textValue("Admin-Modell f\xc3\xbcr die Steuerbox nach LH V1.2 vom 2020-xx-xx.")},
    {"LLN0", "NamPlt", "configRev", nullptr, textValue("1.2.0")},
    {"LLN0", "Health", "stVal", nullptr, intValue(1)},
    {"LLN0", "Mod", "stVal", nullptr, intValue(1)},
    {"LPHD", "PhyNam", "vendor", nullptr, textValue("Tavelmarck CLS")},
    {"LPHD", "PhyNam", "hwRev", nullptr, textValue("1.0")},
    {"LPHD", "PhyNam", "swRev", nullptr, textValue("1.1")},
    {"LPHD", "PhyNam", "serNum", nullptr, textValue("13377331")},
    {"LPHD", "PhyNam", "model", nullptr, textValue("CLS Box")},
    {"LPHD", "PhyNam", "mRID", nullptr, textValue("123456789")},
    {"LPHD", "Proxy", "stVal", nullptr, boolValue(false)},
};

constexpr ExplicitValue kClsValues[] = {
    {"LLN0", "NamPlt", "vendor", nullptr, textValue("de.vde.fnn.stb.cls")},
    {"LLN0", "NamPlt", "swRev", nullptr, textValue("1.0.0")},
    {"LLN0", "NamPlt", "d", nullptr,
     textValue("Steuerboxmodell f\xc3\xbcr Wirkleistungsvorgabe nach LH V1.2 vom 2020-xx.")},
    {"LLN0", "NamPlt", "configRev", nullptr, textValue("1.2.0")},
    {"LLN0", "GrRef", "setSrcRef", nullptr, textValue("@CLG")},
    {"MMXU001", "TotW", "db", nullptr, unsignedValue(1000)},
    {"MMXU001", "TotW", "dbRef", nullptr, floatValue(100.0f)},
    {"MMXU001", "TotW", "d", nullptr, textValue("Wirkleistungswert")},
    {"FailSafe_GGIO001", "FailDurSet", "minVal", "f", floatValue(0.0f)},
    {"FailSafe_GGIO001", "FailDurSet", "maxVal", "f", floatValue(86400.0f)},
};

constexpr NameRule kNameRules[] = {
    {nullptr, "ldNs", nullptr, textValue(kLogicalDeviceNamespace)},
    {nullptr, "lnNs", nullptr, textValue(kExtensionNamespace)},
    {nullptr, "dataNs", nullptr, textValue(kExtensionNamespace)},
    {nullptr, "setCal", "occType", intValue(5)},
    {"Loc", "stVal", nullptr, boolValue(true)},
    {"SwTyp", "stVal", nullptr, intValue(1)},
    {"SchdEnaErr", "stVal", nullptr, intValue(1)},
    {"EvTrg", "setVal", nullptr, boolValue(true)},
};

constexpr std::string_view kDurationObjects[] = {"SchdIntv", "FailDurSet", "FailDurGet", "TmOfs"};
constexpr std::string_view kDefaultBehaviourNodes[] = {"FailSafe_GGIO001", "DERRtg_GGIO001"};

// --- Data sets ------------------------------------------------------------------------

constexpr MemberDesc kStbDataSet01[] = {
    {"LPHD", ST, "PwrSupAlm"},         {"LPHD", ST, "PhyHealth"},          {"LCMS1", ST, "VndCerExpNr1"},
    {"LCMS1", ST, "VndCerExpNr2"},     {"LCMS1", ST, "OpCerExpNr1"},       {"LCMS1", ST, "OpCerExpNr2"},
    {"LCMS1", ST, "DevCerExpNr1"},     {"LCMS1", ST, "DevCerCrt1"},        {"LCMS1", ST, "DevCerExpNr2"},
    {"LCMS1", ST, "DevCerCrt2"},       {"LDMS1", ST, "UpdSt"},             {"LDMS1", ST, "UpdErrCode"},
    {"LDMS1", ST, "UpdErrMsg"},        {"CommFail_GGIO1", ST, "Ind1"},     {"CommFail_GGIO1", ST, "Ind2"},
    {"LTMS1", ST, "TmSyn"},            {"LTMS1", ST, "TmSyc"},             {"LTMS1", ST, "TmOfs"},
    {"LTMS1", ST, "TmUpd"},            {"Test_GGIO1", ST, "Ind1"},         {"Test_GGIO1", ST, "Ind2"},
    {"Test_GGIO1", ST, "SPCSO1"},      {"Manip_GGIO1", ST, "Ind1"},        {"Manip_GGIO1", ST, "SPCSO1"},
    {"LPHD", ST, "WrmStr"},            {"LPHD", ST, "NumPwrUp"},
};

constexpr MemberDesc kStbDataSet02[] = {
    {"S1_XSWI1", ST, "Pos"}, {"S2_XSWI1", ST, "Pos"}, {"W3_XSWI1", ST, "Pos"}, {"W4_XSWI1", ST, "Pos"}};

constexpr MemberDesc kClsDataSetHead[] = {{"ActPow_FSCC001", MX, "ValMV"}, {"ActPow_FSCC001", ST, "ActSchdRef"}};
constexpr MemberDesc kClsDataSetTail[] = {
    {"MMXU001", MX, "TotW"},         {"ActPow_GGIO001", MX, "AnOut1"},     {"ActPow_GGIO001", MX, "AnIn1"},
    {"ActPow_GGIO001", ST, "EEHealth"}, {"ActPow_GGIO001", ST, "Ind1"},    {"ActPow_GGIO001", ST, "Ind2"},
    {"FailSafe_GGIO001", MX, "FailDurGet"}, {"FailSafe_GGIO001", MX, "FailPGnGet"},
    {"FailSafe_GGIO001", MX, "FailPLodGet"},
};

}  // namespace

const char* intern(std::string_view name) {
    static NoDestroy<std::unordered_set<std::string>> names;
    return names.value.emplace(name).first->c_str();
}

const DeviceDesc& stbDevice() {
    static NoDestroy<DeviceDesc> device(describe(kStbNodes));
    return device.value;
}

const DeviceDesc& clsDevice() {
    static NoDestroy<DeviceDesc> device(describeCls());
    return device.value;
}

std::span<const ScheduleKind> scheduleKinds() { return kScheduleKinds; }

const std::vector<const char*>& scheduleNodeNames() {
    static NoDestroy<std::vector<const char*>> names([] {
        std::vector<const char*> list;
        for (const NodeDesc& node : clsDevice().nodes) {
            if (node.schedule != nullptr) list.push_back(node.name);
        }
        return list;
    }());
    return names.value;
}

std::span<const ExplicitValue> stbExplicitValues() { return kStbValues; }
std::span<const ExplicitValue> clsExplicitValues() { return kClsValues; }
std::span<const NameRule> nameRules() { return kNameRules; }

bool hasDurationUnits(std::string_view object) {
    for (std::string_view name : kDurationObjects) {
        if (name == object) return true;
    }
    return false;
}

bool keepsDefaultBehaviour(std::string_view node) {
    for (std::string_view name : kDefaultBehaviourNodes) {
        if (name == node) return true;
    }
    return false;
}

std::span<const MemberDesc> stbDataSet01() { return kStbDataSet01; }
std::span<const MemberDesc> stbDataSet02() { return kStbDataSet02; }

std::vector<MemberDesc> clsDataSet01() {
    std::vector<MemberDesc> members(std::begin(kClsDataSetHead), std::end(kClsDataSetHead));
    for (const char* node : scheduleNodeNames()) members.push_back({node, ST, "SchdSt"});
    for (const char* node : scheduleNodeNames()) members.push_back({node, ST, "SchdEnaErr"});
    members.insert(members.end(), std::begin(kClsDataSetTail), std::end(kClsDataSetTail));
    return members;
}

}  // namespace model
