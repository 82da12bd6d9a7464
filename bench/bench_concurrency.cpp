// Clients that must not hold each other up, through the real server on
// virtual probes as slow as a full-speed probe (fast transport, 1 ms a
// command):
//   - client B's 4-byte memory read on probe 2 while client A's 256 KiB read
//     runs on probe 1, beside B alone;
//   - a probe-less request ("get-nb-tarvex") while A's read runs, while four
//     clients that never read hold 256 KiB replies, and while a memory
//     write's payload trickles in, each beside the same request on the quiet
//     server;
//   - a probe-less request, and client B's 4-byte read on probe 2, while
//     probe 1 is held by one client and ten others' requests wait behind
//     the hold, each beside the same request on the quiet server;
//   - the memory-read throughput of 1, 2, 4 and 8 clients at once, each on a
//     probe of its own, beside one client alone.
// Each iteration takes its phases in turn (quiet, then loaded), so both
// sample the same stretch of the run. Round trips are collected one per
// request; the counters are their percentiles: p50_us and p99_us under the
// load, ref_p50_us and ref_p99_us on the quiet server, and measured_us /
// reference_us the two p99s. The throughput rows are times, as elsewhere:
// N reads at once against one read alone.
//
// The binary starts itself again under tarvex-vprobe --fast when it is not
// already running under one, with eight probes at 1 ms a command and one
// without latency for the clients whose probe work is not what is measured.
#include <benchmark/benchmark.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "round_trip.h"
#include "server_process.h"
#include "tarvex_text.h"
#include "text_requests.h"

namespace
{

constexpr int SLOW_PROBES = 8;
constexpr const char *LATENCY_US = "1000";
// Every probe has 256 KiB of RAM, so that A's reads fit.
constexpr const char *SLOW_PROBE = "ram=0x20000000:0x40000";
// The probe of the non-readers and the trickler: no latency, its own serial.
constexpr const char *QUICK_SERIAL = "7E5756500000000000000FA5";

constexpr size_t STREAM_BYTES = 256 << 10;
constexpr size_t SMALL_READ_BYTES = 4;
constexpr size_t THROUGHPUT_BYTES = 64 << 10;
constexpr int NON_READERS = 4;
constexpr unsigned TRICKLED_BYTES = 256;
constexpr auto TRICKLE_INTERVAL = std::chrono::milliseconds(5);
// A 256 KiB read at 1 ms a command takes about half a second; a loaded
// machine may stretch it several times.
constexpr int LONG_READ_TIMEOUT_MS = 30000;

const std::string nb_request = "get-nb-tarvex\n";

// The server, started once (it inherits this process's virtual probes), and
// the keys of its probes.
struct shared_server {
    tarvex_test::server_process process;
    std::vector<uint32_t> slow_keys; // the probes with latency, in the server's order
    uint32_t quick_key = 0;
    std::string nb_reply; // what "get-nb-tarvex" answers
};

bool list_probes(shared_server *s)
{
    tarvex::connection c = s->process.connect();
    int count = 0;
    if (!c.is_open() || tarvex::probe_count(c, &count) != 0)
        return false;
    for (int i = 0; i < count; i++) {
        tarvex::probe_entry entry;
        bool found = false;
        if (tarvex::describe_probe(c, i, &entry, &found) != 0 || !found)
            return false;
        if (entry.serial == QUICK_SERIAL)
            s->quick_key = entry.key;
        else
            s->slow_keys.push_back(entry.key);
    }
    s->nb_reply = "1 " + std::to_string(count) + "\n";
    return s->slow_keys.size() == SLOW_PROBES && s->quick_key != 0;
}

shared_server *server()
{
    static std::unique_ptr<shared_server> s;
    static bool ready = false;
    if (s)
        return ready ? s.get() : nullptr;
    s = std::make_unique<shared_server>();
    if (s->process.start({}) != 0 || s->process.wait_listening() != 0)
        return nullptr;
    // The probe workers are started by the loop's thread later, and inherit this.
    pin_to_cpu(s->process.pid, true);
    ready = list_probes(s.get());
    return ready ? s.get() : nullptr;
}

// A client connection holding an association on one probe.
struct probe_client {
    tarvex::connection c;
    uint32_t assoc = 0;
};

bool open_client(shared_server *s, uint32_t key, probe_client *client)
{
    client->c = s->process.connect();
    return client->c.is_open() && tarvex::open_device(client->c, key, &client->assoc) == 0 && client->assoc != 0;
}

// One memory read of a client, prepared before the timing starts.
struct prepared_read {
    probe_client *client;
    std::string request;
    std::string header;
    std::vector<uint8_t> reply;
    prepared_read(probe_client *c, size_t bytes)
        : client(c), request(read_request(c->assoc, bytes)), header(read_header(bytes)), reply(header.size() + bytes)
    {
    }
    bool send() { return client->c.send_bytes(request.data(), request.size()) == 0; }
    bool receive()
    {
        return client->c.recv_exact(reply.data(), reply.size(), LONG_READ_TIMEOUT_MS) == 0 &&
               std::equal(header.begin(), header.end(), reply.begin());
    }
    bool run() { return send() && receive(); }
};

// Times one request; false when it failed.
template <typename F> bool timed(F request, double *us)
{
    auto start = std::chrono::steady_clock::now();
    bool ok = request();
    *us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    return ok;
}

void report_percentiles(benchmark::State &state, const samples &loaded, const samples &quiet)
{
    state.counters["p50_us"] = percentile(loaded, 0.50);
    state.counters["ref_p50_us"] = percentile(quiet, 0.50);
    state.counters["samples"] = static_cast<double>(loaded.size());
    state.counters["ref_samples"] = static_cast<double>(quiet.size());
    report_pair(state, percentile(loaded, 0.99) * 1e-6, percentile(quiet, 0.99) * 1e-6);
}

// Each iteration: quiet_count requests on the quiet server, then requests
// while the load lasts, at most loaded_count. A load has begin() (true once
// it is under way), lasts() and end() (true when it went as it should; it
// is called after a failed begin() too, and tidies up what began). A
// request sent while the load lasts counts, however long it waits: a server
// that held it until the load was over must show that wait.
template <typename Request, typename Load>
void sample_phases(benchmark::State &state, Request request, Load &load, size_t quiet_count, size_t loaded_count)
{
    samples quiet, loaded;
    // Untimed first, behind whatever the probe still does for the clients
    // of the previous benchmark (closing them takes it out of debug mode).
    bool ok = request();
    double us = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < quiet_count && ok; i++)
            if ((ok = timed(request, &us)))
                quiet.push_back(us);
        ok = ok && load.begin();
        for (size_t i = 0; i < loaded_count && ok && load.lasts(); i++)
            if ((ok = timed(request, &us)))
                loaded.push_back(us);
        ok = load.end() && ok;
        if (!ok)
            break;
    }
    if (!ok || loaded.empty())
        state.SkipWithError("a request failed, or the load did not run");
    else
        report_percentiles(state, loaded, quiet);
}

