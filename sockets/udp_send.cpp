// QueueUdpSocket: the send queue, connecting, multicast and broadcast.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "sockets/queue_udp_socket.h"
#include "sockets/udp_internal.h"

namespace pavonix::sockets {

using namespace udp;

namespace {

// The part of a whole socket address that carries the host (4 or 16 bytes).
const std::uint8_t* hostBytes(const Bytes& address) {
    return isIPv4Address(address) ? address.data() + offsetof(sockaddr_in, sin_addr)
                                  : address.data() + offsetof(sockaddr_in6, sin6_addr);
}

// A multicast group is numeric text; no name look-up.
InterfaceAddresses numericHostAddresses(const std::string& host) {
    InterfaceAddresses found;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* results = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), "0", &hints, &results) != 0) return found;
    for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
        std::optional<Bytes>& slot = r->ai_family == AF_INET ? found.ipv4 : found.ipv6;
        if ((r->ai_family == AF_INET || r->ai_family == AF_INET6) && !slot)
            slot = addressFromSockaddr(r->ai_addr, r->ai_addrlen);
    }
    ::freeaddrinfo(results);
    return found;
}

// The index of the interface that carries this IPv6 socket address's address; 0 when none does.
unsigned indexOfInterfaceAddr6(const Bytes& address6) {
    ifaddrs* table = nullptr;
    if (::getifaddrs(&table) != 0) return 0;
    unsigned index = 0;
    for (const ifaddrs* entry = table; entry != nullptr && index == 0; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        if (std::memcmp(&in6->sin6_addr, hostBytes(address6), sizeof in6->sin6_addr) == 0)
            index = ::if_nametoindex(entry->ifa_name);
    }
    ::freeifaddrs(table);
    return index;
}

std::optional<std::string_view> view(const std::optional<std::string>& text) {
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

}  // namespace

// ---- Name resolution and the choice of an address ----------------------------------------------------

void QueueUdpSocket::resolveHost(const std::string& host, std::uint16_t port,
                                 std::function<void(std::vector<Bytes>, std::optional<SocketError>)> completion) {
    auto finish = [weak = weak_from_this(), queue = socketQueue_, completion = std::move(completion)](
                      std::vector<Bytes> addresses, std::optional<SocketError> error) {
        queue->async([weak, completion, addresses = std::move(addresses), error = std::move(error)]() mutable {
            if (auto self = weak.lock()) completion(std::move(addresses), std::move(error));
        });
    };
    if (host.empty()) {
        finish({}, badParamError("The host param is nil. Should be domain name or IP address string."));
        return;
    }
    dispatch::globalQueue()->async([host, port, finish = std::move(finish)] {
        LookupResult result = lookupHost(host, port, SOCK_DGRAM);
        finish(std::move(result.addresses), std::move(result.error));
    });
}

