#pragma once
// Reading of the active-power output "ActPow_GGIO001.AnOut1" of a CLS for the
// internal MQTT interface.

#include <cstdint>

#include "iec61850/iec61850_server.h"

struct MqttInternActPow {
    float mxVal = 0;
    uint64_t t = 0;  // UTC ms
    int32_t unitsMultiplier = 0;
    float minVal = 0;
    float maxVal = 0;
};

// Every field zero when the CLS has no active-power output (or there is no
// server). The fields are read under the data-model lock, so they belong to
// one state of the model.
MqttInternActPow readMqttInternActPow(IedServer server, int cls);
