// Model lookups, CLS names, schedule names and host reachability.
#include "foundation/ModelLookup.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "model/StaticModel.h"
#include "foundation/SharedConstants.h"
#include "iec61850/unique_fd.h"

namespace {

// Walks the matches of one name level after another. When a matched node has
// no match for the next name, later siblings of the same name are tried.
ModelNode* findPath(ModelNode* first, const std::string* names, size_t count) {
    for (ModelNode* node = first; node != nullptr; node = node->sibling) {
        if (names[0] != node->name) continue;
        if (count == 1) return node;
        if (ModelNode* found = findPath(node->firstChild, names + 1, count - 1)) return found;
    }
    return nullptr;
}

template <size_t N>
ModelNode* findInModel(const std::string (&names)[N]) {
    LogicalDevice* device = IedModel_getDeviceByInst(getStaticIedModel(), names[0].c_str());
    if (device == nullptr) return nullptr;
    return findPath(device->firstChild, names + 1, N - 1);
}

template <typename T>
T* as(ModelNode* node, ModelNodeType type) {
    return node != nullptr && node->modelType == type ? static_cast<T*>(node) : nullptr;
}

// Closes the socket and releases the resolution results on every path.
class ProbeResources {
public:
    ~ProbeResources() {
        if (addresses != nullptr) ::freeaddrinfo(addresses);
    }
    iec61850::UniqueFd fd;
    addrinfo* addresses = nullptr;
};

}  // namespace

DataObject* findDataObject(const std::string& ld, const std::string& ln, const std::string& dataObject) {
    const std::string names[] = {ld, ln, dataObject};
    return as<DataObject>(findInModel(names), DataObjectModelType);
}

DataAttribute* findDataAttribute(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                 const std::string& da) {
    const std::string names[] = {ld, ln, dataObject, da};
    return as<DataAttribute>(findInModel(names), DataAttributeModelType);
}

DataAttribute* findSubDataAttribute(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                    const std::string& da, const std::string& subDa) {
    const std::string names[] = {ld, ln, dataObject, da, subDa};
    return as<DataAttribute>(findInModel(names), DataAttributeModelType);
}

int logicalDeviceKindFromString(const std::string& name) {
    static constexpr const char* kNames[] = {"CLS1", "CLS2", "CLS3", "CLS4"};
    for (int i = 0; i < 4; ++i) {
        if (name == kNames[i]) return i + 1;
    }
    throw std::invalid_argument("Invalid LogicalDeviceKind string");
}

std::vector<std::string> getAllScheduleNames() {
    std::vector<std::string> names;
    LogicalDevice* device = IedModel_getDeviceByInst(getStaticIedModel(), "CLS1");
    for (ModelNode* node = device ? device->firstChild : nullptr; node != nullptr; node = node->sibling) {
        if (nonScheduleLogicalNodes.count(node->name) == 0) names.emplace_back(node->name);
    }
    return names;
}

bool isHostReachable(const std::string& host, int port, std::chrono::milliseconds timeout) {
    std::cout << "Checking if host is reachable: " << host << ":" << port << std::endl;
    ProbeResources probe;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &probe.addresses) != 0 || probe.addresses == nullptr) {
        probe.addresses = nullptr;
        std::cerr << "Failed to resolve hostname: " << host << std::endl;
        return false;
    }
    const addrinfo* address = probe.addresses;
    probe.fd.reset(::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol));
    if (!probe.fd.valid()) {
        std::cerr << "Failed to create socket: " << std::strerror(errno) << std::endl;
        return false;
    }
    const int flags = ::fcntl(probe.fd.get(), F_GETFL, 0);
    if (flags < 0 || ::fcntl(probe.fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        std::cerr << "Error setting non-blocking socket: " << std::strerror(errno) << std::endl;
        return false;
    }
    if (::connect(probe.fd.get(), address->ai_addr, address->ai_addrlen) < 0 && errno != EINPROGRESS) {
        std::cerr << "Connect failed immediately: " << std::strerror(errno) << std::endl;
        return false;
    }
    // poll() has no descriptor limit, unlike a descriptor set.
    pollfd waiter{probe.fd.get(), POLLOUT, 0};
    const int timeoutMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0));
    int ready;
    do {
        ready = ::poll(&waiter, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        std::cerr << "Select error: " << std::strerror(errno) << std::endl;
        return false;
    }
    if (ready == 0) {
        std::cerr << "Connection timed out." << std::endl;
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(probe.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
    if (error != 0) {
        std::cerr << "Connect failed: " << std::strerror(error) << std::endl;
        return false;
    }
    std::cout << "MQTT: Host is reachable!" << std::endl;
    return true;
}
