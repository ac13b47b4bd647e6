// Lookups by name, CLS names, schedule names and the reachability test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/ModelLookup.h"
#include "foundation/SharedConstants.h"

namespace {

struct LookupCase {
    std::vector<std::string> names;  // 3: object, 4: attribute, 5: sub-attribute
    bool found;
};

ModelNode* lookup(const std::vector<std::string>& n) {
    switch (n.size()) {
        case 3: return findDataObject(n[0], n[1], n[2]);
        case 4: return findDataAttribute(n[0], n[1], n[2], n[3]);
        case 5: return findSubDataAttribute(n[0], n[1], n[2], n[3], n[4]);
        default: return nullptr;
    }
}

TEST(ModelLookup, FindsOrMisses) {
    const LookupCase cases[] = {
        {{"CLS1", "EmpWCmd_FSCH030001", "EnaReq", "stVal"}, true},
        {{"CLS1", "EmpWCmd_FSCH030001", "ValASG001", "setMag", "f"}, true},
        {{"CLS1", "EmpWCmd_FSCH030001", "ValASG001", "units", "multiplier"}, true},
        {{"CLS1", "EmpWCmd_FSCH030001", "ValASG001", "f"}, false},  // a sub-attribute is not an attribute
        {{"STB", "LPHD", "PhyNam"}, true},
        {{"STB", "LPHD1", "PhyNam"}, false},
        {{"STB", "LLN0", "NamPlt", "configRev"}, true},
        {{"STB", "S1_XSWI1", "Pos", "Oper"}, false},  // status-only
        {{"STB", "S1_XSWI1", "Pos", "ctlModel"}, true},
        {{"STB", "LLN0", "Mod", "Oper"}, false},
        {{"CLS1", "ActPow_GGIO001", "AnOut1", "Oper"}, false},
        {{"CLS1", "ActPow_GGIO001", "AnOut1", "maxVal", "f"}, true},
        {{"CLS1", "SysRes_FSCH010001", "EnaReq", "Oper"}, false},
        {{"CLS4", "DsoECmd_FSCH250004", "EnaReq", "Oper"}, true},
        {{"CLS1", "EmpWCmd_FSCH030001", "EnaReq", "Oper", "origin"}, true},
        {{"CLS1", "ActPow_GGIO001", "AnOut1", "mxVal", "f"}, true},
        {{"cls1", "ActPow_GGIO001", "AnOut1", "mxVal", "f"}, false},
        {{"CLS5", "LLN0", "Beh"}, false},
        {{"", "LLN0", "Beh"}, false},
        {{"CLS1 ", "LLN0", "Beh"}, false},
        {{"CLS1", "LLN0", "Beh "}, false},
        {{"CLS1", "LLN0.Beh", "stVal"}, false},
        {{"STB", "ActPow_GGIO001", "AnOut1"}, false},  // a CLS node in STB
        {{"CLS2", "Softstart_GGIO1", "Beh"}, false},
        {{"CLS2", "ActPow_GGIO002", "Beh"}, false},
        {{"CLS3", "WLod_FSCC001", "Beh"}, false},
        {{"CLS4", "WGn_FSCC001", "Beh"}, false},
        {{"CLS1", "EmpWCmd_FSCH030001", "StrTm16", "setCal"}, false},
        {{"CLS1", "EmpDCmd_FSCH050001", "StrTm01", "setCal", "occType"}, true},
        {{"CLS1", "EmpDCmd_FSCH050001", "StrTm02"}, false},
    };
    for (const LookupCase& c : cases) {
        std::string where;
        for (const auto& n : c.names) where += n + "/";
        ModelNode* node = lookup(c.names);
        EXPECT_EQ(node != nullptr, c.found) << where;
        if (node != nullptr) {
            EXPECT_EQ(node->name, c.names.back()) << where;
            EXPECT_EQ(node->modelType, c.names.size() == 3 ? DataObjectModelType : DataAttributeModelType) << where;
        }
    }
    // Second-level sub-attributes are found by none of the lookups.
    EXPECT_EQ(findSubDataAttribute("CLS1", "EmpWCmd_FSCH030001", "EnaReq", "Oper", "orCat"), nullptr);
    // An attribute name at the object level does not count as an object.
    EXPECT_EQ(findDataObject("CLS1", "LLN0", "stVal"), nullptr);
}

TEST(ModelLookup, LogicalDeviceKind) {
    const std::pair<const char*, int> good[] = {{"CLS1", 1}, {"CLS2", 2}, {"CLS3", 3}, {"CLS4", 4}};
    for (const auto& [name, number] : good) EXPECT_EQ(logicalDeviceKindFromString(name), number);
    for (const char* bad : {"cls1", "CLS 1", "CLS5", "", "CLS1 ", "STB", "CLS0"}) {
        try {
            logicalDeviceKindFromString(bad);
            ADD_FAILURE() << "no exception for '" << bad << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Invalid LogicalDeviceKind string");
        }
    }
}

TEST(ModelLookup, ScheduleNamesInModelOrder) {
    const std::vector<std::string> expected = {
        "SysRes_FSCH010001",  "EmpSPrg_FSCH020001", "EmpSPrg_FSCH020002", "EmpSPrg_FSCH020003",
        "EmpSPrg_FSCH020004", "EmpSPrg_FSCH020005", "EmpSPrg_FSCH020101", "EmpSPrg_FSCH020102",
        "EmpSPrg_FSCH020103", "EmpWCmd_FSCH030001", "EmpWCmd_FSCH030002", "EmpDCmd_FSCH050001",
        "EmpDCmd_FSCH050002", "SysSoft_FSCH110001", "SysSoft_FSCH110002", "SysSoft_FSCH110003",
        "SysSoft_FSCH110004", "DsoWCmd_FSCH130001", "DsoWCmd_FSCH130002", "DsoDCmd_FSCH150001",
        "DsoDCmd_FSCH150002", "SysComEr_FSCH220001", "DsoECmd_FSCH250001", "DsoECmd_FSCH250002",
        "DsoECmd_FSCH250003", "DsoECmd_FSCH250004"};
    const std::vector<std::string> names = getAllScheduleNames();
    EXPECT_EQ(names, expected);
    for (const auto& name : names) EXPECT_EQ(nonScheduleLogicalNodes.count(name), 0u) << name;
    // Every CLS device carries the same schedules.
    for (const char* ld : {"CLS2", "CLS3", "CLS4"}) {
        for (const auto& name : names) EXPECT_NE(findDataObject(ld, name, "SchdPrio"), nullptr) << ld << name;
    }
}

// --- Reachability over real loopback sockets ----------------------------------

class Listener {
public:
    explicit Listener(int backlog) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, backlog);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(fd_); }
    int port() const { return port_; }
    int fd() const { return fd_; }

