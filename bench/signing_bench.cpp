// Signing and verifying one request with a 1 KiB body, as the remote client and the HTTP bridge
// do it. Target: verification under 5 microseconds.
#include "app/http/http_request_authenticator.h"
#include "app/signing/request_signing.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pavonix;
using namespace pavonix::http;

constexpr double kNow = 1700000000;

HTTPAuthCredential credential() { return {"lpp_benchmarkpair", Bytes(32, 0x5a)}; }

Bytes body() { return Bytes(1024, '{'); }

HTTPRequest signedRequest(const std::string& nonce) {
    const auto bytes = body();
    const auto headers = signing::signRequest(credential(), "POST", "/goto/slide/named", bytes, "1700000000", nonce);
    HTTPRequest request{"POST", "/goto/slide/named", {}, bytes};
    request.headers["x-pavonix-pair-id"] = headers.pairID;
    request.headers["x-pavonix-timestamp"] = headers.timestamp;
    request.headers["x-pavonix-nonce"] = headers.nonce;
    request.headers["x-pavonix-signature"] = headers.signature;
    request.headers["content-type"] = "application/json";
    request.headers["host"] = "127.0.0.1:8090";
    return request;
}

void BM_SignRequest(benchmark::State& state) {
    const auto cred = credential();
    const auto bytes = body();
    for (auto _ : state) {
        auto nonce = signing::makeRequestNonce();
        auto headers = signing::signRequest(cred, "POST", "/goto/slide/named", bytes, signing::signatureTimestamp(kNow), std::move(*nonce));
        benchmark::DoNotOptimize(headers);
    }
}
BENCHMARK(BM_SignRequest);

// The whole check the server runs per request, nonce memory included. Each request carries its
// own nonce; the authenticator is replaced (untimed) before the pair's nonce cap is reached.
void BM_VerifyRequest(benchmark::State& state) {
    constexpr std::size_t kBatch = 4096;
    std::vector<HTTPRequest> requests;
    for (std::size_t i = 0; i < kBatch; ++i) requests.push_back(signedRequest("nonce-" + std::to_string(i)));
    const HTTPAuthConfiguration configuration{true, {{"lpp_other", Bytes(32, 1)}, credential()}};
    auto authenticator = std::make_unique<HTTPRequestAuthenticator>(configuration);
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            authenticator = std::make_unique<HTTPRequestAuthenticator>(configuration);
            next = 0;
            state.ResumeTiming();
        }
        const auto result = authenticator->authenticate(requests[next++], false, kNow);
        if (!result.accepted()) state.SkipWithError("a valid request was refused");
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_VerifyRequest);

// A forged signature: the server computes both identifiers before refusing.
void BM_RefuseForgedRequest(benchmark::State& state) {
    auto request = signedRequest("nonce");
    request.headers["x-pavonix-signature"] = std::string(43, 'A');
    HTTPRequestAuthenticator authenticator({true, {credential()}});
    for (auto _ : state) {
        const auto result = authenticator.authenticate(request, false, kNow);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_RefuseForgedRequest);

}  // namespace

BENCHMARK_MAIN();
