// MMS variable services over the model, data sets, reports and journals.
#include "iec61850/services/variable_services.h"

#include <algorithm>
#include <cstring>

#include "iec61850/core/value_cache.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/services/model_encoding.h"

namespace services {

namespace {

// ObjectClass numbers of GetNameList.
enum ObjectClass { CLASS_NAMED_VARIABLE = 0, CLASS_NAMED_VARIABLE_LIST = 2, CLASS_JOURNAL = 8, CLASS_DOMAIN = 9 };

// Octets a GetNameList response needs besides its identifiers: PDU, invoke
// id, service, list headers and moreFollows, each with a long length form.
constexpr size_t kNameListOverhead = 25;
// Octets a response needs besides its service content (PDU, invoke id and
// service headers in their long forms).
constexpr size_t kResponseOverhead = 24;
constexpr size_t kLogBinaryTimeSize = 6;
constexpr size_t kEntryIdSize = 8;
constexpr int kObjectReferenceMaxSize = 129;
constexpr int kTrgOpsBits = 6;

ber::Tag seq() { return ber::universal(ber::kUniversalSequence); }
ber::Tag identifier() { return ber::universal(26); }  // VisibleString

void writeFailure(ber::Writer& w, MmsDataAccessError error) { w.writeInteger(ber::context(0), error); }

// The response, or a resource error when it would not fit the negotiated
// PDU size.
MmsServiceResult fittingResponse(const MmsServiceContext& ctx, ber::Writer& w) {
    if (w.size() + kResponseOverhead > ctx.maxPduSize)
        return MmsServiceResult::error(ERROR_CLASS_RESOURCE, RESOURCE_OTHER);
    return MmsServiceResult::response(w.take());
}

bool readIdentifier(const ber::Tlv& tlv, std::string& out) {
    return !tlv.constructed && ber::decodeVisibleString(tlv.content, out);
}

}  // namespace

VariableServices::VariableServices(IedServer server, ReportEngine::Sender sender, ReportEngine::Clock clock)
    : server_(server), index_(server->model), sender_(std::move(sender)), clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return Hal_getTimeInMs(); };
    makeReportEngine();
}

void VariableServices::makeReportEngine() {
    reports_ = std::make_unique<ReportEngine>(server_, index_, sender_, clock_);
    reports_->setWakeUp(wakeUp_);
    reports_->setPduSizeOf(pduSizeOf_);
}

void VariableServices::setPduSizeOf(ReportEngine::PduSizeOf pduSizeOf) {
    pduSizeOf_ = std::move(pduSizeOf);
    reports_->setPduSizeOf(pduSizeOf_);
}

void VariableServices::setWakeUp(std::function<void()> wakeUp) {
    wakeUp_ = std::move(wakeUp);
    reports_->setWakeUp(wakeUp_);
}

void VariableServices::reindex() {
    nameCache_.clear();
    makeReportEngine();
}

bool VariableServices::parseObjectName(const ber::Tlv& tlv, ObjectName& out) {
    if (tlv.cls != ber::TagClass::Context) return false;
    if (tlv.number == 0 || tlv.number == 2) {
        out.scope = tlv.number == 0 ? ObjectName::Scope::Vmd : ObjectName::Scope::Association;
        return readIdentifier(tlv, out.item);
    }
    if (tlv.number != 1 || !tlv.constructed) return false;
    ber::Reader r(tlv.content);
    ber::Tlv domain, item;
    if (!r.next(domain) || !r.next(item) || !r.atEnd()) return false;
    out.scope = ObjectName::Scope::Domain;
    return readIdentifier(domain, out.domain) && readIdentifier(item, out.item);
}

std::optional<VariableRef> VariableServices::resolve(const ObjectName& name) const {
    if (name.scope != ObjectName::Scope::Domain) return std::nullopt;
    return resolveVariable(index_, index_.deviceByDomain(name.domain), name.item);
}

const std::vector<std::string>& VariableServices::domainNames(const LogicalDevice* device) {
    auto found = nameCache_.find(device);
    if (found != nameCache_.end()) return found->second;
    return nameCache_.emplace(device, namedVariablesOf(index_, device)).first->second;
}

