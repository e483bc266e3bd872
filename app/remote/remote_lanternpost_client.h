// The remote-instance client: turns a command into an HTTP request, signs it with the target's
// pairing secret and sends it to the other instance's HTTP server, then decodes its answer.
//
// Every call reads the secret afresh, draws a new nonce and takes a new timestamp. The work
// (keychain read, network, decoding) runs on a worker queue; the completion runs on the main
// thread through MainExecutor. No call blocks its caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>

#include "app/core/pairing_records.h"
#include "app/core/presentation_command.h"
#include "app/core/slide_list_result.h"
#include "app/remote/http_pairing_store.h"
#include "app/remote/remote_lanternpost_target.h"
#include "app/remote/remote_lanternpost_transport.h"
#include "platform/dispatch/dispatch.h"

namespace pavonix::remote {

struct RemoteLanternpostHTTPRequest {
    std::string method;
    std::string path;
    Bytes body;  // empty for no body

    friend bool operator==(const RemoteLanternpostHTTPRequest&, const RemoteLanternpostHTTPRequest&) = default;
};

// Request bodies, encoded compact with sorted keys.
struct RemoteLanternpostStartPayload {
    bool fromBeginning = false;
};
struct RemoteLanternpostSlideNumberPayload {
    std::int64_t number = 0;
};
struct RemoteLanternpostSlideNamePayload {
    std::string name;
};

class RemoteLanternpostClientError : public std::exception {
public:
    enum class Kind { requestFailed, invalidURL, invalidResponse, decodingFailed };

    explicit RemoteLanternpostClientError(Kind kind, std::string message = {});
    static RemoteLanternpostClientError requestFailed(std::string message) {
        return RemoteLanternpostClientError(Kind::requestFailed, std::move(message));
    }

    Kind kind() const { return kind_; }
    // requestFailed: the carried text; the others their fixed texts.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const RemoteLanternpostClientError& a, const RemoteLanternpostClientError& b) {
        return a.kind_ == b.kind_ && a.description_ == b.description_;
    }

private:
    Kind kind_;
    std::string description_;
};

// A failure of the transport itself (refused, unreachable, timed out), with its description.
struct RemoteTransportError {
    std::string description;
    friend bool operator==(const RemoteTransportError&, const RemoteTransportError&) = default;
};

// Why a remote call failed: one of the program's own errors or the transport's.
class RemoteLanternpostFailure {
public:
    using Error = std::variant<RemoteLanternpostClientError, RemoteLanternpostTargetError, RemoteTransportError>;

    RemoteLanternpostFailure(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

    const Error& error() const { return error_; }
    std::string description() const;

    template <class E>
    const E* as() const {
        return std::get_if<E>(&error_);
    }

private:
    Error error_;
};

// A decoded answer or the failure.
template <class T>
class RemoteLanternpostResult {
public:
    RemoteLanternpostResult(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    RemoteLanternpostResult(RemoteLanternpostFailure failure)                                  // NOLINT
        : storage_(std::in_place_index<1>, std::move(failure)) {}

    bool hasValue() const { return storage_.index() == 0; }
    const T& value() const { return std::get<0>(storage_); }
    T& value() { return std::get<0>(storage_); }
    const RemoteLanternpostFailure& failure() const { return std::get<1>(storage_); }

private:
    std::variant<T, RemoteLanternpostFailure> storage_;
};

class RemoteLanternpostClient {
public:
    static constexpr std::chrono::milliseconds kRequestTimeout{60000};

    explicit RemoteLanternpostClient(std::shared_ptr<RemoteHTTPTransport> transport = makeCurlTransport(),
                                     RandomByteSource random = systemRandomByteSource());

    // POST with the command's path and body: "/start" (body {"fromBeginning":true} only when
    // starting from the first slide), "/goto/slide/number" {"number":n}, "/goto/slide/named"
    // {"name":s}, "/stop", "/show/next", "/show/previous" without a body.
    static RemoteLanternpostHTTPRequest request(const PresentationCommand& command);

    static Bytes encodeBody(const RemoteLanternpostStartPayload& payload);
    static Bytes encodeBody(const RemoteLanternpostSlideNumberPayload& payload);
    static Bytes encodeBody(const RemoteLanternpostSlideNamePayload& payload);

    // http://host:port/path ("/" put in front of a path without one). Throws
    // RemoteLanternpostClientError invalidURL for a host that is not usable in a URL, a port
    // outside 1-65535, or a path with characters that a request target cannot carry.
    static std::string url(std::string_view path, const RemoteLanternpostTarget& target);

    // Signs and sends the request; `completion` gets the decoded 2xx answer of type T (which
    // must have a from_json), or the failure, on the main thread.
    template <class T>
    void sendSigned(std::string path, std::string method, Bytes body, RemoteLanternpostTarget target,
                    std::function<void(RemoteLanternpostResult<T>)> completion) const {
        const std::string lane = target.id;
        gate_->submit(lane, [transport = transport_, random = random_, path = std::move(path), method = std::move(method),
                       body = std::move(body), target = std::move(target),
                       completion = std::move(completion)]() mutable {
            RemoteLanternpostResult<T> result = decode<T>(exchange(*transport, random, path, method, body, target));
            dispatch::MainExecutor::post([completion = std::move(completion), result = std::move(result)]() mutable {
                completion(std::move(result));
            });
        });
    }

    // Requests of one client (and its copies) to one target that run at once; later ones to that
    // target wait their turn in order. A silent host thus ties up only this many workers, for a
    // minute each, and never delays the requests to another target.
    static constexpr std::size_t kMaxConcurrentRequestsPerTarget = 6;

private:
    // Runs on the worker: keychain, URL, signing, transport, status check. Yields the answer's
    // JSON for a 2xx reply.
    static RemoteLanternpostResult<Json> exchange(RemoteHTTPTransport& transport, const RandomByteSource& random,
                                                  const std::string& path, const std::string& method,
                                                  const Bytes& body, const RemoteLanternpostTarget& target);

    template <class T>
    static RemoteLanternpostResult<T> decode(RemoteLanternpostResult<Json> answer) {
        if (!answer.hasValue()) return answer.failure();
        try {
            return answer.value().template get<T>();
        } catch (const std::exception&) {
            return RemoteLanternpostFailure(RemoteLanternpostClientError(RemoteLanternpostClientError::Kind::decodingFailed));
        }
    }

    // Runs blocks on the global queue, per lane (a target id) at most
    // kMaxConcurrentRequestsPerTarget at a time, in order. A lane is forgotten once it is idle.
    class RequestGate : public std::enable_shared_from_this<RequestGate> {
    public:
        void submit(const std::string& lane, dispatch::Block block);

    private:
        struct Lane {
            std::size_t running = 0;
            std::deque<dispatch::Block> waiting;
        };
        void run(std::string lane, dispatch::Block block);
        std::mutex mutex_;
        std::unordered_map<std::string, Lane> lanes_;
    };

    std::shared_ptr<RemoteHTTPTransport> transport_;
    RandomByteSource random_;
    std::shared_ptr<RequestGate> gate_ = std::make_shared<RequestGate>();
};

void to_json(Json& json, const RemoteLanternpostStartPayload& payload);
void to_json(Json& json, const RemoteLanternpostSlideNumberPayload& payload);
void to_json(Json& json, const RemoteLanternpostSlideNamePayload& payload);

}  // namespace pavonix::remote
