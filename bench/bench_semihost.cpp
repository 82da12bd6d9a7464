// The semihosting run loop on the test firmware's write0=2000 mode (2,000
// SYS_WRITE0 calls), through the real server, on a fast virtual probe and on
// one that takes 1 ms a command:
//   - "per_call_us": the run's time per call, the trace drained at every
//     halt as tarvex-cli run does;
//   - "trips_per_call": requests the loop sent per call, counted;
//   - "reference_us": that many register reads' round trips, each measured
//     in the same iteration; "ratio" = reference / per call, the share of
//     the loop's time that its requests' own cost explains (goal >= 0.5:
//     waiting for the halt must not dominate).
// The other rows are what the loop's polling costs another client: that
// client's register read on the same probe while a run polls a firmware
// that never halts, beside the same read with the probe idle; and short
// printf lines through the target C libraries' own semihosting (newlib,
// picolibc) on 1 ms probes, per line, with the calls and requests each
// line took.
//
// The binary starts itself again under tarvex-vprobe --fast, so that the
// server it starts sees the virtual probes.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "armv7m_debug.h"
#include "round_trip.h"
#include "semihost_run.h"
#include "server_process.h"
#include "target.h"
#include "tarvex_text.h"

namespace
{

namespace tt = tarvex_target;

// TARVEX_BENCH_CALLS shortens the runs (scripts/bench --quick: the rows
// must run, their figures mean little).
int calls()
{
    const char *text = std::getenv("TARVEX_BENCH_CALLS");
    int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 2000;
}
// Register reads before and after each run, for the reference.
constexpr int REFERENCE_READS = 200;
constexpr const char *SERIALS[2] = {"7E5756500000000000000F01", "7E5756500000000000000F02"}; // fast, slow
// 1 ms probes with the libc test firmware: newlib, picolibc.
constexpr const char *LIBC_SERIALS[2] = {"7E5756500000000000000F03", "7E5756500000000000000F04"};

// Counts the requests the loop sends through it.
class counting_link : public tt::link
{
public:
    explicit counting_link(tt::link &inner) : inner_(inner) {}
    uint64_t requests = 0;
    int read_debug(uint32_t addr, uint32_t *value) override { return count(inner_.read_debug(addr, value)); }
    int write_debug(uint32_t addr, uint32_t value) override { return count(inner_.write_debug(addr, value)); }
    int read_core(unsigned regsel, uint32_t *value) override { return count(inner_.read_core(regsel, value)); }
    int write_core(unsigned regsel, uint32_t value) override { return count(inner_.write_core(regsel, value)); }
    // One request, as the server link sends it.
    int read_core_set(const unsigned *regsels, size_t n, uint32_t *values) override
    {
        return count(inner_.read_core_set(regsels, n, values));
    }
    int read_memory(uint32_t addr, uint32_t size, uint32_t count_, uint8_t *data) override
    {
        return count(inner_.read_memory(addr, size, count_, data));
    }
    int write_memory(uint32_t addr, uint32_t size, uint32_t count_, const uint8_t *data) override
    {
        return count(inner_.write_memory(addr, size, count_, data));
    }

private:
    int count(int rc)
    {
        requests++;
        return rc;
    }
    tt::link &inner_;
};

// One client of one probe: its association in debug mode, trace on.
struct probe_session {
    tarvex::connection conn;
    std::unique_ptr<tt::server_link> link;
    bool open(tarvex_test::server_process &server, const char *serial)
    {
        conn = server.connect();
        tarvex::probe_entry probe;
        bool found = false;
        uint32_t assoc = 0;
        std::string reply;
        if (tarvex::find_probe(conn, serial, &probe, &found) != 0 || !found ||
            tarvex::open_device(conn, probe.key, &assoc) != 0 || assoc == 0)
            return false;
        link = std::make_unique<tt::server_link>(&conn, assoc);
        return conn.text("tarvex-usb-init-mode " + std::to_string(assoc) + " 0 1\n", &reply) == 0 &&
               conn.text("tarvex-config-trace " + std::to_string(assoc) + " 1 2 1 2000000\n", &reply) == 0;
    }
};

struct setup {
    tarvex_test::server_process server;
    probe_session probes[2];
    probe_session libc[2];
    bool ok = false;
};

setup *started()
{
    static std::unique_ptr<setup> s;
    if (!s) {
        s = std::make_unique<setup>();
        s->ok = s->server.start({}) == 0 && s->server.wait_listening() == 0 &&
                s->probes[0].open(s->server, SERIALS[0]) && s->probes[1].open(s->server, SERIALS[1]) &&
                s->libc[0].open(s->server, LIBC_SERIALS[0]) && s->libc[1].open(s->server, LIBC_SERIALS[1]);
    }
    return s->ok ? s.get() : nullptr;
}

struct drain_ctx {
    probe_session *p;
    uint64_t reads = 0;
};

int drain(void *ctx)
{
    drain_ctx &d = *static_cast<drain_ctx *>(ctx);
    int result = 0;
    std::vector<uint8_t> data;
    tarvex::trace_read(d.p->conn, d.p->link->assoc(), 4096, &result, &data, 1);
    d.reads++;
    return tt::TARGET_OK;
}

// One run of the firmware from reset with the argument word; its result,
// requests counted.
tt::run_result run_firmware(probe_session &p, const std::string &word, double timeout_s, uint64_t *requests)
{
    counting_link counted(*p.link);
    tarvex_semihost::semihost_session s;
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    tarvex_semihost::semihost_session_init(s, tt::semihost_memory_of(counted), -1, null_fd, null_fd,
                                           {"firmware.elf", word});
    drain_ctx d{&p};
    tt::run_options opt;
    opt.timeout_s = timeout_s;
    opt.drain = drain;
    opt.drain_ctx = &d;
    tt::run_result r;
    // The reset vector catch works only with halting debug on.
    if (tt::halt(*p.link) == tt::TARGET_OK && tt::reset(*p.link, true) == tt::TARGET_OK)
        r = tt::semihost_run(counted, s, opt);
    tarvex_semihost::semihost_session_close(s);
    close(null_fd);
    *requests = counted.requests + d.reads;
    return r;
}

double register_read_s(probe_session &p, int reads)
{
    auto start = std::chrono::steady_clock::now();
    uint32_t v = 0;
    for (int i = 0; i < reads; i++)
        p.link->read_core(armv7m::REGSEL_PC, &v);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / reads;
}

void BM_SemihostWrite0(benchmark::State &state)
{
    setup *s = started();
    if (s == nullptr) {
        state.SkipWithError("server or probes did not start");
        return;
    }
    probe_session &p = s->probes[state.range(0)];
    const int writes = calls();
    double run_s = 0, read_s = 0;
    uint64_t trips = 0;
    bool ok = true;
    std::string why;
    for (auto _ : state) {
        uint64_t requests = 0;
        double before = register_read_s(p, REFERENCE_READS);
        auto start = std::chrono::steady_clock::now();
        tt::run_result r = run_firmware(p, "write0=" + std::to_string(writes), 0, &requests);
        run_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        read_s += (before + register_read_s(p, REFERENCE_READS)) / 2;
        trips += requests;
        if (r.end != tt::RUN_EXITED || r.calls != static_cast<uint32_t>(writes) + 2)
            why = "end " + std::to_string(r.end) + " rc " + std::to_string(r.rc) + ", " + std::to_string(r.calls) +
                  " calls";
        ok = ok && why.empty();
    }
    if (!ok) {
        state.SkipWithError(("the firmware did not run to its exit: " + why).c_str());
        return;
    }
    double n = static_cast<double>(state.iterations());
    // The calls: the command line, the 2,000 writes, the exit.
    double per_call = run_s / n / (writes + 2);
    double trips_per_call = static_cast<double>(trips) / n / (writes + 2);
    report_pair(state, per_call, trips_per_call * read_s / n);
    state.counters["per_call_us"] = per_call * 1e6;
    state.counters["trips_per_call"] = trips_per_call;
    state.counters["register_read_us"] = read_s / n * 1e6;
}
BENCHMARK(BM_SemihostWrite0)->Arg(0)->Arg(1)->ArgName("slow")->Iterations(1)->UseRealTime();

// Another client's register read on a probe while a run polls its core,
// which never halts; ratio = idle read / read beside the run.
void BM_OtherClientBesideARun(benchmark::State &state)
{
    setup *s = started();
    if (s == nullptr) {
        state.SkipWithError("server or probes did not start");
        return;
    }
    probe_session other;
    if (!other.open(s->server, SERIALS[state.range(0)])) {
        state.SkipWithError("second client did not open the probe");
        return;
    }
    double idle = register_read_s(other, 200);
    std::atomic<bool> running{true};
    std::thread runner([&] {
        while (running) {
            uint64_t requests = 0;
            run_firmware(s->probes[state.range(0)], "hang", 0.5, &requests);
        }
    });
    double beside = 0;
    for (auto _ : state)
        beside += register_read_s(other, 1);
    running = false;
    runner.join();
    beside /= static_cast<double>(state.iterations());
    report_pair(state, beside, idle);
}
BENCHMARK(BM_OtherClientBesideARun)->Arg(0)->Arg(1)->ArgName("slow")->UseRealTime();

// Short printf lines ("line N\n") through newlib (0) or picolibc (1) on a
// 1 ms probe: the time per line, and the semihosting calls and requests
// behind it (picolibc writes a character a call).
void BM_LibcPrintfLines(benchmark::State &state)
{
    setup *s = started();
    if (s == nullptr) {
        state.SkipWithError("server or probes did not start");
        return;
    }
    const int lines = calls() / 2;
    double run_s = 0;
    uint64_t trips = 0, served = 0;
    for (auto _ : state) {
        uint64_t requests = 0;
        auto start = std::chrono::steady_clock::now();
        tt::run_result r = run_firmware(s->libc[state.range(0)], "lines=" + std::to_string(lines), 0, &requests);
        run_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        trips += requests;
        served += r.calls;
        if (r.end != tt::RUN_EXITED || r.exit.status != 0) {
            state.SkipWithError(("the firmware did not run to its exit: end " + std::to_string(r.end)).c_str());
            return;
        }
    }
    double n = static_cast<double>(state.iterations());
    state.counters["per_line_ms"] = run_s / n / lines * 1e3;
    state.counters["calls_per_line"] = static_cast<double>(served) / n / lines;
    state.counters["requests_per_call"] = static_cast<double>(trips) / static_cast<double>(served);
}
BENCHMARK(BM_LibcPrintfLines)->Arg(0)->Arg(1)->ArgName("picolibc")->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    std::string firmware = std::string("firmware=") + SEMIHOST_ELF;
    tarvex_test::reexec_under_vprobe(
        argv, {"--fast", "--probe", firmware + ",serial=" + SERIALS[0], "--probe",
               firmware + ",latency=1000,serial=" + SERIALS[1], "--probe",
               std::string("firmware=") + NEWLIB_ELF + ",latency=1000,serial=" + LIBC_SERIALS[0], "--probe",
               std::string("firmware=") + PICOLIBC_ELF + ",latency=1000,serial=" + LIBC_SERIALS[1]});
    pin_to_cpu(0, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