// --- GetNameList -------------------------------------------------------------

MmsServiceResult VariableServices::getNameList(const MmsServiceContext& ctx, std::span<const uint8_t> content) {
    ber::Reader r(content);
    ber::Tlv tlv;
    int64_t objectClass = -1;
    bool domainScope = false;
    std::string domain, continueAfter;
    bool haveClass = false, haveScope = false;
    while (r.next(tlv)) {
        if (tlv.is(ber::context(0)) && tlv.constructed) {
            ber::Reader inner = r.enter(tlv);
            ber::Tlv choice;
            if (!inner.next(choice) || !choice.is(ber::context(0)) || !ber::decodeInteger(choice.content, objectClass))
                return MmsServiceResult::reject(kRejectInvalidArgument);
            haveClass = true;
        } else if (tlv.is(ber::context(1)) && tlv.constructed) {
            ber::Reader inner = r.enter(tlv);
            ber::Tlv scope;
            if (!inner.next(scope)) return MmsServiceResult::reject(kRejectInvalidArgument);
            if (scope.is(ber::context(1))) {
                if (!readIdentifier(scope, domain)) return MmsServiceResult::reject(kRejectInvalidArgument);
                domainScope = true;
            }
            haveScope = true;
        } else if (tlv.is(ber::context(2))) {
            if (!readIdentifier(tlv, continueAfter)) return MmsServiceResult::reject(kRejectInvalidArgument);
        }
    }
    if (!r.ok() || !haveClass || !haveScope) return MmsServiceResult::reject(kRejectInvalidArgument);

    std::vector<std::string> local;
    const std::vector<std::string>* names = &local;
    if (!domainScope) {
        if (objectClass == CLASS_DOMAIN) {
            for (ModelNode* ld = index_.model()->firstChild; ld != nullptr; ld = ld->sibling)
                local.push_back(index_.domainName(static_cast<LogicalDevice*>(ld)));
        }
    } else {
        LogicalDevice* device = index_.deviceByDomain(domain);
        if (device == nullptr) return MmsServiceResult::error(ERROR_CLASS_DEFINITION, DEFINITION_OBJECT_UNDEFINED);
        if (objectClass == CLASS_NAMED_VARIABLE) {
            names = &domainNames(device);
        } else if (objectClass == CLASS_NAMED_VARIABLE_LIST) {
            for (const auto& ds : index_.dataSets())
                if (ds.device == device) local.push_back(ds.name);
        } else if (objectClass == CLASS_JOURNAL) {
            for (const auto& log : index_.logs())
                if (log.device == device) local.push_back(std::string(log.node->name) + "$" + log.name);
        }
    }
    if (names == &local)
        std::sort(local.begin(), local.end(), [](const std::string& a, const std::string& b) { return mmsNameLess(a, b); });

    auto first = names->begin();
    if (!continueAfter.empty())
        first = std::upper_bound(names->begin(), names->end(), continueAfter,
                                 [](const std::string& a, const std::string& b) { return mmsNameLess(a, b); });
    size_t budget = ctx.maxPduSize > kNameListOverhead ? ctx.maxPduSize - kNameListOverhead : 0;
    ber::Writer w;
    size_t list = w.begin(ber::context(0));
    size_t used = 0;
    auto it = first;
    for (; it != names->end(); ++it) {
        size_t size = primitiveSize(it->size());
        if (used + size > budget && it != first) break;  // at least one name per page
        w.writeVisibleString(identifier(), *it);
        used += size;
    }
    w.end(list);
    // moreFollows defaults to true and is sent only when false.
    if (it == names->end()) w.writeBoolean(ber::context(1), false);
    return MmsServiceResult::response(w.take());
}

// --- types and values of references --------------------------------------------

