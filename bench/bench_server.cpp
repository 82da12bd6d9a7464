// Round trips of small requests through the real server, beside the same
// client's round trips to a minimal echo server in the same run. The
// counter "ratio" of the server rows is echo time / server time.
#include <benchmark/benchmark.h>

#include <memory>

#include "echo_server.h"
#include "round_trip.h"
#include "server_process.h"

namespace
{

tarvex_test::server_process *server()
{
    static std::unique_ptr<tarvex_test::server_process> instance;
    if (!instance) {
        instance = std::make_unique<tarvex_test::server_process>();
        instance->start({});
        instance->wait_listening();
    }
    return instance.get();
}

double echo_seconds_per_round_trip = 0;

void BM_EchoRoundTrip16(benchmark::State &state)
{
    echo_server echo(16);
    tarvex::connection c;
    if (c.open("127.0.0.1", echo.port()) != 0) {
        state.SkipWithError("echo server unreachable");
        return;
    }
    std::vector<uint8_t> request = {0x06, 0x01};
    std::vector<uint8_t> reply;
    echo_seconds_per_round_trip = seconds_per_round_trip(state, [&] { c.binary(request, 16, &reply); });
}
BENCHMARK(BM_EchoRoundTrip16);

void BM_ServerApiVersionRoundTrip(benchmark::State &state)
{
    tarvex::connection c = server()->connect();
    if (!c.is_open()) {
        state.SkipWithError("server unreachable");
        return;
    }
    std::vector<uint8_t> request = {0x06, 0x01};
    std::vector<uint8_t> reply;
    double per_trip = seconds_per_round_trip(state, [&] { c.binary(request, 16, &reply); });
    if (echo_seconds_per_round_trip > 0)
        state.counters["ratio"] = echo_seconds_per_round_trip / per_trip;
}
BENCHMARK(BM_ServerApiVersionRoundTrip);

} // namespace

BENCHMARK_MAIN();
