#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "foundation/Logging.h"
#include "foundation/Paths.h"
#include "tests/support/TestSupport.h"

using testsupport::IecTest;

namespace {

class LoggingTest : public IecTest {
protected:
    void writeConf(const std::string& content) { workDir.writeFile("/etc/iec/config/IECServer.conf", content); }

    uint32_t readLevel() {
        uint32_t level = 5;
        readLogLevel(&level);
        return level;
    }
};

TEST_F(LoggingTest, ThresholdFiltersByPriority) {
    struct Case {
        uint32_t threshold;
        int priority;
        bool passes;
    } cases[] = {
        {5, LOG_ERR, true},    {5, LOG_WARNING, true}, {5, LOG_NOTICE, true}, {5, LOG_INFO, false},
        {5, LOG_DEBUG, false}, {7, LOG_DEBUG, true},   {2, LOG_ERR, false},   {0, LOG_WARNING, false},
    };
    for (const auto& c : cases) {
        syslog.clear();
        logMessage(&c.threshold, c.priority, "x %d", c.priority);
        EXPECT_EQ(syslog.records().size(), c.passes ? 1u : 0u) << c.threshold << "/" << c.priority;
        if (c.passes) {
            EXPECT_EQ(syslog.records()[0].priority, c.priority);
        }
    }
}

TEST_F(LoggingTest, CutsAt1023BytesAndKeepsPercentSequencesVerbatim) {
    const uint32_t threshold = 7;
    const std::string exact(1023, 'a');
    logMessage(&threshold, LOG_ERR, "%s", exact.c_str());
    const std::string longer(1500, 'b');
    logMessage(&threshold, LOG_ERR, "%s", longer.c_str());
    logMessage(&threshold, LOG_ERR, "payload: %s", "{\"x\":\"%s%n%d\"}");
    const auto records = syslog.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, exact);
    EXPECT_EQ(records[1].text, std::string(1023, 'b'));
    EXPECT_EQ(records[2].text, "payload: {\"x\":\"%s%n%d\"}");
}

TEST_F(LoggingTest, DebugEchoPutsEveryRecordOnStandardErrorToo) {
    const uint32_t threshold = 5;
    testing::internal::CaptureStderr();
    logMessage(&threshold, LOG_NOTICE, "quiet %d", 1);
    setSyslogEchoToStderr(true);
    logMessage(&threshold, LOG_WARNING, "loud %s", "%d");
    logMessage(&threshold, LOG_INFO, "dropped by the threshold");
    writeSyslog(LOG_ERR, "direct");
    setSyslogEchoToStderr(false);
    logMessage(&threshold, LOG_NOTICE, "quiet %d", 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[warning] loud %d\n[err] direct\n");
    EXPECT_EQ(syslog.records().size(), 4u);  // the records reach the log all the same
}

TEST_F(LoggingTest, LevelNames) {
    struct Case {
        const char* name;
        uint32_t number;
        bool unknown;
    } cases[] = {
        {"emerg", 0, false}, {"alert", 1, false},  {"crit", 2, false},   {"err", 3, false},
        {"warning", 4, false}, {"notice", 5, false}, {"info", 6, false}, {"debug", 7, false},
        {"DEBUG", 5, true},  {"", 5, true},         {" debug", 5, true}, {"debug\r", 5, true},
    };
    for (const auto& c : cases) {
        syslog.clear();
        uint32_t level = 99;
        testing::internal::CaptureStderr();
        parseLogLevel(&level, c.name);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(level, c.number) << c.name;
        EXPECT_EQ(err.find("Unknown log level: ") != std::string::npos, c.unknown) << c.name;
        if (c.unknown) {
            EXPECT_EQ(err, std::string("Unknown log level: ") + c.name + ". Defaulting to NOTICE.\n");
        }
        EXPECT_TRUE(syslog.contains(LOG_NOTICE, std::string("server: Log level set to: ") + c.name));
    }
}

TEST_F(LoggingTest, ReadLogLevelFromFile) {
    struct Case {
        const char* content;
        uint32_t expected;
    } cases[] = {
        {"  plim_log_level \t=  debug \t\n", 7},
        {"plim_log_level=DEBUG\n", 5},
        {"plim_log_level=\n", 5},
        {"plim_log_level=   \n", 5},
        {"#plim_log_level=debug\n", 5},
        {"plim_log_level=info\nplim_log_level=err\n", 3},
        {"plim_log_level=debug\r\n", 7},
        {"IEC61850_tcpPort=102\nplim_log_level=warning", 4},
        {"", 5},
    };
    for (const auto& c : cases) {
        writeConf(c.content);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(readLevel(), c.expected) << c.content;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "readLogLevel loaded\n");
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(LoggingTest, MissingFileKeepsFiveAndSaysSo) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(readLevel(), 5u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open configuration file!\n");
    EXPECT_TRUE(syslog.contains(LOG_ERR, "readLogLevel: Failed to open configuration file."));
}

TEST_F(LoggingTest, BinaryAndLongLinesDoNotBreakTheReader) {
    std::string content(200000, 'x');
    content += "\n";
    content += std::string("\x01\xff=\x02", 4) + "\n";
    content += "plim_log_level=info";
    writeConf(content);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readLevel(), 6u);
    testing::internal::GetCapturedStdout();

    // A NUL byte marks no text file: the file is refused as a whole, saying why.
    writeConf(std::string("plim_log_level=info\n\0\n", 23));
    testing::internal::CaptureStderr();
    EXPECT_EQ(readLevel(), 5u);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(syslog.contains(LOG_ERR, "readLogLevel: Failed to open configuration file. " +
                                             paths::resolve("/etc/iec/config/IECServer.conf") + " holds a NUL byte"));
}

}  // namespace