// Quiet requests per iteration: about as long as A's read (half a second),
// so that a percentile of either phase rests on as many samples.
constexpr size_t QUIET_PROBE_READS = 250;
constexpr size_t QUIET_PROBELESS = 5000;
constexpr size_t ALL_WHILE_IT_LASTS = SIZE_MAX;

// Client A's 256 KiB read on a thread of its own: under way once its request
// is sent, over once its whole reply is in.
class stream_load
{
public:
    static constexpr size_t loaded_count = ALL_WHILE_IT_LASTS;
    explicit stream_load(shared_server *s) : opened_(open_client(s, s->slow_keys[0], &a_)), read_(&a_, STREAM_BYTES) {}
    bool begin()
    {
        if (!opened_)
            return false;
        sent_ = false;
        done_ = false;
        thread_ = std::thread([this] {
            ok_ = read_.send();
            sent_ = true;
            ok_ = ok_ && read_.receive();
            done_ = true;
        });
        while (!sent_)
            std::this_thread::yield();
        return true;
    }
    bool lasts() const { return !done_; }
    bool end()
    {
        if (thread_.joinable())
            thread_.join();
        return ok_;
    }

private:
    probe_client a_;
    bool opened_;
    prepared_read read_;
    std::thread thread_;
    std::atomic<bool> sent_{false}, done_{false};
    bool ok_ = false;
};

// Four clients that each ask for a 256 KiB read and never read the reply:
// under way once every reply has started to arrive, so the rest waits in the
// server; ended by closing them.
class non_reader_load
{
public:
    static constexpr size_t loaded_count = QUIET_PROBELESS;
    explicit non_reader_load(shared_server *s) : server_(s) {}
    bool begin()
    {
        clients_ = std::vector<probe_client>(NON_READERS);
        for (probe_client &client : clients_) {
            if (!open_client(server_, server_->quick_key, &client))
                return false;
            std::string request = read_request(client.assoc, STREAM_BYTES);
            if (client.c.send_bytes(request.data(), request.size()) != 0)
                return false;
        }
        for (probe_client &client : clients_) {
            pollfd p = {client.c.fd(), POLLIN, 0};
            if (poll(&p, 1, LONG_READ_TIMEOUT_MS) != 1)
                return false;
        }
        return true;
    }
    bool lasts() const { return true; }
    bool end()
    {
        clients_.clear();
        return true;
    }

private:
    shared_server *server_;
    std::vector<probe_client> clients_;
};