void VariableServices::writeFcGroupType(ber::Writer& w, const LogicalNode* node, FunctionalConstraint fc) {
    StructureTypeMarker s = beginStructureType(w);
    if (fc == IEC61850_FC_RP || fc == IEC61850_FC_BR) {
        for (const auto& rcb : index_.rcbs()) {
            if (rcb.node != node || rcb.buffered != (fc == IEC61850_FC_BR)) continue;
            StructureTypeMarker c = beginComponent(w, rcb.name.c_str());
            ReportEngine::writeBlockType(w);
            endComponent(w, c);
        }
    } else if (fc == IEC61850_FC_LG) {
        for (const auto& lcb : index_.lcbs()) {
            if (lcb.node != node) continue;
            StructureTypeMarker c = beginComponent(w, lcb.name.c_str());
            writeLcbType(w);
            endComponent(w, c);
        }
    } else {
        for (const ModelNode* child : childrenUnderFc(node, fc)) {
            StructureTypeMarker c = beginComponent(w, child->name);
            writeTypeSpec(w, child, fc);
            endComponent(w, c);
        }
    }
    endStructureType(w, s);
}

void VariableServices::writeFcGroupValue(ber::Writer& w, const LogicalNode* node, FunctionalConstraint fc) {
    if (fc != IEC61850_FC_RP && fc != IEC61850_FC_BR && fc != IEC61850_FC_LG && server_->cache) {
        const MmsValue* whole = server_->cache->valueOf(node, fc);
        if (whole != nullptr && ber::encodeMmsData(w, whole)) return;
    }
    size_t m = w.begin(ber::context(ber::kDataStructure));
    if (fc == IEC61850_FC_RP || fc == IEC61850_FC_BR) {
        const auto& rcbs = index_.rcbs();
        for (size_t i = 0; i < rcbs.size(); ++i)
            if (rcbs[i].node == node && rcbs[i].buffered == (fc == IEC61850_FC_BR))
                reports_->writeBlockValue(w, static_cast<int>(i));
    } else if (fc == IEC61850_FC_LG) {
        for (const auto& lcb : index_.lcbs()) {
            if (lcb.node == node) writeLcbValue(w, lcb);
        }
    } else {
        for (const ModelNode* child : childrenUnderFc(node, fc)) writeNodeValue(w, server_, child, fc);
    }
    w.end(m);
}

void VariableServices::writeLcbFieldType(ber::Writer& w, int field) {
    switch (field) {
        case LCB_LOG_ENA: writeBooleanType(w); break;
        case LCB_LOG_REF:
        case LCB_DAT_SET: writeVisibleStringType(w, kObjectReferenceMaxSize); break;
        case LCB_OLD_ENTR_TM:
        case LCB_NEW_ENTR_TM: writeBinaryTimeType(w); break;
        case LCB_OLD_ENTR:
        case LCB_NEW_ENTR: w.writeInteger(ber::context(9), static_cast<int64_t>(kEntryIdSize)); break;
        case LCB_TRG_OPS: writeBitStringType(w, kTrgOpsBits); break;
        case LCB_INTG_PD: writeUnsignedType(w, 32); break;
        default: break;
    }
}

void VariableServices::writeLcbType(ber::Writer& w) {
    writeFieldTableType(w, kLcbFieldNames, LCB_FIELD_COUNT, &VariableServices::writeLcbFieldType);
}

void VariableServices::writeLcbValue(ber::Writer& w, const LcbInfo& lcb) {
    size_t s = w.begin(ber::context(ber::kDataStructure));
    for (int f = 0; f < LCB_FIELD_COUNT; ++f) writeLcbField(w, lcb, f);
    w.end(s);
}

void VariableServices::writeLcbField(ber::Writer& w, const LcbInfo& lcb, int field) {
    static const uint8_t zeros[kEntryIdSize] = {};
    switch (field) {
        case LCB_LOG_ENA: w.writeBoolean(ber::context(ber::kDataBoolean), lcb.logEna); break;
        case LCB_LOG_REF: w.writeVisibleString(ber::context(ber::kDataVisibleString), lcb.logRef); break;
        case LCB_DAT_SET: w.writeVisibleString(ber::context(ber::kDataVisibleString), lcb.dataSetRef); break;
        // No log storage is attached: the entry times and ids stay zero.
        case LCB_OLD_ENTR_TM:
        case LCB_NEW_ENTR_TM:
            w.writePrimitive(ber::context(ber::kDataBinaryTime), std::span<const uint8_t>(zeros, kLogBinaryTimeSize));
            break;
        case LCB_OLD_ENTR:
        case LCB_NEW_ENTR: w.writeOctetString(ber::context(ber::kDataOctetString), zeros); break;
        case LCB_TRG_OPS: {
            uint8_t bits = 0;
            for (int n = 0; n < 5; ++n)
                if (lcb.trgOps & (1u << n)) bits |= static_cast<uint8_t>(0x80u >> (n + 1));
            w.writeBitString(ber::context(ber::kDataBitString), std::span<const uint8_t>(&bits, 1), kTrgOpsBits);
            break;
        }
        case LCB_INTG_PD: w.writeUnsigned(ber::context(ber::kDataUnsigned), lcb.intgPd); break;
        default: break;
    }
}