std::optional<std::pair<Bytes, int>> QueueUdpSocket::chooseAddress(const std::vector<Bytes>& addresses,
                                                                                  SocketError* error) const {
    if (addresses.empty()) dispatch::preconditionFailure("Expected at least one address");
    const Bytes* first4 = nullptr;
    const Bytes* first6 = nullptr;
    for (const Bytes& address : addresses) {
        const int family = familyFromAddress(address);
        if (family != AF_INET && family != AF_INET6) dispatch::preconditionFailure("Addresses array contains invalid address");
        if (family == AF_INET && !first4) first4 = &address;
        if (family == AF_INET6 && !first6) first6 = &address;
    }
    const bool disabled4 = config_ & kIPv4Disabled, disabled6 = config_ & kIPv6Disabled;
    const bool off4 = flags_ & kIPv4Deactivated, off6 = flags_ & kIPv6Deactivated;
    auto refuse = [error](const char* text) {
        fail(error, otherError(text));
        return std::nullopt;
    };
    if (disabled4 && !first6) return refuse("IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
    if (disabled6 && !first4) return refuse("IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    if (off4 && !first6) return refuse("IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).");
    if (off6 && !first4) return refuse("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");
    const bool prefer4 = config_ & kPreferIPv4, prefer6 = config_ & kPreferIPv6;
    if (prefer4 && prefer6) dispatch::preconditionFailure("Invalid config state");
    // A preference only chooses between two usable families; it never picks a disabled or
    // deactivated one, whose socket is gone.
    const bool usable4 = first4 && !disabled4 && !off4, usable6 = first6 && !disabled6 && !off6;
    if (usable4 && (!usable6 || prefer4)) return std::make_pair(*first4, AF_INET);
    if (usable6 && (!usable4 || prefer6)) return std::make_pair(*first6, AF_INET6);
    if (!usable4 && !usable6)
        return refuse("IPv4 and IPv6 have been disabled or deactivated for the address(es) found.");
    const int family = familyFromAddress(addresses.front());
    return std::make_pair(addresses.front(), family);
}

// ---- The send queue -----------------------------------------------------------------------------------

void QueueUdpSocket::sendData(Bytes data, std::int64_t tag) { sendData(std::move(data), -1.0, tag); }

void QueueUdpSocket::sendData(Bytes data, double timeout, std::int64_t tag) {
    if (data.empty()) return;
    enqueue(std::make_shared<QueueUdpSendPacket>(std::move(data), timeout, tag));
}

void QueueUdpSocket::sendData(Bytes data, const std::string& host, std::uint16_t port, double timeout, std::int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<QueueUdpSendPacket>(std::move(data), timeout, tag);
    packet->destinationGiven = true;
    packet->resolveInProgress = true;
    resolveHost(host, port, [this, packet](std::vector<Bytes> addresses, std::optional<SocketError> error) {
        packet->resolvedAddresses = std::move(addresses);
        packet->resolveError = std::move(error);
        packet->resolveInProgress = false;
        if (currentSend_ == packet) doPreSend();
    });
    enqueue(std::move(packet));
}

void QueueUdpSocket::sendData(Bytes data, const Bytes& address, double timeout, std::int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<QueueUdpSendPacket>(std::move(data), timeout, tag);
    packet->destinationGiven = true;
    if (auto exact = exactAddress(address)) {
        packet->addressFamily = familyFromAddress(*exact);
        packet->address = std::move(*exact);
    } else {
        // Checked here, before any system call sees it.
        packet->resolveError = badParamError("A valid IPv4 or IPv6 address was not given");
    }
    enqueue(std::move(packet));
}

void QueueUdpSocket::setSendFilter(SendFilter filter, dispatch::QueuePtr queue, bool isAsynchronous) {
    if (filter && !queue) dispatch::preconditionFailure(kFilterQueueText);
    if (!filter) queue = nullptr;
    runAsync([this, filter = std::move(filter), queue = std::move(queue), isAsynchronous] {
        sendFilter_ = filter;
        sendFilterQueue_ = queue;
        sendFilterAsync_ = isAsynchronous;
    });
}

void QueueUdpSocket::closeAfterSending() {
    runAsync([this] {
        flags_ |= kCloseAfterSends;
        if (!currentSend_ && sendQueue_.empty()) closeWithError(std::nullopt);
    });
}

void QueueUdpSocket::enqueue(std::shared_ptr<QueueUdpPacket> packet) {
    runAsync([this, packet = std::move(packet)] {
        sendQueue_.push_back(packet);
        maybeDequeueSend();
    });
}

void QueueUdpSocket::maybeDequeueSend() {
    assertOnSocketQueue();
    // A step below that ends its packet asks again; the loop here picks up from there, so a long
    // queue of datagrams that fail at once never deepens the stack.
    if (dequeuing_) return;
    if (currentSend_) return;
    if (!(flags_ & kSocketsCreated)) {
        SocketError error;
        if (!createSocketsForEnabledFamilies(&error)) {
            closeWithError(error);
            return;
        }
    }
    dequeuing_ = true;
    while (!currentSend_ && !sendQueue_.empty()) {
        currentSend_ = std::move(sendQueue_.front());
        sendQueue_.pop_front();
        if (std::dynamic_pointer_cast<QueueUdpSpecialPacket>(currentSend_)) {
            maybeConnect();
            continue;
        }
        auto packet = std::static_pointer_cast<QueueUdpSendPacket>(currentSend_);
        if (packet->resolveError) {
            notify([tag = packet->tag, error = *packet->resolveError](QueueUdpSocketDelegate& d, QueueUdpSocket& s) {
                d.udpSocketDidNotSend(s, tag, error);
            });
            currentSend_.reset();
            continue;
        }
        doPreSend();
    }
    dequeuing_ = false;
    if (!currentSend_ && (flags_ & kCloseAfterSends)) closeWithError(std::nullopt);
}

void QueueUdpSocket::endCurrentSend() {
    if (sendTimer_) {
        sendTimer_->cancel();
        sendTimer_.reset();
    }
    currentSend_.reset();
}

void QueueUdpSocket::doPreSend() {
    auto packet = std::dynamic_pointer_cast<QueueUdpSendPacket>(currentSend_);
    if (!packet) dispatch::preconditionFailure(kInvalidLogicText);
    std::optional<SocketError> failure;
    if (flags_ & kConnected) {
        if (packet->destinationGiven) {
            failure = badConfigError("Cannot specify destination of packet for connected socket");
        } else {
            packet->address = cachedConnectedAddress_;
            packet->addressFamily = cachedConnectedFamily_;
        }
    } else if (packet->resolveInProgress) {
        return;  // the resolution's completion comes back here
    } else if (packet->resolveError) {
        failure = packet->resolveError;
    } else if (!packet->address.empty()) {
        // The family's socket may be gone (a connect, bind or multicast request kept the other).
        if (sockets_[packet->addressFamily == AF_INET ? kIPv4 : kIPv6].fd < 0)
            failure = otherError(packet->addressFamily == AF_INET
                                     ? "IPv4 has been disabled or deactivated, and an IPv4 address was passed."
                                     : "IPv6 has been disabled or deactivated, and an IPv6 address was passed.");
    } else if (!packet->resolvedAddresses.empty()) {
        SocketError error;
        if (auto chosen = chooseAddress(packet->resolvedAddresses, &error)) {
            packet->address = std::move(chosen->first);
            packet->addressFamily = chosen->second;
        } else {
            failure = error;
        }
    } else {
        failure = badConfigError("You must specify destination of packet for a non-connected socket");
    }
    if (failure) {
        notify([tag = packet->tag, error = *failure](QueueUdpSocketDelegate& d, QueueUdpSocket& s) {
            d.udpSocketDidNotSend(s, tag, error);
        });
        endCurrentSend();
        maybeDequeueSend();
        return;
    }

    if (!sendFilter_ || !sendFilterQueue_) {
        doSend();
        return;
    }
    auto decided = [this, packet](bool allowed) {
        if (allowed) {
            doSend();
            return;
        }
        // A refused datagram counts as sent: the filter took it.
        notify([tag = packet->tag](QueueUdpSocketDelegate& d, QueueUdpSocket& s) { d.udpSocketDidSend(s, tag); });
        endCurrentSend();
        maybeDequeueSend();
    };
    if (!sendFilterAsync_) {
        bool allowed = false;
        sendFilterQueue_->sync([&] { allowed = sendFilter_(packet->buffer, packet->address, packet->tag); });
        decided(allowed);
        return;
    }
    packet->filterInProgress = true;
    sendFilterQueue_->async([weak = weak_from_this(), filter = sendFilter_, queue = socketQueue_, packet, decided] {
        const bool allowed = filter(packet->buffer, packet->address, packet->tag);
        queue->async([weak, packet, decided, allowed] {
            auto self = weak.lock();
            if (!self) return;
            packet->filterInProgress = false;
            if (self->currentSend_ == packet) decided(allowed);
        });
    });
}

void QueueUdpSocket::doSend() {
    auto packet = std::dynamic_pointer_cast<QueueUdpSendPacket>(currentSend_);
    if (!packet) dispatch::preconditionFailure(kInvalidLogicText);
    const int index = packet->addressFamily == AF_INET ? kIPv4 : kIPv6;
    FamilySocket& s = sockets_[index];
    ssize_t result;
    do {
        result = (flags_ & kConnected)
                     ? ::send(s.fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL)
                     : ::sendto(s.fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(packet->address.data()),
                                static_cast<socklen_t>(packet->address.size()));
    } while (result < 0 && errno == EINTR);
    const int code = errno;
    flags_ |= kBound;  // sending binds the socket implicitly

    if (result > 0) {
        notify([tag = packet->tag](QueueUdpSocketDelegate& d, QueueUdpSocket& sock) { d.udpSocketDidSend(sock, tag); });
        endCurrentSend();
        maybeDequeueSend();
        return;
    }
    if (result == 0 || code == EAGAIN || code == EWOULDBLOCK || code == ENOBUFS) {
        // The write source brings the packet back here once the socket can take it; the timer,
        // when there is one, bounds the wait.
        s.canAcceptBytes = false;
        resumeWriteSource(index);
        if (!sendTimer_ && packet->timeout >= 0) setUpSendTimer(packet->timeout);
        return;
    }
    // The fault belongs to this datagram alone (too long, no route, broadcast not enabled): closing
    // would take a bound receiver down with it and send the next datagram from a fresh socket.
    notify([tag = packet->tag, error = SocketError::posix(code, "Error in send() function.")](
               QueueUdpSocketDelegate& d, QueueUdpSocket& sock) { d.udpSocketDidNotSend(sock, tag, error); });
    endCurrentSend();
    maybeDequeueSend();
}

void QueueUdpSocket::setUpSendTimer(double timeout) {
    if (sendTimer_ || timeout < 0) dispatch::preconditionFailure(kInvalidLogicText);
    sendTimer_ = dispatch::Source::makeTimer(socketQueue_);
    sendTimer_->setEventHandler([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        auto packet = std::dynamic_pointer_cast<QueueUdpSendPacket>(self->currentSend_);
        if (!packet) return;
        self->notify([tag = packet->tag](QueueUdpSocketDelegate& d, QueueUdpSocket& s) {
            d.udpSocketDidNotSend(s, tag, sendTimeoutError());
        });
        self->endCurrentSend();
        self->maybeDequeueSend();
    });
    sendTimer_->setTimer(std::chrono::duration_cast<dispatch::Clock::duration>(std::chrono::duration<double>(timeout)));
    sendTimer_->resume();
}

// ---- Connecting ----------------------------------------------------------------------------------------

bool QueueUdpSocket::preConnect(SocketError* error) const {
    if (!preOp(error)) return false;
    if (flags_ & (kConnecting | kConnected)) return fail(error, badConfigError("Cannot connect a socket more than once."));
    if ((config_ & (kIPv4Disabled | kIPv6Disabled)) == (kIPv4Disabled | kIPv6Disabled))
        return fail(error, badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
    return true;
}

bool QueueUdpSocket::connectToHost(const std::string& host, std::uint16_t port, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preConnect(error)) return false;
        if (host.empty())
            return fail(error, badParamError("The host param is nil. Should be domain name or IP address string."));
        if (!(flags_ & kSocketsCreated) && !createSocketsForEnabledFamilies(error)) return false;
        auto packet = std::make_shared<QueueUdpSpecialPacket>();
        packet->resolveInProgress = true;
        resolveHost(host, port, [this, packet](std::vector<Bytes> addresses, std::optional<SocketError> failure) {
            packet->addresses = std::move(addresses);
            packet->error = std::move(failure);
            packet->resolveInProgress = false;
            if (currentSend_ == packet) maybeConnect();
        });
        flags_ |= kConnecting;
        sendQueue_.push_back(std::move(packet));
        maybeDequeueSend();
        return true;
    });
}

