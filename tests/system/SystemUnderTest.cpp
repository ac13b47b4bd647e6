#include "tests/system/SystemUnderTest.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/limitsources/DeviceSettings.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/TestSupport.h"

namespace systest {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {


void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string hostName() {
    char buffer[1024] = {};
    if (gethostname(buffer, sizeof(buffer) - 1) != 0) return "unknown";
    return buffer;
}

}  // namespace

// --- Energy-management server ------------------------------------------------------

EmsPeer::EmsPeer() : port_(testsupport::freeLoopbackPort()) { serve(); }

EmsPeer::~EmsPeer() {
    stopServing();
    if (holeFd_ >= 0) ::close(holeFd_);
}

bool EmsPeer::serve() {
    auto server = std::make_unique<httplib::Server>();
    server->Post("/jsonrpc", [this](const httplib::Request& request, httplib::Response& response) {
        const json call = json::parse(request.body, nullptr, false);
        json reply = {{"jsonrpc", "2.0"}, {"result", true}};
        reply["id"] = call.is_object() && call.contains("id") ? call["id"] : json();
        if (call.is_object() && call.value("method", "") == "updateEnergyData" && call["params"].is_array() &&
            call["params"].size() == 2 && call["params"][0].is_number_integer() &&
            call["params"][1].is_number_integer()) {
            std::lock_guard<std::mutex> lock(mutex_);
            last_[call["params"][0].get<int>()] = call["params"][1].get<int64_t>();
            ++calls_;
        }
        response.set_content(reply.dump(), "application/json");
    });
    if (!server->bind_to_port("127.0.0.1", port_)) return false;
    server_ = std::move(server);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void EmsPeer::stopServing() {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

void EmsPeer::blackhole() {
    stopServing();
    holeFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(holeFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    if (::bind(holeFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(holeFd_, 64) != 0) {
        ::close(holeFd_);
        holeFd_ = -1;
    }
}

bool EmsPeer::back() {
    if (holeFd_ >= 0) {
        ::close(holeFd_);
        holeFd_ = -1;
    }
    return serving() || serve();
}

std::optional<int64_t> EmsPeer::lastLimit(int cls) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = last_.find(cls);
    if (it == last_.end()) return std::nullopt;
    return it->second;
}

size_t EmsPeer::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

// --- The whole system -----------------------------------------------------------------

SystemUnderTest::SystemUnderTest(const fs::path& root, SystemOptions options)
    : root_(root),
      mmsPort_(testsupport::freeLoopbackPort()),
      nymeaPort_(testsupport::freeLoopbackPort()),
      host_(hostName()) {
    broker_ = std::make_unique<testsupport::MosquittoBroker>(root_ / "broker");
    brokerStarted_ = broker_->start();
    ca_ = std::make_unique<testsupport::TestCertificateAuthority>(root_ / "ca");
    testsupport::BrokerOptions tls;
    tls.plainListener = false;
    tls.tls = testsupport::BrokerTlsListener{ca_->caFile(), ca_->issueServer("broker", {"localhost"}, {"127.0.0.1"}),
                                             true};
    moreValeBroker_ = std::make_unique<testsupport::MosquittoBroker>(root_ / "morevale-broker", tls);
    moreValeBrokerStarted_ = ca_->ok() && moreValeBroker_->start();
    writeConfigTree(options);
    homePlatform_ = std::make_unique<StandIn>(
        nymeaPort_, std::vector<std::string>{"--source", options.source, "--controlbox", options.controlBox});
}

SystemUnderTest::~SystemUnderTest() { killDaemon(); }

void SystemUnderTest::writeConfigTree(const SystemOptions&) {
    fs::create_directories(runDir());
    writeText(root_ / "etc/iec/config/IECServer.conf",
              "IEC61850_tcpPort=" + std::to_string(mmsPort_) + "\nnymea_tcpPort=" + std::to_string(nymeaPort_) +
                  "\nplim_log_level=notice\n"
                  "activate_extern_MQTT_CLSEEDI=true\nactivate_extern_MQTT_MoreVale=true\n"
                  "activate_intern_DBUS=true\nactivate_intern_JSONRPC=true\n");
    writeText(root_ / "etc/iec/config/JSONRPC.conf",
              "jsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(ems_.port()) + "\n");
    // The CLSEEDI gateway's debug configuration lies below ../tools/MQTT_configs/.
    writeText(root_ / "tools/MQTT_configs/MQTT_gateway_config_localhost.json",
              json{{"mqttBroker", "127.0.0.1"},
                   {"mqttPort", broker_->port()},
                   {"mqttUsernameGateway", "box"},
                   {"mqttPasswordGateway", "secret"},
                   {"enableTLS", false},
                   {"CLS1", {{"gateway_sub_topic", "clseedi/toBox/"}, {"gateway_pub_topic", "clseedi/fromBox/"}}}}
                  .dump());
    fs::create_directories(root_ / "etc/iec/MQTT_JSON");
    for (const auto& entry : fs::directory_iterator(fs::path(IEC_SOURCE_DIR) / "etc/iec/MQTT_JSON")) {
        fs::copy_file(entry.path(), root_ / "etc/iec/MQTT_JSON" / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    }
    // The MoreVale gateway: its configuration (debug mode turns TLS on), its
    // certificates where it looks for them, its templates.
    writeText(root_ / "etc/iec/config/MQTT_morevale_config.json",
              json{{"mqttBroker", "127.0.0.1"},
                   {"mqttPort", moreValeBroker_->tlsPort()},
                   {"enableTLS", false},
                   {"dso", "dso1"},
                   {"gcp", "gcp7"},
                   {"version", "0.4.0"}}
                  .dump());
    const fs::path certs = root_ / "etc/mosquitto/certs";
    fs::create_directories(certs / "gcp7");
    const auto gateway = ca_->issueClient("gateway", "gcp7");
    fs::copy_file(ca_->caFile(), certs / "ca_list.crt", fs::copy_options::overwrite_existing);
    fs::copy_file(gateway.certFile, certs / "gcp7/gcp7.pem", fs::copy_options::overwrite_existing);
    fs::copy_file(gateway.keyFile, certs / "gcp7/gcp7.key", fs::copy_options::overwrite_existing);
    fs::create_directories(root_ / "etc/iec/MQTT_morevale");
    for (const auto& entry : fs::directory_iterator(fs::path(IEC_SOURCE_DIR) / "etc/iec/MQTT_morevale")) {
        fs::copy_file(entry.path(), root_ / "etc/iec/MQTT_morevale" / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    }
    writeText(root_ / "etc/nymea/tavelmarck.conf", limitsourcetest::kDeviceSettings);
    setRelays(0, 0, 0, 0);
}

bool SystemUnderTest::peersUp(std::string& why) const {
    if (!bus_.running()) why = "the private system bus did not start";
    else if (!brokerStarted_) why = "mosquitto did not start: " + broker_->log();
    else if (!moreValeBrokerStarted_) why = "the TLS mosquitto did not start: " + moreValeBroker_->log();
    else if (!ems_.serving()) why = "the energy-management server did not start";
    else if (!homePlatform_->listening()) why = "the home-platform stand-in did not start";
    else return true;
    return false;
}

void SystemUnderTest::setRelays(int line12, int line13, int line14, int line15) {
    const int values[] = {line12, line13, line14, line15};
    for (int i = 0; i < 4; ++i) {
        // Replaced whole, so the daemon never reads a half-written file.
        const fs::path file = root_ / "gpio" / std::to_string(12 + i);
        writeText(fs::path(file.string() + ".new"), std::to_string(values[i]) + "\n");
        fs::rename(file.string() + ".new", file);
    }
}

testsupport::CertificateFiles SystemUnderTest::moreValePlatformCertificate(const std::string& name) {
    return ca_->issueClient(name, name);
}

std::string SystemUnderTest::clseediInTopic() const { return "clseedi/toBox/" + host_; }
std::string SystemUnderTest::clseediOutTopic() const { return "clseedi/fromBox/" + host_; }
std::string SystemUnderTest::clseediStatusTopic() const { return clseediOutTopic() + "/status"; }

bool SystemUnderTest::startDaemon(std::chrono::seconds timeout) {
    killDaemon();
    testsupport::MqttTestClient status("127.0.0.1", broker_->port());
    const bool watching = status.connect() && status.subscribe(clseediStatusTopic(), 1);
    // A retained status of an earlier run comes first; the new run's "online" follows its connect.
    status.waitForMessage(clseediStatusTopic(), 200ms);
    daemon_ = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{IEC_SERVER_BINARY, "--debug"}, runDir(),
        std::vector<std::pair<std::string, std::string>>{{"IEC_FS_ROOT", root_.string()},
                                                         {"IEC_GPIO_STANDIN_DIR", (root_ / "gpio").string()}},
        root_ / ("daemon-" + std::to_string(++daemonStarts_) + ".log"));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The MoreVale gateway's subscription of this start (the broker logs each).
    const size_t subscriptions = moreValeBroker_->countInLog(moreValeTopicPrefix() + "set");
    if (!daemon_->waitForOutput("Waiting for Clients...", timeout)) return false;
    bool online = false;
    while (watching && !online && std::chrono::steady_clock::now() < deadline) {
        auto message = status.waitForMessage(clseediStatusTopic(), 500ms);
        online = message && message->payload == "online";
    }
    while (online && std::chrono::steady_clock::now() < deadline) {
        if (moreValeBroker_->countInLog(moreValeTopicPrefix() + "set") > subscriptions) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void SystemUnderTest::killDaemon() {
    if (!daemon_) return;
    if (!daemon_->waitExit(std::chrono::milliseconds(0))) {
        ::kill(daemon_->pid(), SIGKILL);
        daemon_->waitExit(10s);
    }
}

bool SystemUnderTest::daemonRunning() { return daemon_ && !daemon_->waitExit(std::chrono::milliseconds(0)); }

std::string SystemUnderTest::daemonLog() const { return daemon_ ? daemon_->output() : std::string(); }

}  // namespace systest