private:
    int fd_;
    int port_;
};

struct ProbeOutput {
    bool result;
    std::string out;
    std::string err;
};

ProbeOutput probe(const std::string& host, int port, std::chrono::milliseconds timeout = kHostReachableTimeout) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool result = isHostReachable(host, port, timeout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {result, out, err};
}

TEST(HostReachable, ListeningPortIsReachableAndSeesNoData) {
    Listener listener(4);
    const ProbeOutput p = probe("127.0.0.1", listener.port());
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.out, "Checking if host is reachable: 127.0.0.1:" + std::to_string(listener.port()) +
                         "\nMQTT: Host is reachable!\n");
    EXPECT_EQ(p.err, "");
    const int peer = ::accept(listener.fd(), nullptr, nullptr);
    ASSERT_GE(peer, 0);
    char byte;
    EXPECT_EQ(::recv(peer, &byte, 1, 0), 0);  // closed without data
    ::close(peer);
}

TEST(HostReachable, ClosedPortIsRefused) {
    int port;
    {
        Listener gone(1);
        port = gone.port();
    }
    const ProbeOutput p = probe("127.0.0.1", port);
    EXPECT_FALSE(p.result);
    const bool immediate = p.err.rfind("Connect failed immediately: ", 0) == 0;
    const bool later = p.err.rfind("Connect failed: ", 0) == 0;
    EXPECT_TRUE(immediate || later) << p.err;
    EXPECT_NE(p.err.find(std::strerror(ECONNREFUSED)), std::string::npos) << p.err;
}

TEST(HostReachable, UnresolvableNameFails) {
    // An empty label: no DNS query can carry this name, so the C library
    // refuses it before any resolver is asked (only /etc/hosts is read), and
    // the test sends nothing off the machine.
    const ProbeOutput p = probe("no-such-host..invalid", 80);
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.out, "Checking if host is reachable: no-such-host..invalid:80\n");
    EXPECT_EQ(p.err, "Failed to resolve hostname: no-such-host..invalid\n");
}

TEST(HostReachable, DroppedConnectAttemptTimesOut) {
    // A full accept queue makes the kernel drop further connection attempts.
    Listener listener(0);
    std::vector<int> fillers;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(listener.port()));
    for (int i = 0; i < 2; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    // Once the first attempt is established, the queue (backlog 0) is full.
    pollfd established{fillers.front(), POLLOUT, 0};
    ASSERT_EQ(::poll(&established, 1, 5000), 1);
    int error = -1;
    socklen_t length = sizeof error;
    ASSERT_EQ(::getsockopt(fillers.front(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    ASSERT_EQ(error, 0);
    const ProbeOutput p = probe("127.0.0.1", listener.port(), std::chrono::milliseconds(300));
    for (int fd : fillers) ::close(fd);
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.err, "Connection timed out.\n");
}

TEST(HostReachable, WorksForDescriptorsAboveTheSelectLimit) {
    Listener listener(4);
    // Push the probe's socket number past 1024.
    std::vector<int> held;
    while (true) {
        const int fd = ::dup(0);
        if (fd < 0) break;
        held.push_back(fd);
        if (fd > 1100) break;
    }
    if (held.empty() || held.back() <= 1024) {
        for (int fd : held) ::close(fd);
        GTEST_SKIP() << "descriptor limit below 1025";
    }
    const ProbeOutput p = probe("127.0.0.1", listener.port());
    for (int fd : held) ::close(fd);
    EXPECT_TRUE(p.result) << p.err;
}

}  // namespace
