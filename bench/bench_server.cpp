// Round trips of small requests through the real server, beside the same
// client's round trips to a minimal echo server of the same sizes in the same
// run, and the cost of idle clients. The counter "ratio" of the server rows
// is echo time / server time; the idle rows report the active client's round
// trip with N idle clients connected and the server's resident memory per
// idle client.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

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

const std::vector<uint8_t> api_request = {0x06, 0x01};
const std::string nb_request = "get-nb-tarvex\n"; // no probe here: "1 0\n"

std::map<std::string, double> echo_seconds; // by request kind

void BM_EchoRoundTrip16(benchmark::State &state)
{
    echo_server echo(16);
    tarvex::connection c;
    if (c.open("127.0.0.1", echo.port()) != 0) {
        state.SkipWithError("echo server unreachable");
        return;
    }
    std::vector<uint8_t> reply;
    echo_seconds["api"] = seconds_per_round_trip(state, [&] { c.binary(api_request, 16, &reply); });
}
BENCHMARK(BM_EchoRoundTrip16);

void BM_EchoTextRoundTrip(benchmark::State &state)
{
    echo_server echo(4);
    tarvex::connection c;
    if (c.open("127.0.0.1", echo.port()) != 0) {
        state.SkipWithError("echo server unreachable");
        return;
    }
    std::vector<uint8_t> request(nb_request.begin(), nb_request.end()), reply;
    echo_seconds["text"] = seconds_per_round_trip(state, [&] { c.binary(request, 4, &reply); });
}
BENCHMARK(BM_EchoTextRoundTrip);

void report_ratio(benchmark::State &state, const char *kind, double per_trip)
{
    if (echo_seconds.count(kind) != 0 && per_trip > 0)
        state.counters["ratio"] = echo_seconds[kind] / per_trip;
}

void BM_ServerApiVersionRoundTrip(benchmark::State &state)
{
    tarvex::connection c = server()->connect();
    if (!c.is_open()) {
        state.SkipWithError("server unreachable");
        return;
    }
    std::vector<uint8_t> reply;
    report_ratio(state, "api", seconds_per_round_trip(state, [&] { c.binary(api_request, 16, &reply); }));
}
BENCHMARK(BM_ServerApiVersionRoundTrip);

void BM_ServerTextRoundTrip(benchmark::State &state)
{
    tarvex::connection c = server()->connect();
    if (!c.is_open()) {
        state.SkipWithError("server unreachable");
        return;
    }
    // Taken as the echo reference takes its 4 bytes, not line by line.
    std::vector<uint8_t> request(nb_request.begin(), nb_request.end()), reply;
    double per_trip = seconds_per_round_trip(state, [&] { c.binary(request, 4, &reply); });
    if (std::string(reply.begin(), reply.end()) != "1 0\n")
        state.SkipWithError("unexpected get-nb-tarvex reply");
    else
        report_ratio(state, "text", per_trip);
}
BENCHMARK(BM_ServerTextRoundTrip);

// Enough descriptors for 1000 idle clients in this process.
void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void BM_ServerWithIdleClients(benchmark::State &state)
{
    raise_descriptor_limit();
    tarvex_test::server_process s;
    if (s.start({}) != 0 || s.wait_listening() != 0) {
        state.SkipWithError("server did not start");
        return;
    }
    tarvex::connection active = s.connect();
    std::vector<uint8_t> reply;
    active.binary(api_request, 16, &reply);
    long rss_before = tarvex_test::resident_kib(s.pid);
    int idle_count = static_cast<int>(state.range(0));
    std::vector<tarvex::connection> idle;
    for (int i = 0; i < idle_count; i++)
        idle.push_back(s.connect());
    // The server accepts one client per cycle: wait until it holds them all
    // (its count leaves out the listening socket).
    std::string expected = "1 " + std::to_string(idle_count + 1) + "\n", count;
    for (int i = 0; i < 10000 && count != expected; i++)
        active.text("get-nb-tcp-client\n", &count);
    long rss_after = tarvex_test::resident_kib(s.pid);
    seconds_per_round_trip(state, [&] { active.binary(api_request, 16, &reply); });
    if (idle_count > 0)
        state.counters["rss_per_idle_client_KiB"] = static_cast<double>(rss_after - rss_before) / idle_count;
    state.counters["server_rss_KiB"] = static_cast<double>(rss_after);
}
BENCHMARK(BM_ServerWithIdleClients)->Arg(0)->Arg(100)->Arg(1000)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
