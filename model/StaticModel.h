#pragma once
// The static IEC 61850 model "FNN_STEUERBOX": logical devices STB and
// CLS1..CLS4 with their nodes, data sets, control blocks and logs.

#include "iec61850/iec61850_model.h"

// The model root, built from compact tables on first use; never freed.
IedModel* getStaticIedModel();

// Gives the attributes their initial values; IedServer_create runs it once.
void staticModelInitializer();
