// Test support: delegates of the TCP and UDP sockets that log every report in arrival order, and
// bounded waits on that log. Not linked into the program.
#pragma once

#include <algorithm>
#include <any>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sockets/queue_tcp_socket.h"
#include "sockets/queue_udp_socket.h"

namespace pavonix::sockets::testing {

inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Reports of one socket delegate; `Report` names its kind in `kind`, which is empty only in the
// report that a wait which timed out gives.
template <typename Report>
class ReportLog {
public:
    // Every report of `kind`, or every report when `kind` is empty.
    std::vector<Report> reports(std::string_view kind = {}) const {
        std::lock_guard lock(mutex_);
        std::vector<Report> found;
        std::copy_if(reports_.begin(), reports_.end(), std::back_inserter(found),
                     [&](const Report& r) { return kind.empty() || r.kind == kind; });
        return found;
    }
    std::size_t count(std::string_view kind) const { return reports(kind).size(); }
    std::vector<std::string> texts(std::string_view kind) const {
        std::vector<std::string> found;
        for (const auto& r : reports(kind)) found.push_back(r.text);
        return found;
    }
    // The nth report of that kind, waiting for it up to `timeout`; false when it did not come.
    Report waitFor(std::string_view kind, std::size_t nth = 1, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        Report found{};
        changed_.wait_for(lock, timeout, [&] {
            std::size_t seen = 0;
            for (const auto& r : reports_)
                if (r.kind == kind && ++seen == nth) found = r;
            return bool(found);
        });
        return found;
    }

protected:
    void log(Report report) {
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(report));
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

struct TcpReport {
    std::string kind;  // "accept", "connect", "read", "partialRead", "write", "partialWrite", "readTimeout",
                       // "writeTimeout", "closeReadStream", "disconnect", "secure", "trust"
    const QueueTcpSocket* socket = nullptr;  // identity only: the log keeps no socket alive
    std::string text;                        // host or path of a connect, bytes of a read, elapsed seconds
    std::size_t length = 0;                  // of a partial read or write, or done before a time-out
    std::optional<SocketError> error;
    explicit operator bool() const { return !kind.empty(); }
};

// Keeps accepted sockets alive, can act on reports through hooks, and fails the test when a
// report does not run on its delegate queue.
class TcpRecorder : public QueueTcpSocketDelegate, public ReportLog<TcpReport> {
public:
    const dispatch::QueuePtr queue = dispatch::makeSerialQueue("delegate");
    // Hooks run on the delegate queue after the report is logged.
    std::function<void(const QueueTcpSocketPtr&)> onAccept;
    std::function<void(const QueueTcpSocketPtr&, const ReadData&, std::int64_t)> onRead;
    // Without it the recorder declines trust questions, as a delegate that leaves them alone.
    std::function<void(const TlsPeerTrust&, std::function<void(bool)>)> onTrust;
    // Answers to the time-out questions, taken in order; 0 once they run out.
    std::deque<double> timeoutAnswers;

    std::vector<QueueTcpSocketPtr> accepted() const {
        std::lock_guard lock(acceptedMutex_);
        return accepted_;
    }
    void dropAccepted() {
        std::lock_guard lock(acceptedMutex_);
        accepted_.clear();
    }

