// One address of one network interface of this machine, as the kernel's interface table lists it.
// The OSC layer asks it whether a destination is an interface's broadcast address; the program's
// listen settings use their own scan (app/http/network_listen_scan.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pavonix::sockets {

class Interface {
public:
    enum class Family { ipv4 = 0, ipv6 = 1, other = 2 };
    // The family stored under an integer; nothing for any integer outside 0...2.
    static std::optional<Family> familyFromRawValue(int rawValue);
    // "IPv4", "IPv6", "other".
    static std::string toString(Family family);

    Interface(std::string name, Family family, std::optional<std::string> address,
              std::optional<std::string> netmask, bool running, bool up, bool loopback,
              bool multicastSupported, std::optional<std::string> broadcastAddress);
    virtual ~Interface() = default;
    Interface(const Interface&) = default;
    Interface& operator=(const Interface&) = default;

    // Every address of every interface (down ones too), in the kernel's order; empty when the
    // table cannot be read. An interface with several addresses appears once per address.
    static std::vector<Interface> allInterfaces();
    // Running and up, not loopback, no netmask.
    static Interface createTestDummy(std::string name, Family family, std::optional<std::string> address,
                                     bool multicastSupported, std::optional<std::string> broadcastAddress);

    // A random UUID text, new for every object.
    virtual const std::string& id() const { return id_; }
    virtual void setId(std::string id) { id_ = std::move(id); }

    const std::string& name() const { return name_; }
    Family family() const { return family_; }
    const std::optional<std::string>& address() const { return address_; }
    const std::optional<std::string>& netmask() const { return netmask_; }
    const std::optional<std::string>& broadcastAddress() const { return broadcastAddress_; }

    // 4 bytes for IPv4, 16 for IPv6; nothing without an address, for `other`, or when the text
    // does not parse.
    virtual std::optional<std::vector<std::uint8_t>> addressBytes() const;
    virtual bool isRunning() const { return running_; }
    virtual bool isUp() const { return up_; }
    virtual bool isLoopback() const { return loopback_; }
    virtual bool supportsMulticast() const { return multicastSupported_; }

    // The name alone.
    virtual std::string description() const { return name_; }
    // For example "Interface name:en0 family:ipv4 ip:192.168.1.20 (up) (running)".
    virtual std::string debugDescription() const;

private:
    std::string id_;
    std::string name_;
    Family family_;
    std::optional<std::string> address_;
    std::optional<std::string> netmask_;
    std::optional<std::string> broadcastAddress_;
    bool running_;
    bool up_;
    bool loopback_;
    bool multicastSupported_;
};

}  // namespace pavonix::sockets
