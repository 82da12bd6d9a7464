// The flash loader through tarvex-cli and tarvex-gdbserver against the real
// server, each row beside its reference in the same iterations, on the
// launcher's probes (the argument): 0 a fast M4, 1 an M4 whose commands each
// take 1 ms, 2 one at 125 us (a high-speed USB probe), 3 a fast M0 and 4 an
// M0 at 1 ms, so that the Armv6-M build of the algorithm and the helper is
// measured where it runs slowest:
//   - flash 128 KiB into blank flash (erase, program, verify) against a
//     RAM write of the same bytes: ratio = write / flash (goal >= 0.30);
//     "commands_per_page" counts the probe's commands per 1 KiB page;
//   - re-flash of the unchanged image against reading it back: ratio =
//     read / re-flash (goal >= 2: at most half the read-back time);
//   - GDB's load of the image into blank flash against tarvex-cli flash:
//     ratio = cli / GDB (goal >= 0.80).
// Each tarvex-cli command is a whole run of the program, as a script does it.
// The binary starts itself again under tarvex-vprobe --fast.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gdb_process.h"
#include "round_trip.h"
#include "server_process.h"

namespace
{

constexpr size_t IMAGE_SIZE = 128 * 1024;
constexpr double PAGE_SIZE = 1024;

// The serial of the launcher's probe I (the server's list has its own order).
std::string serial(int probe)
{
    return "7E575650000000000000000" + std::to_string(probe + 1);
}

gdb_bench *started()
{
    return gdb_bench_started(IMAGE_SIZE, "0", {"--probe", serial(0)});
}

// One tarvex-cli run on a probe; false when it fails.
bool cli(gdb_bench &s, int probe, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(s.server.port), "--probe",
                                     serial(probe)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out, err;
    return tarvex_test::run_to_end(argv, &out, &err, 120000) == 0;
}

std::vector<std::string> flash_args(const gdb_bench &s)
{
    return {"flash", s.bin, "--base", "0", "--halt"};
}

// Commands the probe has received so far (the launcher counts them).
double probe_commands(int probe)
{
    const char *path = std::getenv("TARVEX_VPROBE_CONTROL");
    std::string reply = path != nullptr ? tarvex_test::vprobe_control(path, "count " + std::to_string(probe)) : "";
    return reply.size() > 3 ? std::strtod(reply.c_str() + 3, nullptr) : 0;
}

void BM_FlashBlank128K(benchmark::State &state)
{
    gdb_bench *s = started();
    int probe = static_cast<int>(state.range(0));
    if (s == nullptr) {
        state.SkipWithError("server, front end or GDB did not start");
        return;
    }
    bool ok = true;
    double commands = 0;
    auto t = paired_seconds<3>(state, {[&] {
                                           ok = cli(*s, probe, {"erase", "--chip"}) && ok;
                                       },
                                       [&] {
                                           double before = probe_commands(probe);
                                           ok = cli(*s, probe, flash_args(*s)) && ok;
                                           commands += probe_commands(probe) - before;
                                       },
                                       [&] {
                                           ok = cli(*s, probe, {"write", "0x20000000", s->bin}) && ok;
                                       }});
    if (!ok) {
        state.SkipWithError("erase, flash or write failed");
        return;
    }
    report_pair(state, t[1], t[2]);
    state.counters["commands_per_page"] = commands / static_cast<double>(state.iterations()) / (IMAGE_SIZE / PAGE_SIZE);
}
BENCHMARK(BM_FlashBlank128K)->DenseRange(0, 4)->UseRealTime();

void BM_ReflashUnchanged128K(benchmark::State &state)
{
    gdb_bench *s = started();
    int probe = static_cast<int>(state.range(0));
    if (s == nullptr || !cli(*s, probe, flash_args(*s))) {
        state.SkipWithError("the first flash failed");
        return;
    }
    bool ok = true;
    auto t = paired_seconds<2>(
        state, {[&] { ok = cli(*s, probe, flash_args(*s)) && ok; },
                [&] {
                    ok = cli(*s, probe, {"read", "0", std::to_string(IMAGE_SIZE), "-o", "/dev/null"}) && ok;
                }});
    if (!ok) {
        state.SkipWithError("flash or read failed");
        return;
    }
    report_pair(state, t[0], t[1]);
}
BENCHMARK(BM_ReflashUnchanged128K)->DenseRange(0, 4)->UseRealTime();

// GDB's front end is on the fast probe.
void BM_GdbLoadFlash128K(benchmark::State &state)
{
    gdb_bench *s = started();
    if (s == nullptr) {
        state.SkipWithError("server, front end or GDB did not start");
        return;
    }
    bool ok = true;
    std::string said;
    auto t = paired_seconds<4>(state, {[&] {
                                           ok = cli(*s, 0, {"erase", "--chip"}) && ok;
                                       },
                                       [&] { ok = s->gdb.run("load " + s->elf, &said) && ok; },
                                       [&] {
                                           ok = cli(*s, 0, {"erase", "--chip"}) && ok;
                                       },
                                       [&] { ok = cli(*s, 0, flash_args(*s)) && ok; }});
    if (!ok) {
        state.SkipWithError(("load or flash failed: " + said).c_str());
        return;
    }
    report_pair(state, t[1], t[3]);
}
BENCHMARK(BM_GdbLoadFlash128K)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    tarvex_test::reexec_under_vprobe(argv, {"--fast", "--probe", "swo=itm", "--probe", "latency=1000", "--probe",
                                            "latency=125", "--probe", "core=m0", "--probe", "core=m0,latency=1000"});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
