#include "tests/server/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDir,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           const std::filesystem::path& outputFile, bool keepStdinOpen)
    : outputFile_(outputFile) {
    int stdinPipe[2] = {-1, -1};
    if (keepStdinOpen && pipe2(stdinPipe, O_CLOEXEC) != 0) return;
    const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(workingDir.c_str()) != 0) _exit(127);
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        if (keepStdinOpen) {
            dup2(stdinPipe[0], STDIN_FILENO);
        } else {
            const int null = ::open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(out);
    if (keepStdinOpen) {
        ::close(stdinPipe[0]);
        stdinWrite_ = stdinPipe[1];
    }
}

ChildProcess::~ChildProcess() {
    if (stdinWrite_ >= 0) ::close(stdinWrite_);
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::writeInput(const std::string& text) {
    if (stdinWrite_ < 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(stdinWrite_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

std::string ChildProcess::output() const {
    std::ifstream in(outputFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t ChildProcess::countInOutput(const std::string& text) const {
    const std::string all = output();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++n;
    return n;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

long ChildProcess::residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace testsupport
