// The semihosting module on the emulated core through the real server: the
// test firmware runs to its exit with each halt on BKPT 0xAB served by the
// module through the target layer's run loop over the server link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "armv7m_debug.h"
#include "elf_lookup.h"
#include "semihost_run.h"
#include "usb_fixture.h"

namespace
{

using namespace armv7m;
using namespace usb_test;
using namespace tarvex_semihost;
using namespace tarvex_target;

constexpr uint32_t ASSOC = 256;
// Long enough for every case to end by itself on a loaded machine; the
// hanging firmware waits it out once.
constexpr double HANG_TIMEOUT_S = 1.0;

// A temporary file standing for one of the tool's streams.
struct stream_file {
    FILE *f = tmpfile();
    ~stream_file() { fclose(f); }
    int fd() const { return fileno(f); }
    std::string text() const
    {
        std::string all;
        char b[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(fileno(f), b, sizeof(b), at)) > 0; at += n)
            all.append(b, static_cast<size_t>(n));
        return all;
    }
};

class SemihostRun : public UsbServer
{
protected:
    void SetUp() override
    {
        start({"--probes", "1"});
        ASSERT_NO_FATAL_FAILURE(open_swd());
    }
    // The test firmware, loaded afresh; the core halts on its reset handler
    // because C_HALT is set when the load resets it.
    void load_firmware()
    {
        ASSERT_TRUE(set_debug(DHCSR, DHCSR_HALT));
        ASSERT_EQ(server_.control(std::string("load 0 ") + SEMIHOST_ELF).rfind("ok", 0), 0u);
        ASSERT_TRUE(halt_state() & S_HALT);
    }
    bool set_debug(uint32_t addr, uint32_t value)
    {
        int result = -1;
        return write_debug_reg(client_, ASSOC, addr, value, &result) == 0 && result == 0;
    }
    uint32_t halt_state()
    {
        int result = -1;
        uint32_t v = 0;
        return read_debug_reg(client_, ASSOC, DHCSR, &result, &v) == 0 && result == 0 ? v : 0;
    }
    bool core_reg(unsigned num, uint32_t *value)
    {
        int result = -1;
        return read_core_reg(client_, ASSOC, num, &result, value) == 0 && result == 0;
    }
    run_result run_firmware(const std::vector<std::string> &args, int in_fd = -1, const char *dir = nullptr)
    {
        load_firmware();
        semihost_session s;
        std::vector<std::string> argv = {"tarvex-semihost.elf"};
        argv.insert(argv.end(), args.begin(), args.end());
        semihost_session_init(s, semihost_memory_of(link_), in_fd, out_.fd(), err_.fd(), argv);
        EXPECT_EQ(dir ? semihost_session_set_dir(s, dir) : 0, 0);
        s.log = [](void *ctx, const char *line) { static_cast<std::vector<std::string> *>(ctx)->push_back(line); };
        s.log_ctx = &log_;
        run_options opt;
        opt.timeout_s = HANG_TIMEOUT_S;
        run_result r = semihost_run(link_, s, opt);
        semihost_session_close(s);
        return r;
    }
    std::string itm_port0()
    {
        std::vector<uint8_t> swo;
        int result = 0;
        EXPECT_EQ(trace_read(client_, ASSOC, 1 << 16, &result, &swo), 0);
        std::string out;
        for (size_t i = 0; i + 1 < swo.size(); i += 2) {
            EXPECT_EQ(swo[i], 0x01) << "a one-byte packet on port 0, at " << i;
            out += static_cast<char>(swo[i + 1]);
        }
        return out;
    }

    tarvex_target::server_link link_{&client_, ASSOC};
    stream_file out_, err_;
    std::vector<std::string> log_;
};

// The fast transport carries the rest; this one case also runs on umockdev.
class SemihostRunBoth : public SemihostRun
{
};

TEST_P(SemihostRunBoth, ConsoleOutputOfEveryFormThenExit)
{
    run_result r = run_firmware({"args", "forms", "write0=3", "exit=ok"});
    ASSERT_EQ(r.end, RUN_EXITED) << std::hex << r.pc;
    EXPECT_EQ(r.exit.status, 0);
    EXPECT_EQ(r.exit.reason, ADP_STOPPED_APPLICATION_EXIT);
    EXPECT_EQ(out_.text(), "args: args forms write0=3 exit=ok\ncwrite0\nwrite\n...");
    EXPECT_EQ(r.calls, 16) << "GET_CMDLINE, 3 for args, 8 for forms, 3 dots, then the exit";
    EXPECT_EQ(err_.text(), "stderr\n");
    EXPECT_TRUE(log_.empty()) << log_.front();
}

