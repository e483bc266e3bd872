// OSC datagrams per second from their arrival to the model's command handler: this program's OSC
// bridge (UDP socket, parser, router, then a task on the main thread) beside a liblo server thread
// doing the same dispatch (its own receive and parse, the same router, the same main-thread task).
// The handler counts commands, standing in for the model with a counting controller. The sender
// keeps a fixed number of datagrams in flight, so loopback never drops one and both sides see the
// same load; the benchmark thread is the main thread and drains the main queue.
#include <benchmark/benchmark.h>

#include <lo/lo.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "app/core/command_router.h"
#include "app/osc/osc_bridge_server.h"
#include "osc/osc_message.h"
#include "platform/dispatch/dispatch.h"

namespace {

using namespace pavonix;

constexpr int kDatagrams = 4096;
constexpr int kInFlight = 64;

std::int64_t counted = 0;

CommandResult countCommand(const PresentationCommand& command) {
    ++counted;
    return CommandResult::ok(command, "counted");
}

// Sends kDatagrams to the port, never more than kInFlight ahead of the count, draining the main
// queue meanwhile. False when the count stalls (a datagram was lost).
bool drive(int fd, std::uint16_t port, const std::vector<std::uint8_t>& datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::int64_t start = counted;
    int sent = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    std::int64_t lastCount = counted;
    while (counted - start < kDatagrams) {
        while (sent < kDatagrams && sent - (counted - start) < kInFlight) {
            ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ++sent;
        }
        dispatch::drainMainQueue();
        if (counted != lastCount) {
            lastCount = counted;
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(2)) {
            return false;
        }
    }
    return true;
}

void run(benchmark::State& state, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto datagram = osc::OSCMessage("/goto/slide/number", {std::int32_t{7}}).packetData();
    for (auto _ : state) {
        if (!drive(fd, port, datagram)) {
            state.SkipWithError("a datagram was lost");
            break;
        }
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * kDatagrams);
}

void BM_PavonixBridge(benchmark::State& state) {
    dispatch::setMainThread();
    auto bridge = oscbridge::OSCBridgeServer::make(
        0, network::ServerListenBinding{"127.0.0.1", "127.0.0.1", "localhost"}, countCommand, nullptr);
    bridge->start();
    run(state, bridge->server()->boundUDPPort());
    bridge->stop();
    dispatch::drainMainQueue();
}

// liblo: the same argument conversion, router and main-thread task as the bridge.
int libloHandler(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void*) {
    std::vector<CommandArgument> arguments;
    for (int i = 0; i < argc; ++i) {
        switch (types[i]) {
            case 'i': arguments.emplace_back(argv[i]->i); break;
            case 'f': arguments.emplace_back(argv[i]->f); break;
            case 's': arguments.emplace_back(std::string(&argv[i]->s)); break;
            default: arguments.emplace_back(CommandArgumentNil{}); break;
        }
    }
    try {
        auto command = CommandRouter::command(path, arguments);
        dispatch::MainExecutor::post([command = std::move(command)] { countCommand(command); });
    } catch (const CommandRouteError&) {
    }
    return 0;
}

void BM_LibloServerThread(benchmark::State& state) {
    dispatch::setMainThread();
    lo_server_thread server = lo_server_thread_new_with_proto(nullptr, LO_UDP, nullptr);
    lo_server_thread_add_method(server, nullptr, nullptr, libloHandler, nullptr);
    lo_server_thread_start(server);
    run(state, static_cast<std::uint16_t>(lo_server_thread_get_port(server)));
    lo_server_thread_stop(server);
    lo_server_thread_free(server);
    dispatch::drainMainQueue();
}

BENCHMARK(BM_PavonixBridge)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibloServerThread)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
