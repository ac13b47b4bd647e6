#include "tests/support/MosquittoBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TestSupport.h"

namespace testsupport {

namespace fs = std::filesystem;

int runProgram(const std::vector<std::string>& argv, const fs::path& outputFile) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        if (in >= 0) dup2(in, STDIN_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

bool writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// A free loopback port that is neither of the standard MQTT ports nor taken.
int pickPort(int avoid) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int port = freeLoopbackPort();
        if (port > 0 && port != 1883 && port != 1884 && port != avoid) return port;
    }
    return -1;
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(fs::path dir, const std::string& commonName)
    : dir_(std::move(dir)), caCert_(dir_ / "ca.crt"), caKey_(dir_ / "ca.key") {
    fs::create_directories(dir_);
    ok_ = runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                      "-nodes", "-keyout", caKey_.string(), "-out", caCert_.string(), "-days", "1", "-subj",
                      "/CN=" + commonName, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                      "keyUsage=critical,keyCertSign,cRLSign"},
                     dir_ / "openssl.log") == 0;
}

CertificateFiles TestCertificateAuthority::issue(const std::string& name, const std::string& commonName,
                                                 const std::string& extensions) {
    CertificateFiles files{dir_ / (name + ".crt"), dir_ / (name + ".key")};
    fs::path csr = dir_ / (name + ".csr");
    fs::path ext = dir_ / (name + ".ext");
    fs::path log = dir_ / "openssl.log";
    bool ok = ok_ && writeText(ext, extensions) &&
              runProgram({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                          "-keyout", files.keyFile.string(), "-out", csr.string(), "-subj", "/CN=" + commonName},
                         log) == 0 &&
              runProgram({"openssl", "x509", "-req", "-in", csr.string(), "-CA", caCert_.string(), "-CAkey",
                          caKey_.string(), "-CAcreateserial", "-out", files.certFile.string(), "-days", "1",
                          "-extfile", ext.string()},
                         log) == 0;
    if (!ok) return {};
    return files;
}

CertificateFiles TestCertificateAuthority::issueServer(const std::string& name,
                                                       const std::vector<std::string>& dnsNames,
                                                       const std::vector<std::string>& ipAddresses) {
    std::string san;
    for (const auto& d : dnsNames) san.append(san.empty() ? "DNS:" : ",DNS:").append(d);
    for (const auto& ip : ipAddresses) san.append(san.empty() ? "IP:" : ",IP:").append(ip);
    std::string cn = !dnsNames.empty() ? dnsNames.front() : (!ipAddresses.empty() ? ipAddresses.front() : name);
    return issue(name, cn,
                 "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                 "extendedKeyUsage=serverAuth\nsubjectAltName=" +
                     san + "\n");
}

CertificateFiles TestCertificateAuthority::issueClient(const std::string& name, const std::string& commonName) {
    return issue(name, commonName,
                 "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                 "extendedKeyUsage=clientAuth\n");
}

MosquittoBroker::MosquittoBroker(fs::path dir, BrokerOptions options)
    : dir_(std::move(dir)), options_(std::move(options)) {
    fs::create_directories(dir_);
    if (options_.plainListener) port_ = pickPort(0);
    if (options_.tls) tlsPort_ = pickPort(port_);
    if (!options_.users.empty()) {
        fs::path passwords = dir_ / "passwords";
        writeText(passwords, "");
        for (const auto& [user, password] : options_.users) {
            runProgram({"mosquitto_passwd", "-b", passwords.string(), user, password}, dir_ / "passwd.log");
        }
    }
    writeConfig();
}

MosquittoBroker::~MosquittoBroker() { kill(); }

void MosquittoBroker::writeConfig() const {
    std::ostringstream conf;
    // Running as root, the broker would switch to the user "mosquitto" and
    // lose access to the test's files; it stays the user that runs the test.
    if (const passwd* pw = getpwuid(geteuid())) conf << "user " << pw->pw_name << "\n";
    conf << "per_listener_settings false\n"
         << "persistence false\n"
         << "log_dest file " << (dir_ / "mosquitto.log").string() << "\n"
         << "log_type all\n"
         << "connection_messages true\n"
         << "log_timestamp true\n"
         // Without it the broker holds a small packet that follows another
         // until the client's delayed ACK (40 ms): every answer would carry it.
         << "set_tcp_nodelay true\n";
    if (options_.users.empty()) {
        conf << "allow_anonymous true\n";
    } else {
        conf << "allow_anonymous false\n"
             << "password_file " << (dir_ / "passwords").string() << "\n";
    }
    if (port_ > 0) conf << "listener " << port_ << " 127.0.0.1\n";
    if (options_.tls && tlsPort_ > 0) {
        const BrokerTlsListener& tls = *options_.tls;
        conf << "listener " << tlsPort_ << " 127.0.0.1\n"
             << "cafile " << tls.caFile.string() << "\n"
             << "certfile " << tls.server.certFile.string() << "\n"
             << "keyfile " << tls.server.keyFile.string() << "\n"
             << "tls_version tlsv1.2\n"
             << "require_certificate " << (tls.requireCertificate ? "true" : "false") << "\n";
        if (tls.useIdentityAsUsername) conf << "use_identity_as_username true\n";
    }
    for (const auto& line : options_.extraLines) conf << line << "\n";
    writeText(dir_ / "mosquitto.conf", conf.str());
}

bool MosquittoBroker::start(std::chrono::milliseconds timeout) {
    if (pid_ > 0) return true;
    if ((options_.plainListener && port_ <= 0) || (options_.tls && tlsPort_ <= 0)) return false;
    fs::path conf = dir_ / "mosquitto.conf";
    fs::path output = dir_ / "mosquitto.out";
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {  // exited (bad configuration, port taken)
            pid_ = -1;
            return false;
        }
        if ((port_ <= 0 || accepts(port_)) && (tlsPort_ <= 0 || accepts(tlsPort_))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    return false;
}

void MosquittoBroker::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void MosquittoBroker::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string MosquittoBroker::log() const {
    std::ifstream in(dir_ / "mosquitto.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t MosquittoBroker::countInLog(const std::string& text) const {
    std::string all = log();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++n;
    return n;
}

bool MosquittoBroker::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace testsupport