bool QueueUdpSocket::connectToAddress(const Bytes& address, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preConnect(error)) return false;
        std::optional<Bytes> exact = exactAddress(address);
        if (!exact) return fail(error, badParamError("The address param is nil. Should be a valid address."));
        if (!(flags_ & kSocketsCreated) && !createSocketsForEnabledFamilies(error)) return false;
        auto packet = std::make_shared<QueueUdpSpecialPacket>();
        packet->addresses.push_back(std::move(*exact));
        flags_ |= kConnecting;
        sendQueue_.push_back(std::move(packet));
        maybeDequeueSend();
        return true;
    });
}

void QueueUdpSocket::maybeConnect() {
    auto packet = std::dynamic_pointer_cast<QueueUdpSpecialPacket>(currentSend_);
    if (!packet || packet->resolveInProgress) return;
    std::optional<SocketError> failure = packet->error;
    if (!failure) {
        SocketError error;
        if (auto chosen = chooseAddress(packet->addresses, &error)) {
            const auto& [address, family] = *chosen;
            const int index = family == AF_INET ? kIPv4 : kIPv6;
            const int other = family == AF_INET ? kIPv6 : kIPv4;
            if (::connect(sockets_[index].fd, reinterpret_cast<const sockaddr*>(address.data()),
                          static_cast<socklen_t>(address.size())) == 0) {
                closeFamily(other);
                flags_ |= (family == AF_INET ? kIPv6Deactivated : kIPv4Deactivated) | kBound | kConnected;
                cachedConnectedAddress_ = address;
                cachedConnectedHost_ = hostFromAddress(address);
                cachedConnectedPort_ = portFromAddress(address);
                cachedConnectedFamily_ = family;
                notify([address](QueueUdpSocketDelegate& d, QueueUdpSocket& s) { d.udpSocketDidConnect(s, address); });
            } else {
                failure = SocketError::posix(errno, "Error in connect() function");
            }
        } else {
            failure = error;
        }
    }
    if (failure)
        notify([error = *failure](QueueUdpSocketDelegate& d, QueueUdpSocket& s) { d.udpSocketDidNotConnect(s, error); });
    flags_ &= ~kConnecting;
    endCurrentSend();
    maybeDequeueSend();
}

