// libFuzzer target: any bytes as the server's answer to one call, read by the
// JSON-RPC client with its own bounds and with small ones (so that inputs of
// a few KiB reach the size and depth refusals). Every outcome is a result or
// a JsonRpcException; anything else escapes and is a finding.

#include <cstddef>
#include <cstdint>
#include <string>

#include "jsonrpc/JsonRpcClient.h"

namespace {

class FixedAnswer : public jsonrpc::IClientConnector {
public:
    explicit FixedAnswer(std::string answer) : answer_(std::move(answer)) {}
    std::string Send(const std::string&) override { return answer_; }

private:
    std::string answer_;
};

template <class T>
void call(jsonrpc::JsonRpcClient& client) {
    try {
        (void)client.CallMethod<T>(1, "updateEnergyData", nlohmann::json::array({1, 4200}));
    } catch (const jsonrpc::JsonRpcException&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FixedAnswer connector(std::string(reinterpret_cast<const char*>(data), size));
    jsonrpc::JsonRpcClient client(connector);
    call<bool>(client);
    call<nlohmann::json>(client);
    jsonrpc::JsonRpcClient small(connector, {1024, 8});
    call<bool>(small);
    call<nlohmann::json>(small);
    return 0;
}
