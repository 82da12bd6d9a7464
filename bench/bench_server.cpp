// Round trips of small requests through the real server, each taken in turn
// with the same client's round trip to a minimal echo server of the same
// sizes; the active client's round trip on a server holding N idle clients
// beside one holding none, and the server's resident memory per idle client;
// an echo that works before it answers, for what a long wait costs the
// client by itself; connecting to a server that checks who connects, and
// the Unix socket's round trip beside loopback TCP's; the round trip on a
// server whose HTTP side is busy (its page fetched 20 times a second, a real
// Prometheus scraping every 100 ms) beside one without --http, and the
// resident memory a thousand idle HTTP connections cost. The counter "ratio"
// is reference time / row time.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "echo_server.h"
#include "http_client.h"
#include "prometheus_process.h"
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
        pin_to_cpu(instance->pid, true);
        instance->wait_listening();
    }
    return instance.get();
}

const std::vector<uint8_t> api_request = {0x06, 0x01};
const std::string nb_request = "get-nb-tarvex\n"; // no probe here: "1 0\n"
const std::vector<uint8_t> nb_bytes(nb_request.begin(), nb_request.end());

// One request to the server beside the same request to the echo server, in
// turn; the text reply is taken as the echo's 4 bytes are, not line by line.
void server_against_echo(benchmark::State &state, const std::vector<uint8_t> &request, size_t reply_size,
                         const std::vector<uint8_t> &expected)
{
    tarvex::connection c = server()->connect();
    echo_client e(reply_size);
    if (!c.is_open() || !e.c.is_open()) {
        state.SkipWithError("server or echo server unreachable");
        return;
    }
    std::vector<uint8_t> reply, echoed;
    auto t = paired_seconds<2>(
        state, {[&] { c.binary(request, reply_size, &reply); }, [&] { e.c.binary(request, reply_size, &echoed); }});
    if (!expected.empty() && reply != expected)
        state.SkipWithError("unexpected server reply");
    else
        report_pair(state, t[0], t[1]);
}

void BM_ApiVersionRoundTrip(benchmark::State &state)
{
    server_against_echo(state, api_request, 16, {});
}
BENCHMARK(BM_ApiVersionRoundTrip);

void BM_TextRoundTrip(benchmark::State &state)
{
    server_against_echo(state, nb_bytes, 4, {'1', ' ', '0', '\n'});
}
BENCHMARK(BM_TextRoundTrip);

// The text echo answering only after the given microseconds of work, beside
// the plain echo: what a client's wait for a slow reply costs beyond the
// work itself, which the driver-plus-echo limits of the memory rows leave
// out (a 31 KiB write keeps the probe busy about 300 us).
void BM_EchoAfterWork(benchmark::State &state)
{
    int work_us = static_cast<int>(state.range(0));
    echo_client slow(4, 0, work_us), plain(4);
    if (!slow.c.is_open() || !plain.c.is_open()) {
        state.SkipWithError("echo server unreachable");
        return;
    }
    std::vector<uint8_t> reply;
    auto t = paired_seconds<2>(
        state, {[&] { slow.c.binary(nb_bytes, 4, &reply); }, [&] { plain.c.binary(nb_bytes, 4, &reply); }});
    report_pair(state, t[0] - work_us * 1e-6, t[1]);
}
BENCHMARK(BM_EchoAfterWork)->Arg(300);

// Enough descriptors for 1000 idle clients in this process.
void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The active client's round trip on a server holding N idle clients,
// beside the same round trip on the shared server, which holds none.
void BM_ServerWithIdleClients(benchmark::State &state)
{
    raise_descriptor_limit();
    tarvex_test::server_process s;
    tarvex::connection quiet = server()->connect();
    if (s.start({}) != 0 || s.wait_listening() != 0 || !quiet.is_open()) {
        state.SkipWithError("server did not start");
        return;
    }
    pin_to_cpu(s.pid, true);
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
    auto t = paired_seconds<2>(
        state, {[&] { active.binary(api_request, 16, &reply); }, [&] { quiet.binary(api_request, 16, &reply); }});
    report_pair(state, t[0], t[1]);
    state.counters["rss_per_idle_client_KiB"] = static_cast<double>(rss_after - rss_before) / idle_count;
    state.counters["server_rss_KiB"] = static_cast<double>(rss_after);
}
BENCHMARK(BM_ServerWithIdleClients)->Arg(100)->Arg(1000)->UseRealTime();

// A server started for one row, on its own, pinned as the shared one is.
bool start_pinned(tarvex_test::server_process *s, const std::vector<std::string> &args)
{
    if (s->start(args) != 0)
        return false;
    pin_to_cpu(s->pid, true);
    return s->wait_listening() == 0;
}

// A connection, its first request's reply and the close.
bool connect_and_ask(const std::string &host, uint16_t port)
{
    tarvex::connection c;
    std::string reply;
    return c.open(host, port, 0) == 0 && c.text(nb_request, &reply) == 0 && reply == "1 0\n";
}