Bytes QueueUdpSocket::connectedAddress() const {
    return runSync([this] {
        if (cachedConnectedAddress_.empty() && (flags_ & kConnected)) {
            const int index = sockets_[kIPv4].fd >= 0 ? kIPv4 : kIPv6;
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            if (::getpeername(sockets_[index].fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                auto* self = const_cast<QueueUdpSocket*>(this);
                self->cachedConnectedAddress_ = addressFromSockaddr(reinterpret_cast<const sockaddr*>(&address), length);
                self->cachedConnectedHost_ = hostFromAddress(cachedConnectedAddress_);
                self->cachedConnectedPort_ = portFromAddress(cachedConnectedAddress_);
                self->cachedConnectedFamily_ = address.ss_family;
            }
        }
        return cachedConnectedAddress_;
    });
}

std::string QueueUdpSocket::connectedHost() const {
    connectedAddress();
    return runSync([this] { return cachedConnectedHost_; });
}

std::uint16_t QueueUdpSocket::connectedPort() const {
    connectedAddress();
    return runSync([this] { return cachedConnectedPort_; });
}

// ---- Multicast and broadcast ------------------------------------------------------------------------

bool QueueUdpSocket::performMulticastRequest(MulticastRequest request, const std::string& group,
                                             const std::optional<std::string>& interface, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preOp(error)) return false;
        if (!(flags_ & kBound)) return fail(error, badConfigError("Must bind a socket before joining a multicast group."));
        if (flags_ & (kConnecting | kConnected))
            return fail(error, badConfigError("Cannot join a multicast group if connected."));
        const InterfaceAddresses groups = numericHostAddresses(group);
        if (groups.empty()) return fail(error, badParamError("Unknown group. Specify valid group IP address."));
        const InterfaceAddresses interfaces = resolveInterface(view(interface), 0);
        if (interfaces.empty()) return fail(error, badParamError(kUnknownInterfaceText));

        const bool join = request == MulticastRequest::join;
        if (sockets_[kIPv4].fd >= 0 && groups.ipv4 && interfaces.ipv4) {
            ip_mreq membership{};
            std::memcpy(&membership.imr_multiaddr, hostBytes(*groups.ipv4), sizeof membership.imr_multiaddr);
            std::memcpy(&membership.imr_interface, hostBytes(*interfaces.ipv4), sizeof membership.imr_interface);
            if (::setsockopt(sockets_[kIPv4].fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &membership,
                             sizeof membership) != 0)
                return fail(error, SocketError::posix(errno, "Error in setsockopt() function"));
            // Marked off as well as closed, so that a later send never picks the closed socket.
            closeFamily(kIPv6);
            flags_ |= kIPv6Deactivated;
            return true;
        }
        if (sockets_[kIPv6].fd >= 0 && groups.ipv6 && interfaces.ipv6) {
            ipv6_mreq membership{};
            std::memcpy(&membership.ipv6mr_multiaddr, hostBytes(*groups.ipv6), sizeof membership.ipv6mr_multiaddr);
            membership.ipv6mr_interface = indexOfInterfaceAddr6(*interfaces.ipv6);
            if (::setsockopt(sockets_[kIPv6].fd, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &membership,
                             sizeof membership) != 0)
                return fail(error, SocketError::posix(errno, "Error in setsockopt() function"));
            closeFamily(kIPv4);
            flags_ |= kIPv4Deactivated;
            return true;
        }
        return fail(error, badParamError("Socket, group, and interface do not have matching IP versions"));
    });
}

