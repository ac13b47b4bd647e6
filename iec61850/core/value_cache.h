#pragma once
// The server's value cache: one value per data attribute outside FC CO,
// grouped as MMS clients see them. For every logical node and functional
// constraint there is one structure ("LN$FC") whose elements are the data
// objects that have attributes of that FC ("LN$FC$DO"), whose elements are
// those attributes in model order; a constructed attribute is a structure of
// its sub-attributes. Each attribute's mmsValue points at its element, so a
// value has exactly one storage and every level shares it.

#include <memory>
#include <vector>

#include "iec61850/core/mms_value_arena.h"
#include "iec61850/iec61850_model.h"
#include "iec61850/mms_value.h"

class ValueCache {
public:
    // Builds the structures with the default of every basic type and points
    // every attribute outside FC CO at its entry. An initial value that an
    // attribute holds in mmsValue (put there by the model's initialiser) is
    // copied in when its type fits, and freed either way. Attributes of FC CO
    // end with no value. Then binds the data-set entries to the cache.
    explicit ValueCache(IedModel* model);
    // Clears the model's pointers into the cache (attributes, data-set entries).
    ~ValueCache();
    ValueCache(const ValueCache&) = delete;
    ValueCache& operator=(const ValueCache&) = delete;

    // "LN$FC" and "LN$FC$DO" structures; null when the node has no attribute
    // of that FC (and always for FC CO).
    MmsValue* valueOf(const LogicalNode* node, FunctionalConstraint fc) const;
    MmsValue* valueOf(const DataObject* object, FunctionalConstraint fc) const;

    // The default value of a basic type, as the cache creates it.
    static MmsValue* newDefaultValue(DataAttributeType type);

private:
    struct IndexEntry {
        const ModelNode* node;
        FunctionalConstraint fc;
        MmsValue* value;
    };

    void build();
    void bindDataSets();
    MmsValue* find(const ModelNode* node, FunctionalConstraint fc) const;

    IedModel* model_;
    MmsValueArena arena_;                                          // storage of every entry; outlives roots_
    std::vector<MmsValuePtr> roots_;                               // the "LN$FC" structures
    std::vector<IndexEntry> index_;                               // sorted by node, then FC
};
