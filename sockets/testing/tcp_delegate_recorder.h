// Test support: a QueueTcpSocket delegate that logs every report (with whether it ran on the
// delegate queue it was given), keeps accepted sockets alive, can act on reports through hooks,
// and waits for the log with a bound. Not linked into the program.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sockets/queue_tcp_socket.h"

namespace pavonix::sockets::testing {

struct TcpReport {
    std::string kind;  // "accept", "connect", "read", "partialRead", "write", "partialWrite",
                       // "readTimeout", "writeTimeout", "closeReadStream", "disconnect", "secure",
                       // "trust"
    const QueueTcpSocket* socket = nullptr;  // identity only: the log keeps no socket alive
    std::string text;  // host or path of a connect, bytes of a read
    std::uint16_t port = 0;
    std::int64_t tag = 0;
    std::size_t length = 0;
    std::optional<SocketError> error;
    bool onDelegateQueue = false;
};

class TcpDelegateRecorder : public QueueTcpSocketDelegate {
public:
    const dispatch::QueuePtr queue = dispatch::makeSerialQueue("delegate");
    // Hooks run on the delegate queue after the report is logged.
    std::function<void(const QueueTcpSocketPtr&)> onAccept;
    std::function<void(const QueueTcpSocketPtr&, const ReadData&, std::int64_t)> onRead;
    // Without it the recorder declines trust questions, as a delegate that leaves them alone.
    std::function<void(const TlsPeerTrust&, std::function<void(bool)>)> onTrust;
    // Answers to the time-out questions, taken in order; 0 once they run out.
    std::deque<double> timeoutAnswers;

    std::vector<TcpReport> reports() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    std::size_t count(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        return std::count_if(reports_.begin(), reports_.end(), [&](const TcpReport& r) { return r.kind == kind; });
    }
    // The first report of that kind, waiting for it up to `timeout`.
    std::optional<TcpReport> waitFor(const std::string& kind, std::size_t nth = 1,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        std::optional<TcpReport> found;
        changed_.wait_for(lock, timeout, [&] {
            std::size_t seen = 0;
            for (const auto& r : reports_)
                if (r.kind == kind && ++seen == nth) found = r;
            return found.has_value();
        });
        return found;
    }
    std::vector<QueueTcpSocketPtr> accepted() const {
        std::lock_guard lock(mutex_);
        return accepted_;
    }
    void dropAccepted() {
        std::lock_guard lock(mutex_);
        accepted_.clear();
    }

    void socketDidAcceptNewSocket(const QueueTcpSocketPtr&, const QueueTcpSocketPtr& socket) override {
        {
            std::lock_guard lock(mutex_);
            accepted_.push_back(socket);
        }
        log("accept", socket.get());
        if (onAccept) onAccept(socket);
    }
    void socketDidConnectToHost(const QueueTcpSocketPtr& s, const std::string& host, std::uint16_t port) override {
        log("connect", s.get(), host, port);
    }
    void socketDidConnectToUrl(const QueueTcpSocketPtr& s, const std::string& path) override {
        log("connect", s.get(), path);
    }
    void socketDidReadData(const QueueTcpSocketPtr& s, const ReadData& data, std::int64_t tag) override {
        log("read", s.get(), std::string(data.text()), 0, tag, data.size());
        if (onRead) onRead(s, data, tag);
    }
    void socketDidReadPartialData(const QueueTcpSocketPtr& s, std::size_t length, std::int64_t tag) override {
        log("partialRead", s.get(), {}, 0, tag, length);
    }
    void socketDidWriteData(const QueueTcpSocketPtr& s, std::int64_t tag) override { log("write", s.get(), {}, 0, tag); }
    void socketDidWritePartialData(const QueueTcpSocketPtr& s, std::size_t length, std::int64_t tag) override {
        log("partialWrite", s.get(), {}, 0, tag, length);
    }
    double shouldTimeoutRead(const QueueTcpSocketPtr& s, std::int64_t tag, double elapsed, std::size_t done) override {
        log("readTimeout", s.get(), std::to_string(elapsed), 0, tag, done);
        return nextAnswer();
    }
    double shouldTimeoutWrite(const QueueTcpSocketPtr& s, std::int64_t tag, double elapsed, std::size_t done) override {
        log("writeTimeout", s.get(), std::to_string(elapsed), 0, tag, done);
        return nextAnswer();
    }
    void socketDidCloseReadStream(const QueueTcpSocketPtr& s) override { log("closeReadStream", s.get()); }
    void socketDidDisconnect(const QueueTcpSocketPtr& s, const std::optional<SocketError>& error) override {
        log("disconnect", s.get(), {}, 0, 0, 0, error);
    }
    void socketDidSecure(const QueueTcpSocketPtr& s) override { log("secure", s.get()); }
    bool socketDidReceiveTrust(const QueueTcpSocketPtr& s, const TlsPeerTrust& trust,
                               std::function<void(bool)> completion) override {
        log("trust", s.get(), trust.verification, 0, 0, trust.certificates.size());
        if (!onTrust) return false;
        onTrust(trust, std::move(completion));
        return true;
    }

private:
    void log(std::string kind, const QueueTcpSocket* socket, std::string text = {}, std::uint16_t port = 0,
             std::int64_t tag = 0, std::size_t length = 0, std::optional<SocketError> error = std::nullopt) {
        TcpReport report{std::move(kind), socket, std::move(text), port, tag, length, std::move(error),
                         queue->isCurrent()};
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(report));
        changed_.notify_all();
    }
    double nextAnswer() {
        std::lock_guard lock(mutex_);
        if (timeoutAnswers.empty()) return 0;
        const double answer = timeoutAnswers.front();
        timeoutAnswers.pop_front();
        return answer;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TcpReport> reports_;
    std::vector<QueueTcpSocketPtr> accepted_;
};

}  // namespace pavonix::sockets::testing
