#include "server/Serialization.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <tinyxml2.h>
#include <vector>

#include "foundation/Logging.h"
#include "foundation/Paths.h"
#include "iec61850/durable_file.h"

SlotSet persistedSlots;

namespace {

constexpr const char* kInstalledPath = "/etc/iec/IEC61850_Values.xml";
constexpr const char* kDebugPath = "IEC61850_Values.xml";
constexpr unsigned kFileMode = 0644;

bool namesDevice(const SlotSet& slots, const char* device) {
    for (const auto& slot : slots) {
        if (slot.second == device) return true;
    }
    return false;
}

bool namesNode(const SlotSet& slots, const char* node) {
    for (const auto& slot : slots) {
        if (slot.first == node) return true;
    }
    return false;
}

}  // namespace

Serialization::Serialization(IedServer* server) : server_(server) { readLogLevel(&logLevel); }

std::string Serialization::path() const { return debug ? kDebugPath : paths::resolve(kInstalledPath); }

void Serialization::writeValueAttributes(tinyxml2::XMLElement* element, const MmsValue* value) {
    auto set = [element](const char* unit, auto&& text) {
        element->SetAttribute("unit", unit);
        element->SetAttribute("value", text);
    };
    switch (MmsValue_getType(value)) {
        case MMS_BOOLEAN:
            set("MMS_BOOLEAN", MmsValue_getBoolean(value));
            break;
        case MMS_BIT_STRING:
            set("MMS_BITSTRING", static_cast<unsigned>(MmsValue_getBitStringAsInteger(value)));
            break;
        case MMS_INTEGER:
            set("MMS_INTEGER", static_cast<int>(MmsValue_toInt32(value)));
            break;
        case MMS_UNSIGNED:
            set("MMS_UNSIGNED", static_cast<unsigned>(MmsValue_toUint32(value)));
            break;
        case MMS_FLOAT:
            set("MMS_FLOAT", MmsValue_toFloat(value));
            break;
        case MMS_VISIBLE_STRING: {
            const char* text = MmsValue_toString(value);
            set("MMS_VISIBLE_STRING", text ? text : "");
            break;
        }
        case MMS_UTC_TIME:
            set("MMS_UTC_TIME", static_cast<uint64_t>(std::floor(MmsValue_toUnixTimestamp(value))));
            break;
        case MMS_DATA_ACCESS_ERROR:
            std::cout << "Serialization: Failed to read value (error code: "
                      << static_cast<int>(MmsValue_getDataAccessError(value)) << std::endl;
            break;
        default:
            break;
    }
}

void Serialization::appendModelToXml(tinyxml2::XMLDocument& document, tinyxml2::XMLElement* root) const {
    IedServer server = server_ ? *server_ : nullptr;
    if (server == nullptr) return;
    IedModel* model = IedServer_getDataModel(server);
    DataModelLock lock(server);
    for (ModelNode* device = IedModel_getDeviceByIndex(model, 0); device; device = device->sibling) {
        if (!namesDevice(persistedSlots, device->name)) continue;
        tinyxml2::XMLElement* deviceElement = document.NewElement(device->name);
        for (ModelNode* node = device->firstChild; node; node = node->sibling) {
            if (!namesNode(persistedSlots, node->name)) continue;
            tinyxml2::XMLElement* nodeElement = document.NewElement(node->name);
            for (ModelNode* object = node->firstChild; object; object = object->sibling) {
                tinyxml2::XMLElement* objectElement = document.NewElement(object->name);
                for (ModelNode* attr = object->firstChild; attr; attr = attr->sibling) {
                    if (attr->modelType != DataAttributeModelType) continue;
                    tinyxml2::XMLElement* attrElement = document.NewElement(attr->name);
                    const MmsValue* value = IedServer_getAttributeValue(server, static_cast<DataAttribute*>(attr));
                    if (value && MmsValue_getType(value) == MMS_STRUCTURE) {
                        value = MmsValue_getElement(value, 0);
                    }
                    if (value) writeValueAttributes(attrElement, value);
                    objectElement->InsertEndChild(attrElement);
                }
                nodeElement->InsertEndChild(objectElement);
            }
            deviceElement->InsertEndChild(nodeElement);
        }
        root->InsertEndChild(deviceElement);
    }
}

bool Serialization::writeFileAtomically(const std::string& target, const std::string& content) {
    std::string error;
    // Never half written, but not synced: nothing reads the file back.
    if (files_.replace(target, content, kFileMode, iec61850::Durability::kAtomic, error)) return true;
    logMessage(&logLevel, LOG_ERR, "Serialization: writing %s failed: %s", target.c_str(), error.c_str());
    return false;
}

bool Serialization::save_all_IEC_values_to_XML() {
    std::lock_guard<std::mutex> lock(saveMutex_);
    logMessage(&logLevel, LOG_DEBUG, "Saving all the data");
    if (persistedSlots.empty()) return true;
    const std::string target = path();

    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    document.InsertFirstChild(document.NewDeclaration("xml version=\"1.0\" encoding=\"UTF-8\""));
    tinyxml2::XMLElement* root = document.NewElement("Root");
    document.InsertEndChild(root);
    appendModelToXml(document, root);

    tinyxml2::XMLPrinter printer(nullptr, false);
    document.Print(&printer);
    const std::string content(printer.CStr(), static_cast<size_t>(printer.CStrSize() > 0 ? printer.CStrSize() - 1 : 0));
    if (!writeFileAtomically(target, content)) {
        std::cerr << "Error: Could not save XML file:" << target << std::endl;
        logMessage(&logLevel, LOG_ERR, "Serialization: Error: Could not save XML file:%s", target.c_str());
        return false;
    }
    std::cout << "Serialization: saved all to: " << target << std::endl;
    return true;
}
