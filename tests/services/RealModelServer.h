#pragma once
// One server on the real model "FNN_STEUERBOX" for the whole test program
// (the model binds to one server at a time), set up as the reference
// captures were made: serial number "vm", AnOut1 -1 in every CLS, CF writes
// allowed, and a control handler on the schedules' EnaReq/DsaReq that only
// writes their stVal.

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

#include "iec61850/iec61850_server.h"
#include "iec61850/services/variable_services.h"

namespace servicetest {

IedServer realModelServer();
DataAttribute* findAttribute(IedModel* model, const char* ld, std::initializer_list<const char*> path);

// Fresh services (block states, pending reports) on the shared server for
// each test; sent reports are collected per association.
class RealModelTest : public ::testing::Test {
protected:
    RealModelTest();
    ~RealModelTest() override;

    using Method = MmsServiceResult (services::VariableServices::*)(const MmsServiceContext&, std::span<const uint8_t>);
    MmsServiceResult call(Method method, const std::vector<uint8_t>& content, sMmsServerConnection* conn = nullptr);
    // Write of one variable in a domain; the data-access result.
    int write(const std::string& domain, const std::string& item, const MmsValue* value,
              sMmsServerConnection* conn = nullptr);
    int writeBool(const std::string& domain, const std::string& item, bool value, sMmsServerConnection* conn = nullptr);
    DataAttribute* attribute(const char* ld, std::initializer_list<const char*> path) {
        return findAttribute(server->model, ld, path);
    }

    IedServer server = nullptr;
    std::unique_ptr<services::VariableServices> services;
    std::vector<std::pair<sMmsServerConnection*, std::vector<uint8_t>>> sent;
    char a_ = 0, b_ = 0;
    sMmsServerConnection* connA = reinterpret_cast<sMmsServerConnection*>(&a_);
    sMmsServerConnection* connB = reinterpret_cast<sMmsServerConnection*>(&b_);
};

}  // namespace servicetest
