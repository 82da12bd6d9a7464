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

struct setup {
    tarvex_test::server_process server;
    tarvex_test::server_process front_end;
    gdb_process gdb;
    std::string bin, elf;
    bool ok = false;
};

bool write_image(const std::string &path)
{
    std::vector<uint8_t> bytes(IMAGE_SIZE);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f != nullptr && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f != nullptr && fclose(f) == 0 && ok;
}

// The image as raw bytes for tarvex-cli and as an ELF section at the start
// of RAM for GDB.
bool make_images(setup &s)
{
    s.bin = s.server.dir + "/image.bin";
    s.elf = s.server.dir + "/image.elf";
    std::string out, err;
    return write_image(s.bin) &&
           tarvex_test::run_to_end({"/usr/bin/arm-none-eabi-objcopy", "-I", "binary", "-O", "elf32-littlearm",
                                    "--change-section-address", ".data=0x20000000", s.bin, s.elf},
                                   &out, &err) == 0;
}

setup *started()
{
    static std::unique_ptr<setup> s;
    if (s)
        return s->ok ? s.get() : nullptr;
    s = std::make_unique<setup>();
    if (s->server.start({}) != 0 || s->server.wait_listening() != 0 || !make_images(*s))
        return nullptr;
    s->front_end.port = tarvex_test::free_port();
    s->front_end.pid = tarvex_test::spawn_program({TARVEX_GDBSERVER_PATH, "--port", std::to_string(s->server.port),
                                                   "--gdb-port", std::to_string(s->front_end.port)},
                                                  s->front_end.dir + "/stdout", s->front_end.dir + "/stderr");
    std::string said;
    s->ok = s->front_end.wait_listening() == 0 && s->gdb.start(s->front_end.port) == 0 &&
            s->gdb.run("echo", &said) == false && said.find(DONE_MARK) != std::string::npos;
    return s->ok ? s.get() : nullptr;
}

void BM_GdbLoad64K(benchmark::State &state)
{
    setup *s = started();
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