void VariableServices::writeRefType(ber::Writer& w, const VariableRef& ref) {
    switch (ref.kind) {
        case RefKind::LogicalNode: {
            StructureTypeMarker s = beginStructureType(w);
            for (FunctionalConstraint fc : fcsOfNode(index_, ref.node)) {
                StructureTypeMarker c = beginComponent(w, FunctionalConstraint_toString(fc));
                writeFcGroupType(w, ref.node, fc);
                endComponent(w, c);
            }
            endStructureType(w, s);
            break;
        }
        case RefKind::FcGroup: writeFcGroupType(w, ref.node, ref.fc); break;
        case RefKind::Element: writeTypeSpec(w, ref.element, ref.fc); break;
        case RefKind::ControlBlock:
            if (ref.rcb >= 0) {
                ReportEngine::writeBlockType(w);
            } else {
                writeLcbType(w);
            }
            break;
        case RefKind::ControlBlockField:
            if (ref.rcb >= 0)
                ReportEngine::writeFieldType(w, ref.field);
            else
                writeLcbFieldType(w, ref.field);
            break;
    }
}

void VariableServices::writeRefValue(ber::Writer& w, const VariableRef& ref) {
    switch (ref.kind) {
        case RefKind::LogicalNode: {
            size_t m = w.begin(ber::context(ber::kDataStructure));
            for (FunctionalConstraint fc : fcsOfNode(index_, ref.node)) writeFcGroupValue(w, ref.node, fc);
            w.end(m);
            break;
        }
        case RefKind::FcGroup: writeFcGroupValue(w, ref.node, ref.fc); break;
        case RefKind::Element: writeNodeValue(w, server_, ref.element, ref.fc); break;
        case RefKind::ControlBlock:
            if (ref.rcb >= 0) {
                reports_->writeBlockValue(w, ref.rcb);
            } else {
                writeLcbValue(w, index_.lcbs()[ref.lcb]);
            }
            break;
        case RefKind::ControlBlockField:
            if (ref.rcb >= 0)
                reports_->writeFieldValue(w, ref.rcb, ref.field);
            else
                writeLcbField(w, index_.lcbs()[ref.lcb], ref.field);
            break;
    }
}

// --- GetVariableAccessAttributes -------------------------------------------------

MmsServiceResult VariableServices::getVariableAccessAttributes(const MmsServiceContext& ctx,
                                                               std::span<const uint8_t> content) {
    ber::Tlv choice, nameTlv;
    ObjectName name;
    if (!ber::decodeSingle(content, choice) || !choice.is(ber::context(0)) || !choice.constructed)
        return MmsServiceResult::reject(kRejectInvalidArgument);
    ber::Reader inner = ber::Reader(content).enter(choice);
    if (!inner.next(nameTlv) || !parseObjectName(nameTlv, name))
        return MmsServiceResult::reject(kRejectInvalidArgument);
    std::optional<VariableRef> ref = resolve(name);
    if (!ref) return MmsServiceResult::error(ERROR_CLASS_DEFINITION, DEFINITION_OBJECT_UNDEFINED);
    ber::Writer w;
    w.writeBoolean(ber::context(0), false);  // mmsDeletable
    size_t type = w.begin(ber::context(2));
    writeRefType(w, *ref);
    w.end(type);
    return fittingResponse(ctx, w);
}

// --- Read ----------------------------------------------------------------------

