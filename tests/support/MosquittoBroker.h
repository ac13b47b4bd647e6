#pragma once
// A real mosquitto broker for one test, and the certificates its TLS
// listener uses, made by openssl at test time.
//
// The broker listens on free loopback ports only (never 1883 or 1884), with
// its own configuration, log and password file in a directory the test
// owns. It can be stopped and started again on the same ports; the object
// kills it by its pid when it goes.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Runs a program (no shell) with its output into outputFile; its exit code,
// or -1 when it could not run.
int runProgram(const std::vector<std::string>& argv, const std::filesystem::path& outputFile = "/dev/null");

struct CertificateFiles {
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
};

// A certificate authority in its own directory, and the certificates it
// issues (EC P-256 keys, valid for one day).
class TestCertificateAuthority {
public:
    TestCertificateAuthority(std::filesystem::path dir, const std::string& commonName = "Test CA");
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    bool ok() const { return ok_; }
    const std::filesystem::path& caFile() const { return caCert_; }

    // A server certificate for the DNS names and IP addresses given (subject
    // alternative names; the first DNS name, else the first address, is the
    // common name). Empty files on failure.
    CertificateFiles issueServer(const std::string& name, const std::vector<std::string>& dnsNames,
                                 const std::vector<std::string>& ipAddresses = {});
    // A client certificate with the common name given.
    CertificateFiles issueClient(const std::string& name, const std::string& commonName);

private:
    CertificateFiles issue(const std::string& name, const std::string& commonName, const std::string& extensions);

    std::filesystem::path dir_;
    std::filesystem::path caCert_;
    std::filesystem::path caKey_;
    bool ok_ = false;
};

struct BrokerTlsListener {
    std::filesystem::path caFile;    // CA that verifies client certificates
    CertificateFiles server;         // the broker's own certificate
    bool requireCertificate = false;  // mutual TLS: clients must present a certificate of caFile
    bool useIdentityAsUsername = false;
};

struct BrokerOptions {
    bool plainListener = true;
    std::optional<BrokerTlsListener> tls;
    // User name and password pairs; when given, a password file is made and
    // anonymous clients are refused.
    std::vector<std::pair<std::string, std::string>> users;
    // Further lines for the configuration file, appended as they stand.
    std::vector<std::string> extraLines;
};

class MosquittoBroker {
public:
    // Picks the ports and writes the configuration into dir; start() runs it.
    MosquittoBroker(std::filesystem::path dir, BrokerOptions options = {});
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker and waits until every listener accepts TCP
    // connections; false (with the broker killed) when it does not in time.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Stops the broker with SIGTERM (clients see a disconnect) and reaps it.
    void stop();
    // Kills the broker with SIGKILL and reaps it.
    void kill();
    bool restart() {
        stop();
        return start();
    }
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    int port() const { return port_; }        // the plain listener (0 without one)
    int tlsPort() const { return tlsPort_; }  // the TLS listener (0 without one)
    const std::filesystem::path& directory() const { return dir_; }

    // The broker's log (every log type), across restarts.
    std::string log() const;
    size_t countInLog(const std::string& text) const;
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    void writeConfig() const;

    std::filesystem::path dir_;
    BrokerOptions options_;
    int port_ = 0;
    int tlsPort_ = 0;
    pid_t pid_ = -1;
};

}  // namespace testsupport
