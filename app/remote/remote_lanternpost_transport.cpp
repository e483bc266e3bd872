#include "app/remote/remote_lanternpost_transport.h"

#include <curl/curl.h>

#include <mutex>

namespace pavonix::remote {
namespace {

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct ReplySink {
    Bytes body;
    std::size_t limit = 0;
    bool truncated = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* sink = static_cast<ReplySink*>(context);
    const std::size_t length = size * count;
    if (sink->body.size() + length > sink->limit) {
        sink->truncated = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    sink->body.insert(sink->body.end(), data, data + length);
    return length;
}

// The texts people know from other programs for the failures they meet most; curl's own words
// for the rest.
std::string describeFailure(CURLcode code, const char* detail) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
            return "Could not connect to the server.";
        case CURLE_OPERATION_TIMEDOUT:
            return "The request timed out.";
        case CURLE_COULDNT_RESOLVE_HOST:
            return "A server with the specified hostname could not be found.";
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return "The network connection was lost.";
        default:
            break;
    }
    if (detail != nullptr && detail[0] != '\0') return detail;
    return curl_easy_strerror(code);
}

class CurlTransport final : public RemoteHTTPTransport {
public:
    explicit CurlTransport(std::size_t maxReplyBytes) : maxReplyBytes_(maxReplyBytes) { initializeCurlOnce(); }

    RemoteHTTPTransportResponse perform(const RemoteHTTPTransportRequest& request) override {
        RemoteHTTPTransportResponse response;
        CURL* curl = curl_easy_init();
        if (curl == nullptr) {
            response.errorDescription = curl_easy_strerror(CURLE_FAILED_INIT);
            return response;
        }
        char errorBuffer[CURL_ERROR_SIZE] = {};
        ReplySink sink;
        sink.limit = maxReplyBytes_;

        curl_slist* headers = nullptr;
        // Curl's own defaults would otherwise be sent: "Expect: 100-continue" delays the body,
        // a form content type would describe an empty POST, and "Accept" is not ours to add.
        headers = curl_slist_append(headers, "Expect:");
        headers = curl_slist_append(headers, "Accept:");
        if (request.body.empty()) headers = curl_slist_append(headers, "Content-Type:");
        for (const auto& [name, value] : request.headers) {
            headers = curl_slist_append(headers, (name + ": " + value).c_str());
        }

        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout.count()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

        if (request.method == "GET" && request.body.empty()) {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD" && request.body.empty()) {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
            if (request.method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }

        const CURLcode code = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);

        if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && sink.truncated)) {
            response.outcome = RemoteHTTPTransportResponse::Outcome::response;
            response.statusCode = static_cast<int>(status);
            response.body = std::move(sink.body);
            response.bodyTruncated = sink.truncated;
        } else if (code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_UNSUPPORTED_PROTOCOL) {
            // A reply without an HTTP status line (curl refuses HTTP/0.9 answers this way).
            response.outcome = RemoteHTTPTransportResponse::Outcome::notHTTP;
        } else {
            response.outcome = RemoteHTTPTransportResponse::Outcome::failed;
            response.errorDescription = describeFailure(code, errorBuffer);
        }

        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return response;
    }

private:
    std::size_t maxReplyBytes_;
};

}  // namespace

std::shared_ptr<RemoteHTTPTransport> makeCurlTransport(std::size_t maxReplyBytes) {
    return std::make_shared<CurlTransport>(maxReplyBytes);
}

}  // namespace pavonix::remote