bool QueueUdpSocket::joinMulticastGroup(const std::string& group, SocketError* error) {
    return performMulticastRequest(MulticastRequest::join, group, std::nullopt, error);
}
bool QueueUdpSocket::joinMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                                        SocketError* error) {
    return performMulticastRequest(MulticastRequest::join, group, interface, error);
}
bool QueueUdpSocket::leaveMulticastGroup(const std::string& group, SocketError* error) {
    return performMulticastRequest(MulticastRequest::leave, group, std::nullopt, error);
}
bool QueueUdpSocket::leaveMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                                         SocketError* error) {
    return performMulticastRequest(MulticastRequest::leave, group, interface, error);
}

bool QueueUdpSocket::sendIPv4MulticastOnInterface(const std::string& interface, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preOpWithSockets(error)) return false;
        const InterfaceAddresses interfaces = resolveInterface(interface, 0);
        if (!interfaces.ipv4) return fail(error, badParamError("Unknown interface. Specify valid interface by IP address."));
        if (sockets_[kIPv4].fd < 0) return false;
        in_addr chosen;
        std::memcpy(&chosen, hostBytes(*interfaces.ipv4), sizeof chosen);
        if (::setsockopt(sockets_[kIPv4].fd, IPPROTO_IP, IP_MULTICAST_IF, &chosen, sizeof chosen) != 0)
            return fail(error, SocketError::posix(errno, "Error in setsockopt() function"));
        return true;
    });
}

bool QueueUdpSocket::sendIPv6MulticastOnInterface(const std::string& interface, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preOpWithSockets(error)) return false;
        const InterfaceAddresses interfaces = resolveInterface(interface, 0);
        if (!interfaces.ipv6)
            return fail(error, badParamError("Unknown interface. Specify valid interface by name (e.g. \"en1\")."));
        if (sockets_[kIPv6].fd < 0) return false;
        const int index = static_cast<int>(indexOfInterfaceAddr6(*interfaces.ipv6));
        if (::setsockopt(sockets_[kIPv6].fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0)
            return fail(error, SocketError::posix(errno, "Error in setsockopt() function"));
        return true;
    });
}

bool QueueUdpSocket::enableBroadcast(bool flag, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preOpWithSockets(error)) return false;
        if (sockets_[kIPv4].fd < 0) return false;
        const int value = flag ? 1 : 0;
        if (::setsockopt(sockets_[kIPv4].fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0)
            return fail(error, SocketError::posix(errno, "Error in setsockopt() function"));
        return true;
    });
}

}  // namespace pavonix::sockets