MmsServiceResult VariableServices::read(const MmsServiceContext& ctx, std::span<const uint8_t> content) {
    ber::Reader r(content);
    ber::Tlv tlv, spec;
    bool withResult = false, haveSpec = false;
    while (r.next(tlv)) {
        if (tlv.is(ber::context(0)) && !tlv.constructed) {
            if (!ber::decodeBoolean(tlv.content, withResult)) return MmsServiceResult::reject(kRejectInvalidArgument);
        } else if (tlv.is(ber::context(1)) && tlv.constructed) {
            spec = tlv;
            haveSpec = true;
        }
    }
    if (!r.ok() || !haveSpec) return MmsServiceResult::reject(kRejectInvalidArgument);
    ber::Reader specReader = ber::Reader(content).enter(spec);
    ber::Tlv access;
    if (!specReader.next(access) || !access.constructed) return MmsServiceResult::reject(kRejectInvalidArgument);

    ber::Writer w;
    if (withResult) {
        size_t echo = w.begin(ber::context(0));
        w.writeConstructed(ber::context(access.number), access.content);
        w.end(echo);
    }
    size_t results = w.begin(ber::context(1));
    DataModelLock lock(server_);
    if (access.is(ber::context(0))) {
        ber::Reader list = specReader.enter(access);
        ber::Tlv item;
        while (list.next(item)) {
            ber::Reader itemReader = list.enter(item);
            ber::Tlv varSpec, alternate, nameTlv;
            ObjectName name;
            if (!item.constructed || !itemReader.next(varSpec) || !varSpec.is(ber::context(0)) || !varSpec.constructed)
                return MmsServiceResult::reject(kRejectInvalidArgument);
            ber::Reader nameReader = itemReader.enter(varSpec);
            if (!nameReader.next(nameTlv) || !parseObjectName(nameTlv, name))
                return MmsServiceResult::reject(kRejectInvalidArgument);
            if (itemReader.next(alternate)) {
                writeFailure(w, DATA_ACCESS_ERROR_OBJECT_ACCESS_UNSUPPORTED);  // no alternate access
                continue;
            }
            std::optional<VariableRef> ref = resolve(name);
            if (!ref) {
                writeFailure(w, DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT);
                continue;
            }
            writeRefValue(w, *ref);
        }
        if (!list.ok()) return MmsServiceResult::reject(kRejectInvalidArgument);
    } else if (access.is(ber::context(1))) {
        ber::Tlv nameTlv;
        ObjectName name;
        ber::Reader nameReader = specReader.enter(access);
        if (!nameReader.next(nameTlv) || !parseObjectName(nameTlv, name))
            return MmsServiceResult::reject(kRejectInvalidArgument);
        LogicalDevice* device = name.scope == ObjectName::Scope::Domain ? index_.deviceByDomain(name.domain) : nullptr;
        const DataSetInfo* ds = device != nullptr ? index_.findDataSet(device, name.item) : nullptr;
        if (ds == nullptr) return MmsServiceResult::error(ERROR_CLASS_ACCESS, ACCESS_OBJECT_NON_EXISTENT);
        for (const DataSetMember& m : ds->members) writeNodeValue(w, server_, m.object, m.fc);
    } else {
        return MmsServiceResult::reject(kRejectInvalidArgument);
    }
    w.end(results);
    return fittingResponse(ctx, w);
}

// --- Write and operate -----------------------------------------------------------

MmsDataAccessError VariableServices::operate(const VariableRef& ref, const MmsValue* value) {
    ModelNode* object = ref.element->parent;
    MmsDataAccessError check = checkNodeValue(ref.element, ref.fc, value);
    if (check != DATA_ACCESS_ERROR_SUCCESS) return check;
    ModelNode* ctlModel = ModelNode_getChild(object, "ctlModel");
    if (ctlModel != nullptr && ctlModel->modelType == DataAttributeModelType &&
        IedServer_getInt32AttributeValue(server_, static_cast<DataAttribute*>(ctlModel)) == 0)
        return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;  // status only
    auto binding = server_->controlHandlers.find(static_cast<const DataObject*>(object));
    if (binding == server_->controlHandlers.end() || binding->second.handler == nullptr)
        return DATA_ACCESS_ERROR_SUCCESS;  // accepted, nothing reacts
    PendingControl pending;
    pending.binding = binding->second;
    std::vector<ModelNode*> members = childrenUnderFc(ref.element, ref.fc);
    for (size_t i = 0; i < members.size(); ++i) {
        const MmsValue* element = MmsValue_getElement(value, static_cast<int>(i));
        if (std::strcmp(members[i]->name, "ctlVal") == 0) pending.ctlVal.reset(MmsValue_clone(element));
        if (std::strcmp(members[i]->name, "Test") == 0) pending.test = MmsValue_getBoolean(element);
    }
    if (!pending.ctlVal) return DATA_ACCESS_ERROR_OBJECT_ATTRIBUTE_INCONSISTENT;
    pendingControls_.push_back(std::move(pending));
    return DATA_ACCESS_ERROR_SUCCESS;
}