// A memory write announcing 256 bytes whose payload comes one byte every
// 5 ms: under way once its command line is sent; ended by closing it before
// the payload is complete, so nothing is written.
class trickle_load
{
public:
    static constexpr size_t loaded_count = QUIET_PROBELESS;
    explicit trickle_load(shared_server *s) : server_(s) {}
    bool begin()
    {
        if (!open_client(server_, server_->quick_key, &writer_))
            return false;
        char line[96];
        snprintf(line, sizeof(line), "tarvex-tcp-write-mem %u 20000000 1 %x 0\n", writer_.assoc, TRICKLED_BYTES);
        if (writer_.c.send_bytes(line, strlen(line)) != 0)
            return false;
        stop_ = false;
        thread_ = std::thread([this] {
            const uint8_t byte = 0x5A;
            for (unsigned i = 1; i < TRICKLED_BYTES && !stop_; i++) {
                std::this_thread::sleep_for(TRICKLE_INTERVAL);
                writer_.c.send_bytes(&byte, 1);
            }
        });
        return true;
    }
    bool lasts() const { return true; }
    bool end()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        writer_.c.close();
        return true;
    }

private:
    shared_server *server_;
    probe_client writer_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

constexpr int HOLD_WAITERS = 10;

// Probe 1 held by one client while ten others' requests wait behind it:
// under way once the server counts all ten waiting; ended by releasing the
// hold, after which every waiter must be answered.
class hold_load
{
public:
    static constexpr size_t loaded_count = QUIET_PROBELESS;
    explicit hold_load(shared_server *s) : server_(s) {}
    bool begin()
    {
        watcher_ = server_->process.connect();
        waiters_ = std::vector<probe_client>(HOLD_WAITERS);
        int held = -1;
        if (!open_client(server_, server_->slow_keys[0], &holder_) ||
            tarvex::hold_probe(holder_.c, holder_.assoc, 0, &held) != 0 || held != 0)
            return false;
        for (probe_client &waiter : waiters_) {
            if (!open_client(server_, server_->slow_keys[0], &waiter))
                return false;
            std::string request = "tarvex-usb-get-status " + std::to_string(waiter.assoc) + "\n";
            if (waiter.c.send_bytes(request.data(), request.size()) != 0)
                return false;
        }
        return all_waiting();
    }
    bool lasts() const { return true; }
    bool end()
    {
        int released = -1;
        bool ok = tarvex::release_probe(holder_.c, holder_.assoc, &released) == 0 && released == 0;
        for (probe_client &waiter : waiters_) {
            std::string reply;
            ok = ok && waiter.c.recv_line(&reply, LONG_READ_TIMEOUT_MS) == 0;
        }
        waiters_.clear();
        holder_.c.close();
        return ok;
    }

private:
    bool all_waiting()
    {
        tarvex::probe_holder h;
        bool found = false;
        for (int i = 0; i < 10000; i++) {
            if (tarvex::probe_holder_of(watcher_, holder_.assoc, &h, &found) != 0 || !found)
                return false;
            if (h.waiters == HOLD_WAITERS)
                return true;
            std::this_thread::yield();
        }
        return false;
    }
    shared_server *server_;
    tarvex::connection watcher_;
    probe_client holder_;
    std::vector<probe_client> waiters_;
};

// A probe-less request and its check.
struct probeless_request {
    tarvex::connection c;
    const std::string &expected;
    std::vector<uint8_t> reply;
    explicit probeless_request(shared_server *s)
        : c(s->process.connect()), expected(s->nb_reply), reply(expected.size())
    {
    }
    bool operator()()
    {
        return exchange(c, nb_request.data(), nb_request.size(), reply.data(), reply.size()) &&
               std::equal(expected.begin(), expected.end(), reply.begin());
    }
};

