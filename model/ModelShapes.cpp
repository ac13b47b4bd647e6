// The 30 attribute shapes and the trigger-option rule.
#include "model/ModelShapes.h"

#include <cstring>

namespace model {
namespace {

constexpr auto ST = IEC61850_FC_ST;
constexpr auto MX = IEC61850_FC_MX;
constexpr auto SP = IEC61850_FC_SP;
constexpr auto CF = IEC61850_FC_CF;
constexpr auto DC = IEC61850_FC_DC;
constexpr auto EX = IEC61850_FC_EX;
constexpr auto CO = IEC61850_FC_CO;

constexpr auto BOOL = IEC61850_BOOLEAN;
constexpr auto U8 = IEC61850_INT8U;
constexpr auto U16 = IEC61850_INT16U;
constexpr auto I32 = IEC61850_INT32;
constexpr auto U32 = IEC61850_INT32U;
constexpr auto F32 = IEC61850_FLOAT32;
constexpr auto ENUM = IEC61850_ENUMERATED;
constexpr auto CODED = IEC61850_CODEDENUM;
constexpr auto OCT64 = IEC61850_OCTET_STRING_64;
constexpr auto VS129 = IEC61850_VISIBLE_STRING_129;
constexpr auto VS255 = IEC61850_VISIBLE_STRING_255;
constexpr auto QUAL = IEC61850_QUALITY;
constexpr auto TIME = IEC61850_TIMESTAMP;
constexpr auto CHECK = IEC61850_CHECK;
constexpr auto STRUCT = IEC61850_CONSTRUCTED;

// Structures used inside the shapes (FC is taken from the parent).
constexpr AttrSpec kOrigin[] = {{"orCat", CO, ENUM, {}}, {"orIdent", CO, OCT64, {}}};
constexpr AttrSpec kUnits[] = {{"SIUnit", CF, ENUM, {}}, {"multiplier", CF, ENUM, {}}};
constexpr AttrSpec kAnalogue[] = {{"f", MX, F32, {}}};
constexpr AttrSpec kCalendar[] = {
    {"occ", SP, U16, {}},     {"occType", SP, ENUM, {}}, {"occPer", SP, ENUM, {}}, {"weekDay", SP, ENUM, {}},
    {"month", SP, ENUM, {}},  {"day", SP, U8, {}},       {"hr", SP, U8, {}},       {"mn", SP, U8, {}},
};

// "Oper" structures by the type of "ctlVal".
constexpr AttrSpec kOperBoolean[] = {
    {"ctlVal", CO, BOOL, {}}, {"origin", CO, STRUCT, kOrigin}, {"ctlNum", CO, U8, {}},
    {"T", CO, TIME, {}},      {"Test", CO, BOOL, {}},          {"Check", CO, CHECK, {}},
};
constexpr AttrSpec kOperBooleanTimed[] = {
    {"ctlVal", CO, BOOL, {}}, {"operTm", CO, TIME, {}}, {"origin", CO, STRUCT, kOrigin}, {"ctlNum", CO, U8, {}},
    {"T", CO, TIME, {}},      {"Test", CO, BOOL, {}},   {"Check", CO, CHECK, {}},
};
constexpr AttrSpec kOperEnum[] = {
    {"ctlVal", CO, ENUM, {}}, {"origin", CO, STRUCT, kOrigin}, {"ctlNum", CO, U8, {}},
    {"T", CO, TIME, {}},      {"Test", CO, BOOL, {}},          {"Check", CO, CHECK, {}},
};
constexpr AttrSpec kOperAnalogue[] = {
    {"ctlVal", CO, STRUCT, kAnalogue}, {"origin", CO, STRUCT, kOrigin}, {"ctlNum", CO, U8, {}},
    {"T", CO, TIME, {}},               {"Test", CO, BOOL, {}},          {"Check", CO, CHECK, {}},
};

constexpr AttrSpec kSPS[] = {{"stVal", ST, BOOL, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}};
constexpr AttrSpec kINS[] = {{"stVal", ST, I32, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}};
constexpr AttrSpec kINS_Units[] = {
    {"stVal", ST, I32, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}, {"units", CF, STRUCT, kUnits, true}};
constexpr AttrSpec kENS[] = {{"stVal", ST, ENUM, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}};
constexpr AttrSpec kVSS[] = {{"stVal", ST, VS255, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}};
constexpr AttrSpec kVSS_Ns[] = {
    {"stVal", ST, VS255, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}, {"dataNs", EX, VS255, {}}};
constexpr AttrSpec kTimeStatus[] = {{"stVal", ST, TIME, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}};
constexpr AttrSpec kRefStatus[] = {{"stVal", ST, VS129, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}};
constexpr AttrSpec kMV[] = {
    {"mag", MX, STRUCT, kAnalogue}, {"q", MX, QUAL, {}}, {"t", MX, TIME, {}}, {"units", CF, STRUCT, kUnits}};
constexpr AttrSpec kMV_Db[] = {
    {"mag", MX, STRUCT, kAnalogue}, {"q", MX, QUAL, {}},    {"t", MX, TIME, {}},   {"units", CF, STRUCT, kUnits},
    {"db", CF, U32, {}},            {"dbRef", CF, F32, {}}, {"d", DC, VS255, {}},
};

constexpr AttrSpec kSPC[] = {
    {"origin", ST, STRUCT, kOrigin}, {"ctlNum", ST, U8, {}},     {"stVal", ST, BOOL, {}},
    {"q", ST, QUAL, {}},             {"t", ST, TIME, {}},        {"ctlModel", CF, ENUM, {}},
    {"Oper", CO, STRUCT, kOperBoolean},
};
constexpr AttrSpec kSPC_OperTm[] = {
    {"stVal", ST, BOOL, {}},     {"q", ST, QUAL, {}}, {"t", ST, TIME, {}},
    {"ctlModel", CF, ENUM, {}},  {"Oper", CO, STRUCT, kOperBooleanTimed},
};
constexpr AttrSpec kSPC_Status[] = {
    {"stVal", ST, BOOL, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}, {"ctlModel", CF, ENUM, {}}};
constexpr AttrSpec kDPC_Status[] = {
    {"stVal", ST, CODED, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}, {"ctlModel", CF, ENUM, {}}};
constexpr AttrSpec kENC[] = {
    {"stVal", ST, ENUM, {}},    {"q", ST, QUAL, {}}, {"t", ST, TIME, {}},
    {"ctlModel", CF, ENUM, {}}, {"Oper", CO, STRUCT, kOperEnum},
};
constexpr AttrSpec kENC_Status[] = {
    {"stVal", ST, ENUM, {}}, {"q", ST, QUAL, {}}, {"t", ST, TIME, {}}, {"ctlModel", CF, ENUM, {}}};
constexpr AttrSpec kAPC[] = {
    {"mxVal", MX, STRUCT, kAnalogue},   {"q", MX, QUAL, {}},           {"t", MX, TIME, {}},
    {"ctlModel", CF, ENUM, {}},         {"Oper", CO, STRUCT, kOperAnalogue}, {"units", CF, STRUCT, kUnits},
    {"minVal", CF, STRUCT, kAnalogue},  {"maxVal", CF, STRUCT, kAnalogue},
};
constexpr AttrSpec kAPC_Status[] = {
    {"mxVal", MX, STRUCT, kAnalogue}, {"q", MX, QUAL, {}},              {"t", MX, TIME, {}},
    {"ctlModel", CF, ENUM, {}},       {"units", CF, STRUCT, kUnits},    {"minVal", CF, STRUCT, kAnalogue},
    {"maxVal", CF, STRUCT, kAnalogue},
};

constexpr AttrSpec kORG[] = {{"setSrcRef", SP, VS129, {}}};
constexpr AttrSpec kING[] = {{"setVal", SP, I32, {}}};
constexpr AttrSpec kING_Units[] = {{"setVal", SP, I32, {}}, {"units", CF, STRUCT, kUnits}};
constexpr AttrSpec kASG[] = {{"setMag", SP, STRUCT, kAnalogue}, {"units", CF, STRUCT, kUnits}};
constexpr AttrSpec kSPG[] = {{"setVal", SP, BOOL, {}}};
constexpr AttrSpec kTSG[] = {{"setTm", SP, TIME, {}}, {"setCal", SP, STRUCT, kCalendar}};
constexpr AttrSpec kTSG_Tm[] = {{"setTm", SP, TIME, {}}};
constexpr AttrSpec kLPL_LLN0[] = {
    {"vendor", DC, VS255, {}}, {"swRev", DC, VS255, {}},     {"ldNs", EX, VS255, {}},
    {"d", DC, VS255, {}},      {"configRev", DC, VS255, {}},
};
constexpr AttrSpec kLPL_Ext[] = {
    {"vendor", DC, VS255, {}}, {"swRev", DC, VS255, {}}, {"d", DC, VS255, {}}, {"lnNs", EX, VS255, {}}};
constexpr AttrSpec kLPL[] = {{"vendor", DC, VS255, {}}, {"swRev", DC, VS255, {}}, {"d", DC, VS255, {}}};
constexpr AttrSpec kDPL[] = {
    {"vendor", DC, VS255, {}}, {"hwRev", DC, VS255, {}}, {"swRev", DC, VS255, {}},
    {"serNum", DC, VS255, {}}, {"model", DC, VS255, {}}, {"mRID", DC, VS255, {}},
};
constexpr AttrSpec kDPL_EE[] = {
    {"vendor", DC, VS255, {}}, {"model", DC, VS255, {}}, {"mRID", DC, VS255, {}}, {"d", DC, VS255, {}}};

constexpr Shape kShapes[] = {
    {"SPS", kSPS},
    {"INS", kINS},
    {"INS_Units", kINS_Units},
    {"ENS", kENS},
    {"VSS", kVSS},
    {"VSS_Ns", kVSS_Ns},
    {"TimeStatus", kTimeStatus},
    {"RefStatus", kRefStatus},
    {"MV", kMV},
    {"MV_Db", kMV_Db},
    {"SPC", kSPC},
    {"SPC_OperTm", kSPC_OperTm},
    {"SPC_Status", kSPC_Status},
    {"DPC_Status", kDPC_Status},
    {"ENC", kENC},
    {"ENC_Status", kENC_Status},
    {"APC", kAPC},
    {"APC_Status", kAPC_Status},
    {"ORG", kORG},
    {"ING", kING},
    {"ING_Units", kING_Units},
    {"ASG", kASG},
    {"SPG", kSPG},
    {"TSG", kTSG},
    {"TSG_Tm", kTSG_Tm},
    {"LPL_LLN0", kLPL_LLN0},
    {"LPL_Ext", kLPL_Ext},
    {"LPL", kLPL},
    {"DPL", kDPL},
    {"DPL_EE", kDPL_EE},
};

bool named(const AttrSpec& attr, const char* name) { return std::strcmp(attr.name, name) == 0; }

}  // namespace

std::span<const Shape> allShapes() { return kShapes; }

const Shape* findShape(std::string_view name) {
    for (const Shape& shape : kShapes) {
        if (name == shape.name) return &shape;
    }
    return nullptr;
}

bool isControllable(const Shape& shape) {
    for (const AttrSpec& attr : shape.attributes) {
        if (named(attr, "Oper")) return true;
    }
    return false;
}

uint8_t triggerOptionsFor(const AttrSpec& attr) {
    if (attr.silent) return 0;
    switch (attr.fc) {
        case IEC61850_FC_ST:
            if (named(attr, "stVal")) return TRG_OPT_DATA_CHANGED;
            if (named(attr, "q")) return TRG_OPT_QUALITY_CHANGED;
            return 0;  // "t", "origin", "ctlNum"
        case IEC61850_FC_MX:
            if (named(attr, "q")) return TRG_OPT_QUALITY_CHANGED;
            if (named(attr, "mag")) return TRG_OPT_DATA_UPDATE;
            if (named(attr, "mxVal")) return TRG_OPT_DATA_CHANGED;
            return 0;  // "t"
        case IEC61850_FC_CF:
        case IEC61850_FC_SP:
            return TRG_OPT_DATA_CHANGED;
        default:
            return 0;  // DC, EX, CO
    }
}

}  // namespace model