    void socketDidAcceptNewSocket(const QueueTcpSocketPtr&, const QueueTcpSocketPtr& socket) override {
        {
            std::lock_guard lock(acceptedMutex_);
            accepted_.push_back(socket);
        }
        add("accept", socket.get());
        if (onAccept) onAccept(socket);
    }
    void socketDidConnectToHost(const QueueTcpSocketPtr& s, const std::string& host, std::uint16_t) override {
        add("connect", s.get(), host);
    }
    void socketDidConnectToUrl(const QueueTcpSocketPtr& s, const std::string& path) override { add("connect", s.get(), path); }
    void socketDidReadData(const QueueTcpSocketPtr& s, const ReadData& data, std::int64_t tag) override {
        add("read", s.get(), std::string(data.text()));
        if (onRead) onRead(s, data, tag);
    }
    void socketDidReadPartialData(const QueueTcpSocketPtr& s, std::size_t length, std::int64_t) override {
        add("partialRead", s.get(), {}, length);
    }
    void socketDidWriteData(const QueueTcpSocketPtr& s, std::int64_t) override { add("write", s.get()); }
    void socketDidWritePartialData(const QueueTcpSocketPtr& s, std::size_t length, std::int64_t) override {
        add("partialWrite", s.get(), {}, length);
    }
    double shouldTimeoutRead(const QueueTcpSocketPtr& s, std::int64_t, double elapsed, std::size_t) override {
        add("readTimeout", s.get(), std::to_string(elapsed));
        return nextAnswer();
    }
    double shouldTimeoutWrite(const QueueTcpSocketPtr& s, std::int64_t, double elapsed, std::size_t) override {
        add("writeTimeout", s.get(), std::to_string(elapsed));
        return nextAnswer();
    }
    void socketDidCloseReadStream(const QueueTcpSocketPtr& s) override { add("closeReadStream", s.get()); }
    void socketDidDisconnect(const QueueTcpSocketPtr& s, const std::optional<SocketError>& error) override {
        add("disconnect", s.get(), {}, 0, error);
    }
    void socketDidSecure(const QueueTcpSocketPtr& s) override { add("secure", s.get()); }
    bool socketDidReceiveTrust(const QueueTcpSocketPtr& s, const TlsPeerTrust& trust,
                               std::function<void(bool)> completion) override {
        add("trust", s.get(), trust.verification, trust.certificates.size());
        if (!onTrust) return false;
        onTrust(trust, std::move(completion));
        return true;
    }

private:
    void add(std::string kind, const QueueTcpSocket* socket, std::string text = {}, std::size_t length = 0,
             std::optional<SocketError> error = std::nullopt) {
        EXPECT_TRUE(queue->isCurrent()) << kind << " off the delegate queue";
        log({std::move(kind), socket, std::move(text), length, std::move(error)});
    }
    double nextAnswer() {
        std::lock_guard lock(acceptedMutex_);
        if (timeoutAnswers.empty()) return 0;
        const double answer = timeoutAnswers.front();
        timeoutAnswers.pop_front();
        return answer;
    }

    mutable std::mutex acceptedMutex_;  // for the accepted sockets and the answers
    std::vector<QueueTcpSocketPtr> accepted_;
};

struct UdpReport {
    std::string kind;  // "connect", "sent", "notSent", "received", "closed"
    std::string text;  // of a received datagram
    Bytes address;     // its sender, or the peer of a connect
    std::any context;  // what the receive filter made of it
    std::int64_t tag = 0;
    std::optional<SocketError> error;
    explicit operator bool() const { return !kind.empty(); }
};

class UdpRecorder : public QueueUdpSocketDelegate, public ReportLog<UdpReport> {
public:
    const dispatch::QueuePtr queue = dispatch::makeSerialQueue("udp-recorder");

    void udpSocketDidConnect(QueueUdpSocket&, const Bytes& address) override { add("connect", 0, {}, {}, address); }
    void udpSocketDidSend(QueueUdpSocket&, std::int64_t tag) override { add("sent", tag); }
    void udpSocketDidNotSend(QueueUdpSocket&, std::int64_t tag, const SocketError& error) override {
        add("notSent", tag, error);
    }
    void udpSocketDidReceive(QueueUdpSocket&, const Bytes& data, const Bytes& address, const std::any& context) override {
        add("received", 0, {}, data, address, context);
    }
    void udpSocketDidClose(QueueUdpSocket&, const std::optional<SocketError>& error) override {
        add("closed", 0, error);
    }

    // Every step the socket has queued so far, and every delegate call those steps posted, has run.
    void settle(QueueUdpSocket& socket) {
        socket.performBlock([] {});
        queue->sync([] {});
    }
    std::vector<std::string> received() const { return texts("received"); }
    std::vector<std::int64_t> tags(std::string_view kind) const {
        std::vector<std::int64_t> found;
        for (const auto& r : reports(kind)) found.push_back(r.tag);
        return found;
    }

private:
    void add(std::string kind, std::int64_t tag, std::optional<SocketError> error = {}, const Bytes& data = {},
             Bytes address = {}, std::any context = {}) {
        log({std::move(kind), {data.begin(), data.end()}, std::move(address), std::move(context), tag, std::move(error)});
    }
};

}  // namespace pavonix::sockets::testing
