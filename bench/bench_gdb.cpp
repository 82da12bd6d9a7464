// GDB's "load" of a 64 KiB RAM image through tarvex-gdbserver, beside
// tarvex-cli writing the same bytes to the same probe in the same run, one
// after the other in every iteration: "ratio" = cli / GDB, the share of a
// plain write's speed that a load through GDB's protocol keeps.
//
// GDB stays connected for the whole run (commands on its standard input);
// each tarvex-cli write is a whole run of the program, as a script does it.
// The binary starts itself again under tarvex-vprobe --fast, so that the
// server it starts sees the virtual probe.
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

gdb_bench *started()
{
    return gdb_bench_started(IMAGE_SIZE, "0x20000000");
}

void BM_GdbLoad64K(benchmark::State &state)
{
    gdb_bench *s = started();
    if (s == nullptr) {
        state.SkipWithError("server, front end or GDB did not start");
        return;
    }
    std::vector<std::string> cli = {TARVEX_CLI_PATH, "--port",     std::to_string(s->server.port),
                                    "write",         "0x20000000", s->bin};
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

} // namespace

int main(int argc, char **argv)
{
    tarvex_test::reexec_under_vprobe(argv, {"--fast", "--probes", "1"});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