TEST_P(SemihostRun, StatusesChosenByTheArguments)
{
    struct status_case {
        const char *arg;
        uint32_t reason;
        int status;
    };
    const status_case cases[] = {
        {"exit=fail", ADP_STOPPED_RUNTIME_ERROR, 1},
        {"exit=7", ADP_STOPPED_APPLICATION_EXIT, 7},
        {"bogus", ADP_STOPPED_RUNTIME_ERROR, 1},
    };
    for (const status_case &c : cases) {
        run_result r = run_firmware({c.arg});
        ASSERT_EQ(r.end, RUN_EXITED) << c.arg;
        EXPECT_EQ(r.exit.reason, c.reason) << c.arg;
        EXPECT_EQ(r.exit.status, c.status) << c.arg;
    }
    EXPECT_EQ(out_.text(), "unknown argument: bogus\n");
}

TEST_P(SemihostRun, ConsoleInputReachesTheFirmware)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ASSERT_EQ(write(fds[1], "hello\nxy", 8), 8);
    close(fds[1]);
    run_result r = run_firmware({"readc=2", "echo", "readc=1"}, fds[0]);
    close(fds[0]);
    ASSERT_EQ(r.end, RUN_EXITED);
    EXPECT_EQ(r.exit.status, 0);
    // One read(2) of a pipe takes all that is there; then the input ends.
    EXPECT_EQ(out_.text(), "readc: heread: llo\nxyreadc: \xff");
}

TEST_P(SemihostRun, HostileRequestsFailAndTheRunGoesOnWithItmInOrder)
{
    ASSERT_EQ(text("tarvex-config-trace 256 1 2 1 0\n"), "1 0 2000000\n");
    run_result r = run_firmware({"hostile", "alternate=20"});
    ASSERT_EQ(r.end, RUN_EXITED);
    EXPECT_EQ(r.exit.status, 0);
    std::string semihost_lines = "hostile: -1 -1 -1\n", itm_lines;
    for (int i = 1; i <= 20; i++) {
        semihost_lines += "semihost " + std::to_string(i) + "\n";
        itm_lines += "itm " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(out_.text(), semihost_lines);
    EXPECT_EQ(log_.size(), 3u) << "each hostile request logged";
    EXPECT_EQ(itm_port0(), itm_lines);
}

// Halts that are no semihosting call end the loop inside the function the
// firmware names for each way of stopping: a fault goes through HardFault
// to the start-up's handler, which halts on its BKPT with the faulting
// instruction's address in the frame; a hang halts where it spins.
TEST_P(SemihostRun, FaultsAndHangsStopInTheirNamedFunctions)
{
    struct stop_case {
        const char *arg;
        run_end end;
        const char *function;
        bool in_handler;
    };
    const stop_case cases[] = {
        {"fault", RUN_HALTED, "semihost_fault_store", true},
        {"undefined", RUN_HALTED, "semihost_fault_undefined", true},
        {"hang", RUN_TIMEOUT, "semihost_hang", false},
    };
    std::string printed;
    for (const stop_case &c : cases) {
        run_result r = run_firmware({"args", c.arg});
        EXPECT_EQ(r.end, c.end) << c.arg;
        printed += std::string("args: args ") + c.arg + "\n";
        ASSERT_TRUE(halt_state() & S_HALT) << "the loop leaves the core halted";
        uint32_t pc = 0, sp = 0, xpsr = 0;
        ASSERT_TRUE(core_reg(REGSEL_PC, &pc) && core_reg(REGSEL_SP, &sp) && core_reg(REGSEL_XPSR, &xpsr));
        EXPECT_EQ(pc, r.pc) << c.arg;
        EXPECT_EQ(xpsr & 0x1FF, c.in_handler ? 3u : 0u) << c.arg << ": HardFault";
        if (c.in_handler) {
            int result = -1;
            ASSERT_EQ(read_debug_reg(client_, ASSOC, sp + 24, &result, &pc), 0);
        }
        tarvex_test::elf_symbol f = tarvex_test::elf_symbol_of(SEMIHOST_ELF, c.function);
        ASSERT_TRUE(f.found) << c.function;
        EXPECT_GE(pc, f.address & ~1u) << c.arg;
        EXPECT_LT(pc, (f.address & ~1u) + f.size) << c.arg;
    }
    EXPECT_EQ(out_.text(), printed);
}

TEST_P(SemihostRun, FilesInsideTheDirectoryAndEscapesRefused)
{
    char tmpl[] = "/tmp/semihost-run-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    run_result r = run_firmware({"file=made.txt", "file=../outside.txt", "file=/tmp/abs.txt"}, -1, dir.c_str());
    ASSERT_EQ(r.end, RUN_EXITED);
    EXPECT_EQ(out_.text(), "file: tarvex file\nfile: refused 13\nfile: refused 13\n");
    EXPECT_EQ(tarvex_test::read_file(dir + "/made.txt"), "tarvex file\n");
    EXPECT_NE(access((dir + "/../outside.txt").c_str(), F_OK), 0);
    EXPECT_EQ(unlink((dir + "/made.txt").c_str()), 0);
    EXPECT_EQ(rmdir(dir.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, SemihostRun, ::testing::Values("fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Transports, SemihostRunBoth, ::testing::Values("fast", "umockdev"), transport_name);

} // namespace
