#pragma once
// MMS named variables of the model: how an item id ("LN", "LN$FC",
// "LN$FC$DO$DA...") maps onto the tree and the control blocks, and the
// sorted name list of a domain that GetNameList pages through.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "iec61850/iec61850_model.h"
#include "iec61850/services/model_index.h"

namespace services {

enum class RefKind {
    LogicalNode,       // "LN": every FC of the node
    FcGroup,           // "LN$FC"
    Element,           // "LN$FC$DO[$DA...]": a data object or attribute under one FC
    ControlBlock,      // "LN$RP$name", "LN$LG$name"
    ControlBlockField  // "LN$RP$name$RptEna", ...
};

struct VariableRef {
    RefKind kind = RefKind::LogicalNode;
    LogicalDevice* device = nullptr;
    LogicalNode* node = nullptr;
    FunctionalConstraint fc = IEC61850_FC_NONE;
    ModelNode* element = nullptr;  // Element: the DO or DA
    int rcb = -1;                  // index into ModelIndex::rcbs() (FC RP)
    int lcb = -1;                  // index into ModelIndex::lcbs() (FC LG)
    int field = -1;                // ControlBlockField: index into the block's field table
};

// Fields of an unbuffered report control block and of a log control block,
// in the order of their MMS structures.
enum RcbField {
    RCB_RPT_ID, RCB_RPT_ENA, RCB_RESV, RCB_DAT_SET, RCB_CONF_REV, RCB_OPT_FLDS,
    RCB_BUF_TM, RCB_SQ_NUM, RCB_TRG_OPS, RCB_INTG_PD, RCB_GI, RCB_FIELD_COUNT
};
enum LcbField {
    LCB_LOG_ENA, LCB_LOG_REF, LCB_DAT_SET, LCB_OLD_ENTR_TM, LCB_NEW_ENTR_TM, LCB_OLD_ENTR,
    LCB_NEW_ENTR, LCB_TRG_OPS, LCB_INTG_PD, LCB_FIELD_COUNT
};
extern const char* const kRcbFieldNames[RCB_FIELD_COUNT];
extern const char* const kLcbFieldNames[LCB_FIELD_COUNT];

// Order of the FC components of a logical node read or described as a whole.
extern const FunctionalConstraint kLogicalNodeFcOrder[];
extern const size_t kLogicalNodeFcCount;

// True when node (a DO or DA) has an attribute of functional constraint fc
// at or below it.
bool hasFc(const ModelNode* node, FunctionalConstraint fc);
// Children of node visible under fc, in model order (a DO's children filtered
// by fc; an attribute's sub-attributes unfiltered).
std::vector<ModelNode*> childrenUnderFc(const ModelNode* node, FunctionalConstraint fc);
// FCs present in a logical node (control blocks included), in kLogicalNodeFcOrder.
std::vector<FunctionalConstraint> fcsOfNode(const ModelIndex& index, const LogicalNode* node);

std::optional<VariableRef> resolveVariable(const ModelIndex& index, LogicalDevice* device,
                                           std::string_view itemId);

// Comparison of MMS names as clients list them: component by component
// ('$'-separated), each compared without regard to case.
bool mmsNameLess(std::string_view a, std::string_view b);

// Every named variable of a domain, sorted by mmsNameLess.
std::vector<std::string> namedVariablesOf(const ModelIndex& index, const LogicalDevice* device);

}  // namespace services