// Client B's 4-byte read on probe 2 while the Load lasts (at most
// loaded_count reads), beside B alone.
template <typename Load> void probe_read_under(benchmark::State &state, size_t loaded_count)
{
    shared_server *s = server();
    probe_client b;
    if (s == nullptr || !open_client(s, s->slow_keys[1], &b)) {
        state.SkipWithError("no virtual probes, or the server could not open them");
        return;
    }
    prepared_read small(&b, SMALL_READ_BYTES);
    Load load(s);
    sample_phases(
        state, [&] { return small.run(); }, load, QUIET_PROBE_READS, loaded_count);
}

void BM_ProbeReadDuringStream(benchmark::State &state)
{
    probe_read_under<stream_load>(state, stream_load::loaded_count);
}
BENCHMARK(BM_ProbeReadDuringStream)->UseRealTime();

// A probe-less request while the Load lasts, beside the quiet server.
template <typename Load> void probeless_under(benchmark::State &state)
{
    shared_server *s = server();
    if (s == nullptr) {
        state.SkipWithError("no virtual probes");
        return;
    }
    probeless_request request(s);
    Load load(s);
    sample_phases(state, std::ref(request), load, QUIET_PROBELESS, Load::loaded_count);
}

void BM_ProbelessDuringStream(benchmark::State &state)
{
    probeless_under<stream_load>(state);
}
BENCHMARK(BM_ProbelessDuringStream)->UseRealTime();

void BM_ProbelessWithNonReaders(benchmark::State &state)
{
    probeless_under<non_reader_load>(state);
}
BENCHMARK(BM_ProbelessWithNonReaders)->UseRealTime();

void BM_ProbelessWithTrickledWrite(benchmark::State &state)
{
    probeless_under<trickle_load>(state);
}
BENCHMARK(BM_ProbelessWithTrickledWrite)->UseRealTime();

void BM_ProbelessWhileHeld(benchmark::State &state)
{
    probeless_under<hold_load>(state);
}
BENCHMARK(BM_ProbelessWhileHeld)->UseRealTime();

void BM_OtherProbeReadWhileHeld(benchmark::State &state)
{
    probe_read_under<hold_load>(state, QUIET_PROBE_READS);
}
BENCHMARK(BM_OtherProbeReadWhileHeld)->UseRealTime();

// The first n reads at once, each on a thread of its own (one thread for one
// read, so that both steps start their reads the same way).
bool reads_at_once(std::vector<prepared_read> &reads, size_t n)
{
    std::vector<std::thread> threads;
    std::vector<char> ok(n, 0);
    for (size_t i = 0; i < n; i++)
        threads.emplace_back([&, i] { ok[i] = reads[i].run(); });
    for (std::thread &t : threads)
        t.join();
    return std::all_of(ok.begin(), ok.end(), [](char v) { return v != 0; });
}

// N clients, each reading 64 KiB from a probe of its own at once, beside one
// of them alone: with N times the data in the same time the ratio is 1.
void BM_ReadsOnProbesAtOnce(benchmark::State &state)
{
    shared_server *s = server();
    size_t n = static_cast<size_t>(state.range(0));
    std::vector<probe_client> clients(n);
    for (size_t i = 0; s != nullptr && i < n; i++)
        if (!open_client(s, s->slow_keys[i], &clients[i]))
            s = nullptr;
    if (s == nullptr) {
        state.SkipWithError("no virtual probes, or the server could not open them");
        return;
    }
    std::vector<prepared_read> reads;
    for (probe_client &client : clients)
        reads.emplace_back(&client, THROUGHPUT_BYTES);
    bool ok = reads_at_once(reads, n); // untimed, as the first request of each row
    auto t = paired_seconds<2>(
        state, {[&] { ok = reads_at_once(reads, n) && ok; }, [&] { ok = reads_at_once(reads, 1) && ok; }});
    if (!ok) {
        state.SkipWithError("a read failed");
        return;
    }
    report_pair(state, t[0], t[1]);
    state.counters["aggregate_MBps"] = static_cast<double>(n * THROUGHPUT_BYTES) / t[0] / 1e6;
    state.counters["one_probe_MBps"] = static_cast<double>(THROUGHPUT_BYTES) / t[1] / 1e6;
}
BENCHMARK(BM_ReadsOnProbesAtOnce)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> vprobe = {"--fast", "--latency", LATENCY_US};
    for (int i = 0; i < SLOW_PROBES; i++)
        vprobe.insert(vprobe.end(), {"--probe", SLOW_PROBE});
    vprobe.insert(vprobe.end(), {"--probe", std::string(SLOW_PROBE) + ",latency=0,serial=" + QUICK_SERIAL});
    tarvex_test::reexec_under_vprobe(argv, vprobe);
    pin_to_cpu(0, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
