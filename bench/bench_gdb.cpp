// tarvex-gdbserver under gdb-multiarch against the real server, each row
// beside its reference:
//   - GDB's "load" of a 64 KiB RAM image beside tarvex-cli writing the same
//     bytes to the same probe, one after the other in every iteration:
//     "ratio" = cli / GDB, the share of a plain write's speed that a load
//     through GDB's protocol keeps;
//   - 100 "stepi" on the sample firmware, on a fast probe and on one whose
//     commands take 1 ms each, against the time they took before a g became
//     one request and flash reads were kept (1.16 s on the fast probe, 15.9 s
//     on the default virtual probe at about 1.5 ms a command): "ratio" =
//     before / now; "commands_per_stepi" counts the probe's commands;
//   - "continue" to sample_tick, which the firmware reaches every 10 ms
//     (100 Hz SysTick), against those 10 ms.
//
// GDB stays connected for the whole run (commands on its standard input);
// each tarvex-cli write is a whole run of the program, as a script does it.
// The binary starts itself again under tarvex-vprobe --fast, so that the
// server it starts sees the virtual probes: 0 blank for the load, 1 and 2
// running the sample firmware, 2 at 1 ms a command.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gdb_process.h"
#include "round_trip.h"
#include "server_process.h"

namespace
{

constexpr size_t IMAGE_SIZE = 64 * 1024;

// The serial of the launcher's probe I (the server's list has its own order).
std::string serial(int probe)
{
    return "7E575650000000000000000" + std::to_string(probe + 1);
}

gdb_bench *started()
{
    return gdb_bench_started(IMAGE_SIZE, "0x20000000", {"--probe", serial(0)});
}

void BM_GdbLoad64K(benchmark::State &state)
{
    gdb_bench *s = started();
    if (s == nullptr) {
        state.SkipWithError("server, front end or GDB did not start");
        return;
    }
    std::vector<std::string> cli = {
        TARVEX_CLI_PATH, "--port", std::to_string(s->server.port), "--probe", serial(0), "write", "0x20000000", s->bin};
    bool loaded = true, written = true;
    std::string said, out, err;
    auto t = paired_seconds<2>(state, {[&] { loaded = s->gdb.run("load " + s->elf, &said) && loaded; },
                                       [&] { written = tarvex_test::run_to_end(cli, &out, &err) == 0 && written; }});
    if (!loaded || !written) {
        state.SkipWithError(("load or write failed: " + said + err).c_str());
        return;
    }
    report_pair(state, t[0], t[1]);
}
BENCHMARK(BM_GdbLoad64K)->UseRealTime();

// A front end and GDB of their own on one of the firmware's probes, with
// the firmware's symbols.
struct firmware_session {
    tarvex_test::server_process front_end;
    gdb_process gdb;
    bool ok = false;
};

firmware_session *firmware_on(int probe)
{
    static std::unique_ptr<firmware_session> sessions[3];
    gdb_bench *s = started();
    std::unique_ptr<firmware_session> &f = sessions[probe];
    if (s == nullptr || f)
        return f && f->ok ? f.get() : nullptr;
    f = std::make_unique<firmware_session>();
    f->front_end.port = tarvex_test::free_port();
    f->front_end.pid =
        tarvex_test::spawn_program({TARVEX_GDBSERVER_PATH, "--port", std::to_string(s->server.port), "--gdb-port",
                                    std::to_string(f->front_end.port), "--probe", serial(probe)},
                                   f->front_end.dir + "/stdout", f->front_end.dir + "/stderr");
    std::string said;
    f->ok = f->front_end.wait_listening() == 0 && f->gdb.start(f->front_end.port) == 0 &&
            f->gdb.ask(std::string("file ") + SAMPLE_ELF, &said);
    return f->ok ? f.get() : nullptr;
}

constexpr int STEPS = 100;
// 100 stepi before this front end's register-set reads and flash cache, as
// measured then: on the fast probe, and on the default virtual probe.
constexpr double STEPS_BEFORE_S[3] = {0, 1.16, 15.9};

void BM_GdbStepi100(benchmark::State &state)
{
    int probe = static_cast<int>(state.range(0));
    firmware_session *f = firmware_on(probe);
    if (f == nullptr) {
        state.SkipWithError("front end or GDB did not start");
        return;
    }
    std::string steps, said;
    for (int i = 0; i < STEPS; i++)
        steps += "stepi\n";
    bool ok = true;
    double before = vprobe_commands(probe);
    double spent = seconds_per_round_trip(state, [&] { ok = f->gdb.ask(steps, &said) && ok; });
    if (!ok) {
        state.SkipWithError(("stepi failed: " + said).c_str());
        return;
    }
    state.counters["commands_per_stepi"] =
        (vprobe_commands(probe) - before) / (STEPS * static_cast<double>(state.iterations()));
    report_pair(state, spent, STEPS_BEFORE_S[probe]);
}
BENCHMARK(BM_GdbStepi100)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// The firmware's SysTick period: how often it calls sample_tick.
constexpr double TICK_S = 0.010;

void BM_GdbContinueToBreakpoint(benchmark::State &state)
{
    firmware_session *f = firmware_on(1);
    std::string said;
    if (f == nullptr || !f->gdb.ask("break sample_tick", &said)) {
        state.SkipWithError("front end or GDB did not start");
        return;
    }
    bool ok = true;
    double spent = seconds_per_round_trip(
        state, [&] { ok = f->gdb.ask("continue", &said) && said.find("sample_tick") != std::string::npos && ok; });
    f->gdb.ask("delete", &said);
    if (!ok) {
        state.SkipWithError(("continue did not stop at sample_tick: " + said).c_str());
        return;
    }
    report_pair(state, spent, TICK_S);
}
BENCHMARK(BM_GdbContinueToBreakpoint)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    std::string firmware = std::string("firmware=") + SAMPLE_ELF;
    tarvex_test::reexec_under_vprobe(
        argv, {"--fast", "--probe", "gen=2", "--probe", firmware, "--probe", firmware + ",latency=1000"});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