// Connect plus first reply on a server that checks each loopback client's
// owner (--allow-group), beside one that does not. The client runs as
// nobody, admitted through its group nogroup: the owner query and the group
// lookup are both on the measured path (root would be admitted at once).
void BM_ConnectWithAllowGroup(benchmark::State &state)
{
    tarvex_test::server_process guarded, open;
    if (!start_pinned(&guarded, {"--allow-group", "nogroup"}) || !start_pinned(&open, {})) {
        state.SkipWithError("server did not start");
        return;
    }
    if (seteuid(65534) != 0) {
        state.SkipWithError("cannot act as nobody (run as root)");
        return;
    }
    bool served = true;
    auto t = paired_seconds<2>(state, {[&] { served &= connect_and_ask("127.0.0.1", guarded.port); },
                                       [&] { served &= connect_and_ask("127.0.0.1", open.port); }});
    if (seteuid(0) != 0 || !served)
        state.SkipWithError("a client was not served");
    else
        report_pair(state, t[0], t[1]);
}
BENCHMARK(BM_ConnectWithAllowGroup);

// A text round trip over the server's Unix socket beside the same over
// loopback TCP, on one server.
void BM_UnixSocketRoundTrip(benchmark::State &state)
{
    tarvex_test::server_process s;
    std::string path = s.dir + "/bench.sock";
    if (!start_pinned(&s, {"--unix", path})) {
        state.SkipWithError("server did not start");
        return;
    }
    tarvex::connection local, tcp;
    if (local.open("unix:" + path, 0) != 0 || tcp.open("127.0.0.1", s.port) != 0) {
        state.SkipWithError("server unreachable");
        return;
    }
    std::vector<uint8_t> a, b;
    auto t = paired_seconds<2>(state, {[&] { local.binary(nb_bytes, 4, &a); }, [&] { tcp.binary(nb_bytes, 4, &b); }});
    report_pair(state, t[0], t[1]);
}
BENCHMARK(BM_UnixSocketRoundTrip);

// A server with its HTTP side on a free port, pinned as the shared one is.
bool start_with_http(tarvex_test::server_process *s, uint16_t *http_port)
{
    *http_port = tarvex_test::free_port();
    if (!start_pinned(s, {"--http", "127.0.0.1:" + std::to_string(*http_port)}))
        return false;
    tarvex_test::http_reply reply;
    return tarvex_test::http_get(*http_port, "/healthz", &reply) == 0 && reply.status == 200;
}

// The status page as an open browser tab reads it, 20 times a second: the
// page and its data, until stopped.
void refresh_page(uint16_t port, const std::atomic<bool> *stop)
{
    auto next = std::chrono::steady_clock::now();
    while (!stop->load()) {
        tarvex_test::http_reply reply;
        tarvex_test::http_get(port, "/", &reply);
        tarvex_test::http_get(port, "/status.json", &reply);
        next += std::chrono::milliseconds(50);
        std::this_thread::sleep_until(next);
    }
}

// get-nb-tarvex on a server whose page is refreshed 20/s and which a real
// Prometheus scrapes every 100 ms, beside the same on the shared server
// (no --http).
void BM_RoundTripWithHttpBusy(benchmark::State &state)
{
    tarvex_test::server_process s;
    uint16_t http_port = 0;
    tarvex_test::prometheus_process prometheus;
    if (!start_with_http(&s, &http_port) || prometheus.start(http_port) != 0 ||
        !prometheus.sees("up{job=\"tarvex\"}", 1)) {
        state.SkipWithError("server or Prometheus did not start");
        return;
    }
    pin_to_cpu(prometheus.pid, true);
    std::atomic<bool> stop{false};
    std::thread page(refresh_page, http_port, &stop);
    tarvex::connection busy = s.connect(), quiet = server()->connect();
    std::vector<uint8_t> a, b;
    auto t = paired_seconds<2>(state, {[&] { busy.binary(nb_bytes, 4, &a); }, [&] { quiet.binary(nb_bytes, 4, &b); }});
    stop = true;
    page.join();
    report_pair(state, t[0], t[1]);
    state.counters["scrapes"] = prometheus.query("count_over_time(up{job=\"tarvex\"}[10m])");
}
BENCHMARK(BM_RoundTripWithHttpBusy)->UseRealTime();

// The server's resident memory with 1,000 idle HTTP connections, and the
// round trip meanwhile beside the shared server's.
void BM_HttpIdleConnections(benchmark::State &state)
{
    raise_descriptor_limit();
    tarvex_test::server_process s;
    uint16_t http_port = 0;
    if (!start_with_http(&s, &http_port)) {
        state.SkipWithError("server did not start");
        return;
    }
    tarvex::connection active = s.connect(), quiet = server()->connect();
    std::vector<uint8_t> reply;
    active.binary(nb_bytes, 4, &reply);
    long rss_before = tarvex_test::resident_kib(s.pid);
    std::vector<int> idle;
    for (int i = 0; i < 1000; i++)
        idle.push_back(tarvex_test::http_connect(http_port));
    // Accepted once the server holds a descriptor for each.
    for (int i = 0; i < 2000 && tarvex_test::open_descriptors(s.pid) < 1000; i++)
        active.binary(nb_bytes, 4, &reply);
    long rss_after = tarvex_test::resident_kib(s.pid);
    auto t = paired_seconds<2>(
        state, {[&] { active.binary(nb_bytes, 4, &reply); }, [&] { quiet.binary(nb_bytes, 4, &reply); }});
    for (int fd : idle)
        if (fd >= 0)
            close(fd);
    report_pair(state, t[0], t[1]);
    state.counters["rss_per_http_connection_KiB"] = static_cast<double>(rss_after - rss_before) / 1000;
    state.counters["server_rss_KiB"] = static_cast<double>(rss_after);
}
BENCHMARK(BM_HttpIdleConnections)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    pin_to_cpu(0, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
