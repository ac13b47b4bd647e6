#pragma once
// What the MoreVale tests and bench set up below a test root: the gateway's
// certificate files where it looks for them, and its configuration file.

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/MosquittoBroker.h"
#include "tests/support/TestSupport.h"

namespace moreValeTest {

// "/etc/mosquitto/certs/": caList as "ca_list.crt", and a client
// certificate of issuer for the grid connection point gcp (its key only
// when withKey).
inline void installGatewayCertificates(const std::filesystem::path& root, const std::filesystem::path& caList,
                                       testsupport::TestCertificateAuthority& issuer, const std::string& gcp,
                                       bool withKey = true) {
    namespace fs = std::filesystem;
    const fs::path dir = root / "etc/mosquitto/certs";
    fs::create_directories(dir / gcp);
    auto client = issuer.issueClient("gateway", gcp);
    fs::copy_file(caList, dir / "ca_list.crt", fs::copy_options::overwrite_existing);
    fs::copy_file(client.certFile, dir / gcp / (gcp + ".pem"), fs::copy_options::overwrite_existing);
    if (withKey) fs::copy_file(client.keyFile, dir / gcp / (gcp + ".key"), fs::copy_options::overwrite_existing);
}

// "/etc/iec/config/MQTT_morevale_config.json" for 127.0.0.1:port, dso1/gcp7/0.4.0.
inline void writeConfig(const testsupport::TempWorkDir& root, int port, bool tls) {
    root.writeFile("/etc/iec/config/MQTT_morevale_config.json",
                   nlohmann::json{{"mqttBroker", "127.0.0.1"},
                                  {"mqttPort", port},
                                  {"enableTLS", tls},
                                  {"dso", "dso1"},
                                  {"gcp", "gcp7"},
                                  {"version", "0.4.0"}}
                       .dump());
}

}  // namespace moreValeTest
