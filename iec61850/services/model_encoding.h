#pragma once
// MMS type descriptions and values of model nodes seen under one functional
// constraint, and the type check and application of client writes.

#include "iec61850/iec61850_server.h"
#include "iec61850/mms/ber.h"

namespace services {

// Type description of a DO or DA under fc (structures in model order).
void writeTypeSpec(ber::Writer& w, const ModelNode* node, FunctionalConstraint fc);
// Data of a DO or DA under fc, from the server's value cache. Call with the
// data-model lock held so that the value is consistent.
void writeNodeValue(ber::Writer& w, IedServer server, const ModelNode* node, FunctionalConstraint fc);

// Checks a client value against the node's type: type-inconsistent for a
// wrong type or shape, object-value-invalid for a value out of the type's
// range (string too long, integer too large). DATA_ACCESS_ERROR_SUCCESS when
// it fits.
MmsDataAccessError checkNodeValue(const ModelNode* node, FunctionalConstraint fc, const MmsValue* value);
// Writes a checked value into the node's attributes through the updaters.
void applyNodeValue(IedServer server, ModelNode* node, FunctionalConstraint fc, const MmsValue* value);

// Octets of a primitive element with a one-octet tag and contentSize octets
// of content (definite length in its shortest form).
size_t primitiveSize(size_t contentSize);

// Type descriptions used by control blocks.
void writeBooleanType(ber::Writer& w);
void writeUnsignedType(ber::Writer& w, int bits);
void writeBitStringType(ber::Writer& w, int bits);
void writeVisibleStringType(ber::Writer& w, int maxSize);
void writeOctetStringType(ber::Writer& w, int maxSize);
void writeBinaryTimeType(ber::Writer& w);
// Bracket of a structure type: structure [2] { components [1] { ... } }.
struct StructureTypeMarker {
    size_t structure;
    size_t components;
};
StructureTypeMarker beginStructureType(ber::Writer& w);
void endStructureType(ber::Writer& w, StructureTypeMarker marker);
// One component: SEQUENCE { componentName [0], componentType [1] { type } };
// write the type between begin and end.
StructureTypeMarker beginComponent(ber::Writer& w, const char* name);
void endComponent(ber::Writer& w, StructureTypeMarker marker);
// A structure type with one component per name; fieldType writes each type.
void writeFieldTableType(ber::Writer& w, const char* const* names, int count, void (*fieldType)(ber::Writer&, int));

}  // namespace services
