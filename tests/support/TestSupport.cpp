#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <random>
#include <sstream>

#include "foundation/Logging.h"
#include "foundation/Paths.h"

namespace testsupport {

namespace fs = std::filesystem;

TempWorkDir::TempWorkDir() {
    std::random_device rd;
    std::string name = "iec-test-" + std::to_string(getpid()) + "-" + std::to_string(rd());
    dir_ = fs::temp_directory_path() / name;
    fs::create_directories(dir_);
    previous_ = fs::current_path();
    fs::current_path(dir_);
    paths::setFsRootForTesting(dir_.string());
}

TempWorkDir::~TempWorkDir() {
    std::error_code ec;
    fs::current_path(previous_, ec);
    paths::setFsRootForTesting("");
    fs::remove_all(dir_, ec);
}

void TempWorkDir::writeFile(const std::string& name, const std::string& content) const {
    fs::path target = name.starts_with("/") ? fs::path(paths::resolve(name)) : dir_ / name;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary);
    out << content;
}

std::string TempWorkDir::readFile(const std::string& name) const {
    fs::path target = name.starts_with("/") ? fs::path(paths::resolve(name)) : dir_ / name;
    std::ifstream in(target, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

SyslogCapture::SyslogCapture() {
    setSyslogSinkForTesting([this](int priority, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back({priority, text});
    });
}

SyslogCapture::~SyslogCapture() { setSyslogSinkForTesting({}); }

std::vector<SyslogRecord> SyslogCapture::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

bool SyslogCapture::contains(const std::string& text) const { return count(text) > 0; }

bool SyslogCapture::contains(int priority, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& r : records_) {
        if (r.priority == priority && r.text == text) return true;
    }
    return false;
}

size_t SyslogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& r : records_) {
        if (r.text == text) ++n;
    }
    return n;
}

void SyslogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        socklen_t len = sizeof(addr);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace testsupport
