// tarvex-cli run IMAGE against the real server and the virtual probe: the
// test firmware's verdicts as exit statuses, its console and ITM text in
// order, its arguments, input and files, and what ends a run otherwise.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"
#include "tarvex_text.h"

namespace
{

struct cli_run {
    int status = -1;
    std::string out;
    std::string err;
};

// Only a ceiling for a run that went wrong, so generous: under
// ThreadSanitizer the thousand alternations alone take over 20 s. The
// hanging firmware has its own shorter one.
constexpr const char *RUN_TIMEOUT = "300";

class RunImage : public ::testing::TestWithParam<const char *>
{
protected:
    void SetUp() override
    {
        std::vector<std::string> vprobe = {"--probes", "2"};
        if (std::string(GetParam()) == "fast")
            vprobe.insert(vprobe.begin(), "--fast");
        ASSERT_EQ(server_.start({}, vprobe, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        // The image is linked for flash, which the load leaves as it is
        // only when it already holds the image.
        for (int probe = 0; probe < 2; probe++)
            ASSERT_EQ(server_.control("load " + std::to_string(probe) + " " + SEMIHOST_ELF).rfind("ok", 0), 0u)
                << server_.stderr_text();
    }
    // Through sh, so that a case may give the tool its standard input.
    cli_run run(const std::vector<std::string> &words, const std::string &input = "")
    {
        std::string line = "printf '" + input + "' | " TARVEX_CLI_PATH " --port " + std::to_string(server_.port);
        for (const std::string &w : words)
            line += " '" + w + "'";
        cli_run r;
        r.status = tarvex_test::run_to_end({"/bin/sh", "-c", line}, &r.out, &r.err, 60000);
        return r;
    }
    cli_run run_firmware(const std::vector<std::string> &args, const std::vector<std::string> &options = {})
    {
        std::vector<std::string> words = {"run", SEMIHOST_ELF, "--timeout", RUN_TIMEOUT};
        words.insert(words.end(), options.begin(), options.end());
        words.push_back("--");
        words.insert(words.end(), args.begin(), args.end());
        return run(words);
    }
    tarvex_test::server_process server_;
};

// The fast transport carries the rest; this case also runs on umockdev.
class RunImageBoth : public RunImage
{
};

TEST_P(RunImageBoth, ConsoleAndItmInOrderThenTheStatus)
{
    cli_run r = run_firmware({"args", "alternate=3", "exit=7"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_EQ(r.out, "args: args alternate=3 exit=7\nsemihost 1\nitm 1\nsemihost 2\nitm 2\nsemihost 3\nitm 3\n");
}

TEST_P(RunImage, ExitStatusesOfTheFirmwareAndOfTheRun)
{
    struct status_case {
        const char *name;
        std::vector<std::string> words;
        int status;
        const char *err; // in standard error
    };
    std::string damaged = std::string(testing::TempDir()) + "run-damaged-" + std::to_string(getpid()) + ".elf";
    std::string elf = tarvex_test::read_file(SEMIHOST_ELF);
    FILE *f = fopen(damaged.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(elf.data(), 1, 100, f);
    fclose(f);
    const status_case cases[] = {
        {"success", {"run", SEMIHOST_ELF, "--", "exit=ok"}, 0, ""},
        {"failure reason", {"run", SEMIHOST_ELF, "--", "exit=fail"}, 1, ""},
        {"subcode", {"run", SEMIHOST_ELF, "--", "exit=42"}, 42, ""},
        {"never exits", {"run", SEMIHOST_ELF, "--timeout", "0.5", "--", "hang"}, 124, "halted at pc 0x"},
        {"faults", {"run", SEMIHOST_ELF, "--", "fault"}, 139, "pc   0x"},
        {"no such probe", {"--probe", "7", "run", SEMIHOST_ELF}, 125, "no probe 7"},
        {"damaged image", {"run", damaged}, 125, "cannot run"},
        {"missing image", {"run", damaged + ".none"}, 125, "cannot open"},
        {"arguments without --", {"run", SEMIHOST_ELF, "exit=ok"}, 125, "usage"},
        {"sandbox not a directory", {"run", SEMIHOST_ELF, "--semihosting-dir", SEMIHOST_ELF}, 125, "Not a directory"},
    };
    for (const status_case &c : cases) {
        cli_run r = run(c.words);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << ": " << r.err;
    }
    unlink(damaged.c_str());
}

TEST_P(RunImage, AFaultIsReportedInWordsAndTheFunctionNamed)
{
    cli_run r = run_firmware({"fault"});
    EXPECT_EQ(r.status, 139);
    EXPECT_NE(r.err.find("semihost_fault_store"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("semihost.c:"), std::string::npos) << "the line from DWARF: " << r.err;
    EXPECT_NE(r.err.find("cfsr 0x"), std::string::npos) << r.err;
    cli_run hang = run({"run", SEMIHOST_ELF, "--timeout", "0.3", "--", "hang"});
    EXPECT_EQ(hang.status, 124);
    EXPECT_NE(hang.err.find("semihost_hang"), std::string::npos) << hang.err;
    // The core stays halted where the report says.
    cli_run regs = run({"regs"});
    EXPECT_EQ(regs.status, 0) << regs.err;
}

// The faulting code's PC and LR come from the frame the core stacked, on
// whichever stack EXC_RETURN names and whichever frame FPCA chose; read from
// the wrong stack they would name no function of the firmware's.
struct stacked_case {
    std::vector<std::string> words;
    const char *where;
};

const stacked_case stacked_cases[] = {
    {{"fault"}, "stacked on the main stack at 0x"},
    {{"psp", "fault"}, "stacked on the process stack at 0x"},
    {{"fp", "fault"}, "stacked on the main stack at 0x"},
    {{"psp", "fp", "fault"}, "stacked on the process stack at 0x"},
};

TEST_P(RunImage, AFaultReportReadsTheFrameWhereTheCoreStackedIt)
{
    for (const stacked_case &c : stacked_cases) {
        bool fp = std::find(c.words.begin(), c.words.end(), "fp") != c.words.end();
        cli_run r = run_firmware(c.words);
        SCOPED_TRACE(r.err);
        EXPECT_EQ(r.status, 139);
        size_t at = r.err.find(c.where);
        ASSERT_NE(at, std::string::npos);
        EXPECT_NE(r.err.find(fp ? "(extended frame)" : "(basic frame)", at), std::string::npos);
        size_t pc = r.err.find("stacked pc 0x", at);
        ASSERT_NE(pc, std::string::npos);
        std::string line = r.err.substr(pc, r.err.find('\n', pc) - pc);
        EXPECT_NE(line.find("semihost_fault_store"), std::string::npos) << "the stacked pc names the faulting function";
    }
}

TEST_P(RunImage, AThousandAlternationsCompleteAndInOrder)
{
    cli_run r = run_firmware({"alternate=1000"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (int i = 1; i <= 1000; i++)
        expected += "semihost " + std::to_string(i) + "\nitm " + std::to_string(i) + "\n";
    EXPECT_EQ(r.out, expected);
}

TEST_P(RunImage, ArgumentsInputAndEveryConsoleForm)
{
    cli_run r = run({"run", SEMIHOST_ELF, "--", "args", "forms", "echo", "write0=2"}, "typed\\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "args: args forms echo write0=2\ncwrite0\nwrite\nread: typed\n..");
    EXPECT_EQ(r.err, "stderr\n");
}

TEST_P(RunImage, FilesOnlyInsideTheDirectoryAndHostileRequestsFail)
{
    char tmpl[] = "/tmp/run-image-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    cli_run inside =
        run_firmware({"file=made.txt", "file=../escape.txt", "hostile", "args"}, {"--semihosting-dir", dir});
    EXPECT_EQ(inside.status, 0) << inside.err;
    EXPECT_EQ(inside.out, "file: tarvex file\nfile: refused 13\nhostile: -1 -1 -1\nargs: file=made.txt "
                          "file=../escape.txt hostile args\n");
    EXPECT_EQ(tarvex_test::read_file(dir + "/made.txt"), "tarvex file\n");
    EXPECT_NE(access((dir + "/../escape.txt").c_str(), F_OK), 0);
    size_t logged = 0;
    for (size_t at = 0; (at = inside.err.find("tarvex-cli: semihosting ", at)) != std::string::npos; at++)
        logged++;
    EXPECT_EQ(logged, 4u) << "the escape and the three hostile requests: " << inside.err;

    cli_run without = run_firmware({"file=made2.txt"});
    EXPECT_EQ(without.out, "file: refused 13\n");
    EXPECT_NE(access((dir + "/made2.txt").c_str(), F_OK), 0);
    EXPECT_EQ(unlink((dir + "/made.txt").c_str()), 0);
    EXPECT_EQ(rmdir(dir.c_str()), 0);
}

// The flash holds the semihosting firmware, which would exit 0: a RAM
// image run without --ram once reset into it and reported its verdict.
TEST_P(RunImage, ARamImageRunsFromRamWithOrWithoutRam)
{
    for (bool ram : {true, false}) {
        std::vector<std::string> words = {"run", RAM_PROGRAM_ELF, "--timeout", RUN_TIMEOUT};
        if (ram)
            words.push_back("--ram");
        cli_run r = run(words);
        EXPECT_EQ(r.status, 139) << ram << ": " << r.err;
        EXPECT_NE(r.err.find("no semihosting call"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("ram_start"), std::string::npos) << "stopped in the RAM program: " << r.err;
    }
}

TEST_P(RunImage, RamOnAFlashImageIsRefusedSayingWhy)
{
    cli_run r = run({"run", SEMIHOST_ELF, "--ram", "--", "exit=ok"});
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("lies in flash (0x00000000-0x0003ffff): run it without --ram"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "nothing ran";
}

// Run A holds probe 0 until its time-out. Meanwhile a run on probe 1 ends
// at once, another client's trace read and run B on probe 0 wait, and
// both go on only once A has ended.
TEST_P(RunImage, RunsHoldTheirProbeAndQueueBehindEachOther)
{
    tarvex::connection watcher = server_.connect();
    auto holder = [&] {
        tarvex::probe_holder h;
        bool found = false;
        EXPECT_EQ(tarvex::probe_holder_of(watcher, 0, &h, &found), 0);
        return h;
    };
    tarvex_test::server_process a; // for its process handling
    a.pid = tarvex_test::spawn_program(
        {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "run", SEMIHOST_ELF, "--timeout", "3", "--", "hang"},
        a.dir + "/stdout", a.dir + "/stderr");
    for (int i = 0; i < 10000 && !holder().held; i++)
        usleep(1000);
    ASSERT_TRUE(holder().held) << a.stderr_text();

    cli_run other_probe = run({"--probe", "1", "run", SEMIHOST_ELF, "--", "exit=ok"});
    EXPECT_EQ(other_probe.status, 0) << other_probe.err;
    EXPECT_EQ(other_probe.err.find("waiting"), std::string::npos) << other_probe.err;
    EXPECT_TRUE(holder().held) << "probe 1's run ended while A still held probe 0";

    std::string a_err_when_trace_read;
    std::thread reader([&] {
        tarvex::connection c = server_.connect();
        tarvex::probe_entry probe;
        bool found = false;
        uint32_t assoc = 0;
        int result = 0;
        std::vector<uint8_t> data;
        ASSERT_EQ(tarvex::describe_probe(c, 0, &probe, &found), 0);
        ASSERT_EQ(tarvex::open_device(c, probe.key, &assoc), 0);
        EXPECT_EQ(tarvex::trace_read(c, assoc, 4096, &result, &data), 0);
        a_err_when_trace_read = a.stderr_text();
    });
    for (int i = 0; i < 10000 && holder().waiters < 1; i++)
        usleep(1000);
    cli_run b = run({"run", SEMIHOST_ELF, "--", "exit=ok"});
    reader.join();
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.err.find("waiting for probe 0, held by tarvex-cli for "), std::string::npos) << b.err;
    EXPECT_NE(a_err_when_trace_read.find("time-out after 3 s"), std::string::npos)
        << "the trace read came back before A ended: " << a_err_when_trace_read;
    EXPECT_EQ(a.wait_exit(30000), 124) << a.stderr_text();
}

// A glitch on the link in the middle of a run, injected after the command
// of the probe a case names (byte 1 of its block): 3a the register read of
// a semihosting call, whose next command reads the call's string from
// flash; 36 a poll of DHCSR, whose next one reads the trace. One glitch is
// retried and nothing is lost; a link that stays down ends the run with
// 125 and the cause, never with a word against the firmware.
struct glitch_case {
    const char *name;
    const char *after; // the command in flight when the fault is armed
    const char *fault;
    int status;
    const char *err; // in standard error; "" for no message
    bool both;       // also on umockdev
};

const glitch_case GLITCHES[] = {
    {"a short reply to a call's memory read", "3a", "short 1", 0, "", true},
    {"a time-out on a call's memory read", "3a", "timeout 1", 0, "", false},
    {"a fault status on a call's memory read", "3a", "fault 1", 0, "", false},
    {"a short reply to a trace read", "36", "short 1", 0, "", false},
    {"the link stays down in a call", "3a", "short 1000000", 125,
     "failed during a semihosting call (result -4, retried)", true},
    {"the trace stays unreadable", "36", "short 3", 125, "the firmware's ITM text was lost from here on", false},
};

constexpr int GLITCH_TURNS = 20;

TEST_P(RunImageBoth, AGlitchIsRetriedAndALinkThatStaysDownEndsTheRun)
{
    std::string expected;
    for (int i = 1; i <= GLITCH_TURNS; i++)
        expected += "semihost " + std::to_string(i) + "\nitm " + std::to_string(i) + "\n";
    for (const glitch_case &c : GLITCHES) {
        if (!c.both && std::string(GetParam()) != "fast")
            continue;
        SCOPED_TRACE(c.name);
        std::string loaded = server_.control("load 0 " SEMIHOST_ELF);
        ASSERT_EQ(loaded.rfind("ok", 0), 0u) << "the launcher answered \"" << loaded << "\"\n" << server_.stderr_text();
        std::string out = tarvex_test::scratch_path("run-glitch", "out"),
                    err = tarvex_test::scratch_path("run-glitch", "err");
        // The launcher's probe 0 by its serial: the gate and the faults are its.
        pid_t pid = tarvex_test::spawn_program({TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "--probe",
                                                "7E5756500000000000000001", "run", SEMIHOST_ELF, "--timeout",
                                                RUN_TIMEOUT, "--", "alternate=" + std::to_string(GLITCH_TURNS)},
                                               out, err);
        ASSERT_GT(pid, 0);
        // One command at a time through the gate, until the case's command
        // is in flight early in the run (its first line is out).
        bool armed = false;
        for (int step = 0; step < 20000 && !armed; step++) {
            ASSERT_EQ(server_.control("gate 0 hold"), "ok armed");
            bool holding = false;
            for (int i = 0; i < 4000 && !holding; i++)
                holding = server_.control("gate 0") == "ok holding" || (usleep(1000), false);
            ASSERT_TRUE(holding) << tarvex_test::read_file(err);
            std::string last = server_.control("last 0");
            if (last.compare(3, 4, std::string("f2") + c.after) == 0 &&
                tarvex_test::read_file(out).find("semihost 1\n") != std::string::npos) {
                ASSERT_EQ(server_.control(std::string("fault 0 ") + c.fault), "ok");
                armed = true;
            }
            ASSERT_EQ(server_.control("gate 0 open"), "ok open");
        }
        ASSERT_TRUE(armed);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_EQ(server_.control("clear 0"), "ok");
        std::string said = tarvex_test::read_file(err);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << said;
        EXPECT_NE(said.find(c.err), std::string::npos) << said;
        EXPECT_EQ(said.find("outside the target's memory"), std::string::npos) << said;
        if (c.status == 0) {
            EXPECT_EQ(tarvex_test::read_file(out), expected) << "nothing lost";
            EXPECT_EQ(said, "");
        }
        unlink(out.c_str());
        unlink(err.c_str());
    }
}

std::string transport_name(const ::testing::TestParamInfo<const char *> &info)
{
    return info.param;
}

INSTANTIATE_TEST_SUITE_P(Transports, RunImage, ::testing::Values("fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Transports, RunImageBoth, ::testing::Values("fast", "umockdev"), transport_name);

} // namespace
