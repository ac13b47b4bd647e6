#include "internal/MqttInternReader.h"

#include <iostream>
#include <string>

#include "foundation/ModelLookup.h"

MqttInternActPow readMqttInternActPow(IedServer server, int cls) {
    MqttInternActPow r;
    const std::string ld = "CLS" + std::to_string(cls);
    DataAttribute* mx = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "mxVal", "f");
    if (!mx || !server) {
        std::cout << "getActPowGGIO001An1 -> DataAttribute for CLS" << cls << " not found" << std::endl;
        return r;
    }
    DataAttribute* t = findDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "t");
    DataAttribute* mult = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "units", "multiplier");
    DataAttribute* minVal = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "minVal", "f");
    DataAttribute* maxVal = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "maxVal", "f");
    IedServer_lockDataModel(server);
    r.mxVal = IedServer_getFloatAttributeValue(server, mx);
    if (t) r.t = IedServer_getUTCTimeAttributeValue(server, t);
    if (mult) r.unitsMultiplier = IedServer_getInt32AttributeValue(server, mult);
    if (minVal) r.minVal = IedServer_getFloatAttributeValue(server, minVal);
    if (maxVal) r.maxVal = IedServer_getFloatAttributeValue(server, maxVal);
    IedServer_unlockDataModel(server);
    return r;
}
