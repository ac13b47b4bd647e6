// The main of every test program. The daemon's code talks a lot on the
// console (progress lines, schedule traces, "Could not open configuration
// file!" from every log-level reading); the tests assert on little of it.
// So standard output and error are captured: during static initialisation
// (before main) and during each test. A failing test gets its captured
// output replayed; so does a sanitizer report that ends the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

// Standard output and error into an unlinked temporary file while active.
class ConsoleCapture {
public:
    // iostreams: false before the standard streams exist (static initialisation).
    void begin(bool iostreams = true) {
        if (active()) return;
        if (iostreams) flushStreams();
        std::fflush(nullptr);
        char name[] = "/tmp/iec-test-console-XXXXXX";
        file_ = ::mkstemp(name);
        if (file_ < 0) return;
        ::unlink(name);
        savedOut_ = ::dup(STDOUT_FILENO);
        savedErr_ = ::dup(STDERR_FILENO);
        ::dup2(file_, STDOUT_FILENO);
        ::dup2(file_, STDERR_FILENO);
    }
    // Restores the console and returns what was captured.
    std::string end() {
        if (!active()) return {};
        flushStreams();
        std::fflush(nullptr);
        ::dup2(savedOut_, STDOUT_FILENO);
        ::dup2(savedErr_, STDERR_FILENO);
        ::close(savedOut_);
        ::close(savedErr_);
        std::string text;
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = ::pread(file_, buffer, sizeof buffer, at)) > 0; at += n) {
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(file_);
        file_ = savedOut_ = savedErr_ = -1;
        return text;
    }
    bool active() const { return file_ >= 0; }

private:
    static void flushStreams() {
        std::cout.flush();
        std::cerr.flush();
    }
    int file_ = -1;
    int savedOut_ = -1;
    int savedErr_ = -1;
};

ConsoleCapture& capture() {
    static ConsoleCapture instance;
    return instance;
}

void replay(const std::string& text, const char* what) {
    if (text.empty()) return;
    std::string framed = std::string("---- console output ") + what + " ----\n" + text;
    if (framed.back() != '\n') framed += '\n';
    framed += "---- end of console output ----\n";
    (void)!::write(STDOUT_FILENO, framed.data(), framed.size());
}

void replayOnSanitizerDeath() { replay(capture().end(), "before the sanitizer report ended the program"); }

// Before every other static initialiser of the program.
struct StartupCapture {
    StartupCapture() { capture().begin(false); }
} startupCapture __attribute__((init_priority(101)));

class CaptureEachTest : public ::testing::EmptyTestEventListener {
public:
    explicit CaptureEachTest(std::string startup) : startup_(std::move(startup)) {}

    void OnTestStart(const ::testing::TestInfo&) override { capture().begin(); }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        const std::string text = capture().end();
        if (info.result()->Failed()) replay(text, "of this test");
    }
    void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
        if (unit.Failed()) replay(startup_, "before main");
    }

private:
    std::string startup_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string startup = capture().end();
    ::testing::InitGoogleTest(&argc, argv);
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(replayOnSanitizerDeath);
    // Appended after the default printer: its start line comes first, and
    // its end line after the replay.
    ::testing::UnitTest::GetInstance()->listeners().Append(new CaptureEachTest(std::move(startup)));
    return RUN_ALL_TESTS();
}
