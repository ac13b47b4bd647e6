#pragma once
// The XML file of IEC values ("IEC61850_Values.xml"): after each processed
// batch, the current values of the batch's logical nodes, one element per
// model level. Diagnostic only: nothing reads it back.

#include <cstdint>
#include <mutex>
#include <string>

#include "iec61850/durable_file.h"
#include "iec61850/iec61850_server.h"
#include "server/SlotBook.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

// The batch processed last; selects the devices and nodes that are saved.
extern SlotSet persistedSlots;

class Serialization {
public:
    // server points to the process-wide handle, which may still be null here.
    explicit Serialization(IedServer* server);

    bool debug = false;
    uint32_t logLevel = 5;

    // "/etc/iec/IEC61850_Values.xml", or "IEC61850_Values.xml" in the working
    // directory in debug mode.
    std::string path() const;

    // Writes the file for persistedSlots (nothing when it is empty). The file
    // is replaced atomically, without a sync (iec61850/durable_file.h); false
    // when it could not be written (reported, and the old file stays).
    bool save_all_IEC_values_to_XML();

    void appendModelToXml(tinyxml2::XMLDocument& document, tinyxml2::XMLElement* root) const;
    static void writeValueAttributes(tinyxml2::XMLElement* element, const MmsValue* value);

private:
    bool writeFileAtomically(const std::string& target, const std::string& content);

    IedServer* server_;
    std::mutex saveMutex_;
    iec61850::FileReplacer files_;
};
