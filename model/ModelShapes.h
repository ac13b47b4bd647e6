#pragma once
// The attribute shapes every data object of the model is built from: an
// ordered list of attributes with FC, basic type and sub-attributes. Shapes
// are named after the common data class whose attributes they use; a suffix
// names a variant (SPC_Status: SPC without "Oper").

#include <cstdint>
#include <span>
#include <string_view>

#include "iec61850/iec61850_model.h"

namespace model {

struct AttrSpec {
    const char* name;
    FunctionalConstraint fc;  // sub-attributes take their parent's FC
    DataAttributeType type;
    std::span<const AttrSpec> children;
    bool silent = false;      // no trigger option, whatever the rule says
};

struct Shape {
    const char* name;
    std::span<const AttrSpec> attributes;
};

// The 30 shapes.
std::span<const Shape> allShapes();
// Null for an unknown name.
const Shape* findShape(std::string_view name);
// Whether a data object of this shape is controllable (has "Oper").
bool isControllable(const Shape& shape);

// The trigger option of a top-level attribute by the model's rule; its
// sub-attributes carry the same.
uint8_t triggerOptionsFor(const AttrSpec& attr);

}  // namespace model
