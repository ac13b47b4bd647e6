#pragma once
// Ownership of the interface objects held by IecServer, and the seam through
// which IecServer creates them.
//
// IecServer knows the interface classes by name only: each is created by a
// creator function in the unit that sees its definition, and the owner keeps
// a type-erased keeper that destroys the object correctly. A class that is not
// built into this daemon simply has no creator. Tests hand in doubles that own
// their own object and expose no typed pointer.

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

#include "server/IecCore.h"

class IecServer;
class ExternalInterfaceServiceIn;
class ExternalInterfaceCLSEEDI;
class ExternalInterfaceMoreVale;
class InternalInterfaceDBUS;
class InternalInterfaceJSONRPC;
class InternalInterfaceNymea;
class InternalInterfaceNymeaEEBUS;

// Owns one interface object; T may be incomplete wherever the owner is used.
template <class T>
class InterfaceOwner {
public:
    InterfaceOwner() = default;
    // keeper owns the object (its deleter knows the real type); object is the
    // typed view, null for a test double that has none.
    InterfaceOwner(std::shared_ptr<void> keeper, T* object) : keeper_(std::move(keeper)), object_(object) {}

    // Creates the owner of a freshly made object; needs the complete type.
    template <class U>
    static InterfaceOwner adopt(std::unique_ptr<U> made) {
        U* raw = made.get();
        return InterfaceOwner(std::shared_ptr<U>(std::move(made)), raw);
    }

    InterfaceOwner(InterfaceOwner&&) noexcept = default;
    InterfaceOwner& operator=(InterfaceOwner&&) noexcept = default;
    InterfaceOwner(const InterfaceOwner&) = delete;
    InterfaceOwner& operator=(const InterfaceOwner&) = delete;

    explicit operator bool() const { return static_cast<bool>(keeper_); }
    T* get() const { return object_; }
    // Destroys the object (its destructor may join threads).
    void reset() {
        object_ = nullptr;
        keeper_.reset();
    }

private:
    std::shared_ptr<void> keeper_;
    T* object_ = nullptr;
};

// How IecServer creates the interfaces and waits between stopping one and
// starting the next. An empty creator means the class is not in this build.
struct InterfaceFactory {
    std::function<InterfaceOwner<InternalInterfaceNymea>(IecServer&, int port)> nymea;
    // The two MQTT gateways: create and start the client's MQTT loop.
    std::function<InterfaceOwner<ExternalInterfaceCLSEEDI>(IecServer&)> clseedi;
    std::function<InterfaceOwner<ExternalInterfaceMoreVale>(IecServer&)> moreVale;
    std::function<InterfaceOwner<InternalInterfaceDBUS>(IecServer&)> dbus;
    std::function<InterfaceOwner<InternalInterfaceJSONRPC>(IecServer&)> jsonrpc;
    std::function<InterfaceOwner<InternalInterfaceNymeaEEBUS>(IecServer&, int port)> eebus;
    std::function<InterfaceOwner<ExternalInterfaceServiceIn>(IecServer&)> serviceIn;
    // Resets the relay interface's cached LPC/LPP values.
    std::function<void(InterfaceOwner<ExternalInterfaceServiceIn>&)> resetServiceInCache;
    // Reads the home platform interface's per-phase measurements.
    std::function<HomeBalance(const InterfaceOwner<InternalInterfaceNymea>&)> homeBalance;
    // The pause between stopping the old source interface and creating the new one.
    std::function<void(std::chrono::milliseconds)> pause;

    // The creators of every interface class built into this daemon.
    static InterfaceFactory production();
};
