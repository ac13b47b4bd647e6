// The JSON-RPC 2.0 client over a connector that hands back canned responses:
// the request it builds and how it reads every shape of response.
#include <gtest/gtest.h>

#include "jsonrpc/JsonRpcClient.h"

namespace {

class CannedConnector : public jsonrpc::IClientConnector {
public:
    std::string Send(const std::string& request) override {
        requests.push_back(request);
        if (failure) throw jsonrpc::JsonRpcException(jsonrpc::kConnectorError, "down");
        return response;
    }
    std::vector<std::string> requests;
    std::string response;
    bool failure = false;
};

// Arrays nested depth deep.
std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonRpcClient, BuildsACompactVersionTwoRequest) {
    CannedConnector connector;
    connector.response = R"({"jsonrpc":"2.0","id":7,"result":true})";
    jsonrpc::JsonRpcClient client(connector);
    EXPECT_TRUE(client.CallMethod<bool>(7, "updateEnergyData", nlohmann::json::array({2, -1})));
    ASSERT_EQ(connector.requests.size(), 1u);
    EXPECT_EQ(connector.requests[0], R"({"id":7,"jsonrpc":"2.0","method":"updateEnergyData","params":[2,-1]})");
    connector.response = R"({"jsonrpc":"2.0","id":8,"result":{"a":[1,2]}})";
    EXPECT_EQ(client.CallMethod<nlohmann::json>(8, "m", {{"named", 1}}), nlohmann::json::parse(R"({"a":[1,2]})"));
    EXPECT_EQ(connector.requests[1], R"({"id":8,"jsonrpc":"2.0","method":"m","params":{"named":1}})");
}

TEST(JsonRpcClient, EveryUnusableResponseIsAnExceptionWithItsCode) {
    struct Row {
        const char* name;
        std::string response;
        int code;
        std::string what;
        nlohmann::json data;
    };
    const Row rows[] = {
        {"not JSON", "<html/>", -32700, "-32700: invalid JSON response from server", "<html/>"},
        {"empty", "", -32700, "-32700: invalid JSON response from server", ""},
        {"no object", "[1]", -32603, "-32603: invalid server response: not an object", nullptr},
        {"no version", R"({"id":1,"result":true})", -32603, "-32603: invalid server response: \"jsonrpc\" is not \"2.0\"",
         nullptr},
        {"error with data", R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"busy","data":[1]}})", -32000,
         "-32000: busy", nlohmann::json::array({1})},
        {"error with a null id", R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request"}})",
         -32600, "-32600: Invalid Request", nullptr},
        {"malformed error", R"({"jsonrpc":"2.0","id":1,"error":{"code":"x"}})", -32603,
         "-32603: invalid server response: malformed error object", nlohmann::json::parse(R"({"code":"x"})")},
        {"no id", R"({"jsonrpc":"2.0","result":true})", -32603, "-32603: invalid server response: no id", nullptr},
        {"another id", R"({"jsonrpc":"2.0","id":2,"result":true})", -32603,
         "-32603: invalid server response: id does not match", nullptr},
        {"text id", R"({"jsonrpc":"2.0","id":"1","result":true})", -32603,
         "-32603: invalid server response: id does not match", nullptr},
        {"no result", R"({"jsonrpc":"2.0","id":1})", -32603, "-32603: invalid server response: neither result nor error",
         nullptr},
        {"wrong result type", R"({"jsonrpc":"2.0","id":1,"result":1})", -32603,
         "-32603: invalid result type: [json.exception.type_error.302] type must be boolean, but is number", 1},
        // Beyond the bounds (64 KiB, 64 levels): refused before anything is built.
        {"result 100000 deep", R"({"jsonrpc":"2.0","id":1,"result":)" + nested(100000) + "}", -32700,
         "-32700: response of 200034 bytes exceeds the bound of 65536 bytes", nullptr},
        {"result 65 deep", R"({"jsonrpc":"2.0","id":1,"result":)" + nested(64) + "}", -32700,
         "-32700: response nested deeper than 64 levels", nullptr},
        {"error data 65 deep",
         R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"m","data":)" + nested(63) + "}}", -32700,
         "-32700: response nested deeper than 64 levels", nullptr},
        {"NUL and more", std::string(R"({"jsonrpc":"2.0","id":1,"result":true})") + '\0' + "{junk", -32700,
         "-32700: invalid JSON response from server",
         std::string(R"({"jsonrpc":"2.0","id":1,"result":true})") + '\0' + "{junk"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CannedConnector connector;
        connector.response = row.response;
        jsonrpc::JsonRpcClient client(connector);
        try {
            client.CallMethod<bool>(1, "updateEnergyData", nlohmann::json::array({1, 0}));
            ADD_FAILURE() << "no exception";
        } catch (const jsonrpc::JsonRpcException& e) {
            EXPECT_EQ(e.Code(), row.code);
            EXPECT_STREQ(e.what(), row.what.c_str());
            EXPECT_EQ(e.Data(), row.data);
        }
    }
}

TEST(JsonRpcClient, AnAnswerAtTheBoundsIsRead) {
    CannedConnector connector;
    jsonrpc::JsonRpcClient client(connector);
    const std::string head = R"({"jsonrpc":"2.0","id":1,"result":)";
    std::string result = nested(63);
    connector.response = head + result + "}";
    EXPECT_EQ(client.CallMethod<nlohmann::json>(1, "m", nlohmann::json::array()), nlohmann::json::parse(result));
    result = '"' + std::string(65536 - head.size() - 3, 'x') + '"';
    connector.response = head + result + "}";
    ASSERT_EQ(connector.response.size(), 65536u);
    EXPECT_EQ(client.CallMethod<std::string>(1, "m", nlohmann::json::array()), result.substr(1, result.size() - 2));
}

TEST(JsonRpcClient, AConnectorFailurePassesThrough) {
    CannedConnector connector;
    connector.failure = true;
    jsonrpc::JsonRpcClient client(connector);
    EXPECT_THROW(client.CallMethod<bool>(1, "x", nlohmann::json::array()), jsonrpc::JsonRpcException);
}

}  // namespace
