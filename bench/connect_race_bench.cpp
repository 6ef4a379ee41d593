// Time to an open connection when the name's first address drops every SYN (a firewall in
// stealth mode, an SDR listening on IPv4 only behind an IPv6 address given first), against a
// name with the live address alone. The addresses are loopback ports handed over by an injected
// resolver: the first a listener whose accept queue is full, which Linux answers by dropping the
// SYN, the second a WebSocket server that accepts every upgrade. The client tries the second
// 250 ms after the first, beside it, so the figure should stay near 250 ms and far below the
// attempt's 2-second limit.

#include "websocket/websocket.h"
#include "websocket/ws_test_support.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace wstest;

// Accepts and upgrades every connection until it is destroyed.
class UpgradingServer {
public:
    UpgradingServer() {
        listener_ = platform::openTcp4();
        platform::setReuseAddress(listener_.get(), true);
        platform::bindTo(listener_.get(), platform::ipv4Address(platform::kLoopbackIpv4, 0));
        platform::listenOn(listener_.get(), 16);
        port_ = platform::localPort(listener_.get());
        thread_ = std::thread([this] {
            while (running_) {
                if (platform::waitSocket(listener_.get(), true, false, 50) <= 0)
                    continue;
                platform::Socket peer = platform::acceptFrom(listener_.get());
                if (!peer.valid())
                    continue;
                platform::setNonBlocking(peer.get(), false);
                sendAllBytes(peer.get(), upgradeReplyFor(readUntil(peer.get(), "\r\n\r\n")));
            }
        });
    }
    ~UpgradingServer() {
        running_ = false;
        thread_.join();
    }
    std::uint16_t port() const { return port_; }

private:
    platform::Socket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

void connectThrough(benchmark::State& state, bool firstSilent) {
    UpgradingServer server;
    SilentPort silent;
    wsclient::ConnectOptions options;
    options.resolver = firstSilent ? loopbackPorts({silent.port(), server.port()})
                                   : loopbackPorts({server.port()});
    const std::string url = "ws://sdr-pc:" + std::to_string(server.port()) + "/";
    std::size_t opened = 0;
    for (auto _ : state) {
        // A fresh connector looks the name up again, as the first attempt after a failure does.
        wsclient::Connector connector(url, "", {}, options);
        const auto start = std::chrono::steady_clock::now();
        auto ws = connector.connect();
        while (ws->readyState() == wsclient::ReadyState::CONNECTING)
            ws->poll(-1);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        opened += ws->readyState() == wsclient::ReadyState::OPEN ? 1 : 0;
    }
    state.counters["opened"] = static_cast<double>(opened);
}

void BM_ConnectFirstAddressDropsSyn(benchmark::State& state) {
    connectThrough(state, true);
}
void BM_ConnectLiveAddressAlone(benchmark::State& state) {
    connectThrough(state, false);
}

BENCHMARK(BM_ConnectFirstAddressDropsSyn)
    ->UseManualTime()
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConnectLiveAddressAlone)
    ->UseManualTime()
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