MmsDataAccessError VariableServices::writeVariable(sMmsServerConnection* connection, const ObjectName& name,
                                                   const MmsValue* value) {
    std::optional<VariableRef> ref = resolve(name);
    if (!ref) return DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT;
    if (ref->kind == RefKind::ControlBlockField) {
        if (ref->rcb < 0) return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;  // log control blocks are fixed
        return reports_->writeField(connection, ref->rcb, ref->field, value);
    }
    if (ref->kind != RefKind::Element) return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
    switch (ref->fc) {
        case IEC61850_FC_SP:
            if (server_->writePolicySP != ACCESS_POLICY_ALLOW) return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
            break;
        case IEC61850_FC_CF:
            if (server_->writePolicyCF != ACCESS_POLICY_ALLOW) return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
            break;
        case IEC61850_FC_CO:
            if (std::strcmp(ref->element->name, "Oper") == 0 && ref->element->parent->modelType == DataObjectModelType)
                return operate(*ref, value);
            return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
        default: return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
    }
    MmsDataAccessError check = checkNodeValue(ref->element, ref->fc, value);
    if (check != DATA_ACCESS_ERROR_SUCCESS) return check;
    DataModelLock lock(server_);
    applyNodeValue(server_, ref->element, ref->fc, value);
    return DATA_ACCESS_ERROR_SUCCESS;
}

MmsServiceResult VariableServices::write(const MmsServiceContext& ctx, std::span<const uint8_t> content) {
    ber::Reader r(content);
    ber::Tlv spec, data;
    if (!r.next(spec) || !r.next(data) || !spec.constructed || !data.is(ber::context(0)) || !data.constructed)
        return MmsServiceResult::reject(kRejectInvalidArgument);

    std::vector<ObjectName> names;
    size_t listLength = 0;
    bool isList = false;
    if (spec.is(ber::context(0))) {
        ber::Reader list = r.enter(spec);
        ber::Tlv item;
        while (list.next(item)) {
            ber::Reader itemReader = list.enter(item);
            ber::Tlv varSpec, nameTlv;
            ObjectName name;
            if (!item.constructed || !itemReader.next(varSpec) || !varSpec.is(ber::context(0)) || !varSpec.constructed)
                return MmsServiceResult::reject(kRejectInvalidArgument);
            ber::Reader nameReader = itemReader.enter(varSpec);
            if (!nameReader.next(nameTlv) || !parseObjectName(nameTlv, name))
                return MmsServiceResult::reject(kRejectInvalidArgument);
            names.push_back(std::move(name));
        }
        if (!list.ok()) return MmsServiceResult::reject(kRejectInvalidArgument);
    } else if (spec.is(ber::context(1))) {
        ber::Reader nameReader = r.enter(spec);
        ber::Tlv nameTlv;
        ObjectName name;
        if (!nameReader.next(nameTlv) || !parseObjectName(nameTlv, name))
            return MmsServiceResult::reject(kRejectInvalidArgument);
        LogicalDevice* device = name.scope == ObjectName::Scope::Domain ? index_.deviceByDomain(name.domain) : nullptr;
        const DataSetInfo* ds = device != nullptr ? index_.findDataSet(device, name.item) : nullptr;
        if (ds == nullptr) return MmsServiceResult::error(ERROR_CLASS_ACCESS, ACCESS_OBJECT_NON_EXISTENT);
        listLength = ds->members.size();
        isList = true;
    } else {
        return MmsServiceResult::reject(kRejectInvalidArgument);
    }

    std::vector<MmsValuePtr> values;
    ber::Reader dataReader = r.enter(data);
    ber::Tlv item;
    while (dataReader.next(item)) values.push_back(ber::decodeMmsData(item, dataReader.depth()));
    if (!dataReader.ok()) return MmsServiceResult::reject(kRejectInvalidArgument);
    size_t expected = isList ? listLength : names.size();
    if (values.size() != expected) return MmsServiceResult::reject(kRejectInvalidArgument);

    ber::Writer w;
    for (size_t i = 0; i < expected; ++i) {
        MmsDataAccessError result;
        if (isList)
            result = DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;  // data sets are read through their members
        else if (!values[i])
            result = DATA_ACCESS_ERROR_TYPE_UNSUPPORTED;
        else
            result = writeVariable(ctx.connection, names[i], values[i].get());
        ber::encodeWriteResult(w, result);
    }
    return MmsServiceResult::response(w.take());
}

// --- named variable lists and journals ---------------------------------------------

MmsServiceResult VariableServices::getNamedVariableListAttributes(const MmsServiceContext& ctx,
                                                                  std::span<const uint8_t> content) {
    ber::Tlv nameTlv;
    ObjectName name;
    if (!ber::decodeSingle(content, nameTlv) || !parseObjectName(nameTlv, name))
        return MmsServiceResult::reject(kRejectInvalidArgument);
    LogicalDevice* device = name.scope == ObjectName::Scope::Domain ? index_.deviceByDomain(name.domain) : nullptr;
    const DataSetInfo* ds = device != nullptr ? index_.findDataSet(device, name.item) : nullptr;
    if (ds == nullptr) return MmsServiceResult::error(ERROR_CLASS_DEFINITION, DEFINITION_OBJECT_UNDEFINED);
    ber::Writer w;
    w.writeBoolean(ber::context(0), false);  // mmsDeletable
    size_t list = w.begin(ber::context(1));
    for (const DataSetMember& m : ds->members) {
        size_t entry = w.begin(seq());
        size_t spec = w.begin(ber::context(0));
        size_t domainName = w.begin(ber::context(1));
        w.writeVisibleString(identifier(), index_.domainName(m.device));
        w.writeVisibleString(identifier(), m.itemId);
        w.end(domainName);
        w.end(spec);
        w.end(entry);
    }
    w.end(list);
    return fittingResponse(ctx, w);
}

MmsServiceResult VariableServices::readJournal(const MmsServiceContext&, std::span<const uint8_t> content) {
    ber::Reader r(content);
    ber::Tlv tlv, nameTlv;
    ObjectName name;
    bool haveName = false;
    while (r.next(tlv)) {
        if (tlv.is(ber::context(0)) && tlv.constructed) {
            ber::Reader inner = r.enter(tlv);
            if (!inner.next(nameTlv) || !parseObjectName(nameTlv, name))
                return MmsServiceResult::reject(kRejectInvalidArgument);
            haveName = true;
        }
    }
    if (!r.ok() || !haveName) return MmsServiceResult::reject(kRejectInvalidArgument);
    LogicalDevice* device = name.scope == ObjectName::Scope::Domain ? index_.deviceByDomain(name.domain) : nullptr;
    bool found = false;
    for (const auto& log : index_.logs())
        if (log.device == device && std::string(log.node->name) + "$" + log.name == name.item) found = true;
    if (!found) return MmsServiceResult::error(ERROR_CLASS_ACCESS, ACCESS_OBJECT_NON_EXISTENT);
    // No log storage is attached, so every journal is empty.
    ber::Writer w;
    w.writeConstructed(ber::context(0), {});
    w.writeBoolean(ber::context(1), false);
    return MmsServiceResult::response(w.take());
}

// --- periodic tasks and life cycle ----------------------------------------------------

void VariableServices::periodic() {
    std::vector<PendingControl> controls;
    controls.swap(pendingControls_);
    for (PendingControl& control : controls)
        control.binding.handler(nullptr, control.binding.parameter, control.ctlVal.get(), control.test);
    reports_->sendPending();
}

void VariableServices::connectionClosed(sMmsServerConnection* connection) { reports_->connectionClosed(connection); }

}  // namespace services
