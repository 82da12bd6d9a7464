// tarvex-cli's exit statuses row by row, each brought about for real
// against the server and the virtual probe: the firmware's statuses as run
// IMAGE passes or maps them, a usage mistake wherever it stands, and a held
// probe, a refused client and an unreachable server told apart.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server_process.h"
#include "tarvex_text.h"

namespace
{

using tarvex_test::program_run;
using tarvex_test::server_process;

struct status_case {
    const char *name;
    std::vector<std::string> words;
    int status;
    const char *err; // in standard error
};

// Only a ceiling for a run that went wrong.
constexpr int CLI_TIMEOUT_MS = 60000;

program_run run_cli(const std::vector<std::string> &argv)
{
    program_run r;
    r.status = tarvex_test::run_to_end(argv, &r.out, &r.err, CLI_TIMEOUT_MS);
    return r;
}

std::vector<std::string> cli_argv(const std::string &host, uint16_t port, const std::vector<std::string> &words)
{
    std::vector<std::string> argv = {TARVEX_CLI_PATH, "--host", host, "--port", std::to_string(port)};
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
}

void expect_each(const std::string &host, uint16_t port, const status_case *cases, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const status_case &c = cases[i];
        std::vector<std::string> words = {"--probe", "GOOD"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        program_run r = run_cli(cli_argv(host, port, words));
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << ": " << r.err;
    }
}

// Probe GOOD runs the semihosting test firmware from its flash, and the
// cases name it first (a --probe later on the line wins); NOTARGET has no
// target behind it.
class Statuses : public ::testing::TestWithParam<const char *>
{
protected:
    void SetUp() override
    {
        std::vector<std::string> vprobe = {"--probe", "serial=GOOD,form=text", "--probe",
                                           "serial=NOTARGET,form=text,idcode=0"};
        if (std::string(GetParam()) == "fast")
            vprobe.insert(vprobe.begin(), "--fast");
        ASSERT_EQ(server_.start({"--unix", server_.dir + "/tarvex.sock"}, vprobe, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        ASSERT_EQ(server_.control(std::string("load 0 ") + SEMIHOST_ELF).rfind("ok", 0), 0u);
    }
    void expect_each(const status_case *cases, size_t count) { ::expect_each("127.0.0.1", server_.port, cases, count); }
    program_run run_words(const std::vector<std::string> &words)
    {
        return run_cli(cli_argv("127.0.0.1", server_.port, words));
    }
    server_process server_;
};

// The rows of the table that need nothing but the server and its probes.
class StatusTable : public Statuses
{
};

TEST_P(StatusTable, EveryRowOnItsOwnCause)
{
    // One byte past the virtual target's 256 KiB of flash; one byte at
    // 0x10000000, in neither flash nor RAM.
    std::string big = tarvex_test::scratch_path("status", "big.bin"),
                far = tarvex_test::scratch_path("status", "far.hex");
    tarvex_test::write_file(big, std::string(256 * 1024 + 1, '\x11'));
    tarvex_test::write_file(far, ":020000041000EA\n:0100000011EE\n:00000001FF\n");
    std::string down = std::to_string(tarvex_test::free_port());
    const status_case cases[] = {
        {"0 done", {"regs"}, 0, ""},
        {"1 usage", {"regs", "--colour"}, 1, "unknown option --colour"},
        {"2 not reachable", {"--port", down, "list"}, 2, "is the server running?"},
        {"3 no such probe", {"--probe", "MISSING", "regs"}, 3, "no probe MISSING"},
        {"4 failed", {"read", "0x60000000", "16"}, 4, "memory read of 16 bytes at 0x60000000"},
        {"5 no target", {"--probe", "NOTARGET", "halt"}, 5, "no target answers"},
        {"6 mismatch", {"verify", SAMPLE_ELF}, 6, "verify failed in the verify phase"},
        {"7 too big", {"flash", big, "--base", "0"}, 7, "lie neither in the flash"},
        {"firmware's 0", {"run", SEMIHOST_ELF, "--", "exit=ok"}, 0, ""},
        {"firmware's 1", {"run", SEMIHOST_ELF, "--", "exit=fail"}, 1, ""},
        {"firmware's 123", {"run", SEMIHOST_ELF, "--", "exit=123"}, 123, ""},
        {"124 time-out", {"run", SEMIHOST_ELF, "--timeout", "0.3", "--", "hang"}, 124, "time-out after 0.3 s"},
        {"125 not run", {"--probe", "MISSING", "run", SEMIHOST_ELF}, 125, "no probe MISSING"},
        {"125 too big to run", {"run", far}, 125, "at 0x10000000 lie neither in the flash"},
        {"128 out of range", {"run", SEMIHOST_ELF, "--", "exit=124"}, 128, "the firmware exited with status 124"},
        {"139 fault", {"run", SEMIHOST_ELF, "--", "fault"}, 139, "cfsr 0x"},
    };
    expect_each(cases, sizeof(cases) / sizeof(cases[0]));
    unlink(big.c_str());
    unlink(far.c_str());
}

// SYS_EXIT_EXTENDED's subcode passes through from 0 to 123; every other
// value, which the tool's own statuses or the byte an exit status keeps
// would make into something else, ends the run with 128 and is named.
TEST_P(Statuses, FirmwareStatusesOutsideZeroTo123AreNamedAndOneStatus)
{
    struct subcode_case {
        const char *subcode;
        int status;
        const char *err;
    };
    const subcode_case cases[] = {
        {"0", 0, nullptr},
        {"42", 42, nullptr},
        {"123", 123, nullptr},
        {"124", 128, "tarvex-cli: the firmware exited with status 124\n"},
        {"125", 128, "tarvex-cli: the firmware exited with status 125\n"},
        {"128", 128, "tarvex-cli: the firmware exited with status 128\n"},
        {"139", 128, "tarvex-cli: the firmware exited with status 139\n"},
        {"256", 128, "tarvex-cli: the firmware exited with status 256\n"},
        {"300", 128, "tarvex-cli: the firmware exited with status 300\n"},
        {"4294967295", 128, "tarvex-cli: the firmware exited with status -1\n"},
    };
    for (const subcode_case &c : cases) {
        program_run r = run_words(
            {"--probe", "GOOD", "run", SEMIHOST_ELF, "--timeout", "60", "--", std::string("exit=") + c.subcode});
        EXPECT_EQ(r.status, c.status) << c.subcode << ": " << r.err;
        EXPECT_EQ(r.err, c.err != nullptr ? c.err : "") << c.subcode;
    }
}

// A usage mistake is 1, and 125 for run IMAGE, wherever on the line it
// stands: before the command, among its arguments, after the image.
TEST_P(StatusTable, AUsageMistakeHasOneStatusWhereverItStands)
{
    const status_case cases[] = {
        {"unknown option first", {"--colour", "regs"}, 1, "unknown option --colour"},
        {"unknown option last", {"regs", "--colour"}, 1, "unknown option --colour"},
        {"bad port first", {"--port", "x", "regs"}, 1, "--port needs a number"},
        {"bad format", {"flash", SEMIHOST_ELF, "--format", "srec"}, 1, "--format needs elf, hex or bin"},
        {"bad format first", {"--format", "srec", "verify", SEMIHOST_ELF}, 1, "--format needs elf, hex or bin"},
        {"run: unknown option first", {"--colour", "run", SEMIHOST_ELF}, 125, "unknown option --colour"},
        {"run: unknown option between", {"run", "--colour", SEMIHOST_ELF}, 125, "unknown option --colour"},
        {"run: unknown option last", {"run", SEMIHOST_ELF, "--colour", "--", "exit=ok"}, 125, "--colour"},
        {"run: bad port first", {"--port", "x", "run", SEMIHOST_ELF}, 125, "--port needs a number"},
        {"run: bad time-out first", {"--timeout", "-1", "run", SEMIHOST_ELF}, 125, "--timeout needs"},
        {"run: bad time-out last", {"run", SEMIHOST_ELF, "--timeout", "0"}, 125, "--timeout needs"},
        {"run: a value missing", {"run", SEMIHOST_ELF, "--timeout"}, 125, "--timeout needs a value"},
        {"run: arguments without --", {"run", SEMIHOST_ELF, "exit=ok"}, 125, "usage"},
    };
    expect_each(cases, sizeof(cases) / sizeof(cases[0]));
    std::string out, err;
    for (const char *command : {"regs", "run"}) {
        std::vector<std::string> argv = {"/usr/bin/env", "TARVEX_PORT=seventy", TARVEX_CLI_PATH, command};
        if (std::string(command) == "run")
            argv.push_back(SEMIHOST_ELF);
        int status = tarvex_test::run_to_end(argv, &out, &err);
        EXPECT_EQ(status, std::string(command) == "run" ? 125 : 1) << command << ": " << err;
        EXPECT_NE(err.find("TARVEX_PORT needs a number"), std::string::npos) << err;
    }
}

// The status table --help prints names every status these cases end with.
TEST_P(StatusTable, HelpPrintsTheTable)
{
    program_run r = run_cli({TARVEX_CLI_PATH, "--help"});
    ASSERT_EQ(r.status, 0);
    size_t at = r.out.find("exit status:\n");
    ASSERT_NE(at, std::string::npos) << r.out;
    for (const char *code : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "0-123", "124", "125", "128", "139"})
        EXPECT_NE(r.out.find(std::string("\n  ") + code + " ", at), std::string::npos) << code << "\n" << r.out;
}

std::string transport_name(const ::testing::TestParamInfo<const char *> &info)
{
    return info.param;
}

// The firmware's statuses travel through target memory: both transports.
INSTANTIATE_TEST_SUITE_P(Transports, Statuses, ::testing::Values("fast", "umockdev"), transport_name);
INSTANTIATE_TEST_SUITE_P(Transports, StatusTable, ::testing::Values("fast"), transport_name);

// ---- held, refused, unreachable ----------------------------------------------------

// The clients' transports: loopback TCP and the Unix socket.
class ProbeAccess : public ::testing::TestWithParam<const char *>
{
protected:
    bool unix_socket() const { return std::string(GetParam()) == "unix"; }
    std::string host() const { return unix_socket() ? "unix:" + socket_path() : "127.0.0.1"; }
    std::string socket_path() const { return server_.dir + "/tarvex.sock"; }
    void start(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"--unix", socket_path(), "--unix-mode", "0666"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(server_.start(args, {"--fast", "--probes", "1"}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        ASSERT_EQ(server_.control(std::string("load 0 ") + SEMIHOST_ELF).rfind("ok", 0), 0u);
    }
    // A client named holder-test takes probe 0's hold and keeps it.
    void hold_probe()
    {
        holder_ = server_.connect();
        std::string reply;
        ASSERT_EQ(holder_.text("register-client holder-test\n", &reply), 0);
        tarvex::probe_entry probe;
        bool found = false;
        int result = -1;
        ASSERT_EQ(tarvex::describe_probe(holder_, 0, &probe, &found), 0);
        ASSERT_EQ(tarvex::open_device(holder_, probe.key, &holder_assoc_), 0);
        ASSERT_EQ(tarvex::hold_probe(holder_, holder_assoc_, 0, &result), 0);
        ASSERT_EQ(result, 0);
    }
    server_process server_;
    tarvex::connection holder_;
    uint32_t holder_assoc_ = 0;
};

// Every command that reaches the probe waits behind the hold, saying who
// holds it, and then ends as held: neither "no reply" nor unreachable. All
// at once, so that the waits overlap.
TEST_P(ProbeAccess, EachCommandOnAHeldProbeWaitsThenSaysItIsHeld)
{
    start();
    hold_probe();
    std::string data = tarvex_test::scratch_path("status", "word.bin");
    tarvex_test::write_file(data, "word");
    const std::vector<std::vector<std::string>> commands = {
        {"regs"},
        {"halt"},
        {"read", "0x20000000", "4"},
        {"write", "0x20000000", data},
        {"reset"},
        {"step"},
        {"run"},
        {"info"},
        {"voltage"},
        {"trace", "--seconds", "1"},
        {"erase", "--chip"},
        {"flash", SEMIHOST_ELF},
        {"verify", SEMIHOST_ELF},
        {"run", SEMIHOST_ELF, "--", "exit=ok"},
    };
    std::vector<server_process> clients(commands.size()); // for their process handling
    for (size_t i = 0; i < commands.size(); i++) {
        std::vector<std::string> words = {"--hold-wait", "0.5"};
        words.insert(words.end(), commands[i].begin(), commands[i].end());
        clients[i].pid = tarvex_test::spawn_program(cli_argv(host(), server_.port, words), clients[i].dir + "/stdout",
                                                    clients[i].dir + "/stderr");
        ASSERT_GT(clients[i].pid, 0);
    }
    for (size_t i = 0; i < commands.size(); i++) {
        bool run_image = commands[i].size() > 1 && commands[i][0] == "run";
        int status = clients[i].wait_exit(30000);
        std::string err = clients[i].stderr_text();
        EXPECT_EQ(status, run_image ? 125 : 8) << commands[i][0] << ": " << err;
        EXPECT_NE(err.find("tarvex-cli: waiting for probe 0, held by holder-test for "), std::string::npos)
            << commands[i][0] << ": " << err;
        EXPECT_NE(err.find("tarvex-cli: the probe is held by holder-test for "), std::string::npos)
            << commands[i][0] << ": " << err;
        EXPECT_NE(err.find("gave up waiting after 0.5 s (--hold-wait)"), std::string::npos) << err;
        EXPECT_EQ(err.find("no reply"), std::string::npos) << commands[i][0] << ": " << err;
    }
    unlink(data.c_str());
}

// A command that waits goes on once the hold is given back.
TEST_P(ProbeAccess, ACommandWaitingBehindAHoldRunsOnceItIsReleased)
{
    start();
    hold_probe();
    server_process regs;
    regs.pid = tarvex_test::spawn_program(cli_argv(host(), server_.port, {"regs"}), regs.dir + "/stdout",
                                          regs.dir + "/stderr");
    ASSERT_GT(regs.pid, 0);
    ASSERT_TRUE(regs.wait_stderr("waiting for probe 0, held by holder-test", 20000)) << regs.stderr_text();
    int result = -1;
    ASSERT_EQ(tarvex::release_probe(holder_, holder_assoc_, &result), 0);
    EXPECT_EQ(regs.wait_exit(20000), 0) << regs.stderr_text();
    EXPECT_NE(regs.stdout_text().find("pc "), std::string::npos) << regs.stdout_text();
}

// A client the access rules refuse is told so, with its own status. On TCP
// loopback is outside the one allowed network; on the Unix socket the
// client runs as a user the rules do not name.
TEST_P(ProbeAccess, ARefusedClientIsToldItWasRefused)
{
    std::vector<std::string> argv;
    if (unix_socket()) {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to run the client as another user (CI runs as root)";
        start({"--allow-group", "root"});
        ASSERT_EQ(chmod(server_.dir.c_str(), 0711), 0); // other uids reach the socket inside
        argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
        std::string out, err;
        if (tarvex_test::run_to_end({argv[0], argv[1], argv[2], argv[3], "--", "/usr/bin/test", "-x", TARVEX_CLI_PATH},
                                    &out, &err) != 0)
            GTEST_SKIP() << "nobody may not run " << TARVEX_CLI_PATH;
    } else {
        start({"--allow-network", "10.0.0.0/8"});
    }
    for (const char *command : {"list", "regs"}) {
        std::vector<std::string> line = argv, words = cli_argv(host(), server_.port, {command});
        line.insert(line.end(), words.begin(), words.end());
        program_run r = run_cli(line);
        EXPECT_EQ(r.status, 9) << command << ": " << r.err;
        EXPECT_NE(r.err.find("refused this client"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("no reply"), std::string::npos) << r.err;
    }
    std::vector<std::string> line = argv, words = cli_argv(host(), server_.port, {"run", SEMIHOST_ELF});
    line.insert(line.end(), words.begin(), words.end());
    program_run r = run_cli(line);
    EXPECT_EQ(r.status, 125) << r.err;
    EXPECT_NE(r.err.find("refused this client"), std::string::npos) << r.err;
    EXPECT_TRUE(server_.wait_stderr("access: refused uid ")) << server_.stderr_text();
    if (!unix_socket())
        return;
    // The socket file's mode keeps the user out before the server sees it.
    ASSERT_EQ(chmod(socket_path().c_str(), 0600), 0);
    std::vector<std::string> denied = argv, list = cli_argv(host(), server_.port, {"list"});
    denied.insert(denied.end(), list.begin(), list.end());
    program_run d = run_cli(denied);
    EXPECT_EQ(d.status, 9) << d.err;
    EXPECT_NE(d.err.find("refused this client: Permission denied"), std::string::npos) << d.err;
}

INSTANTIATE_TEST_SUITE_P(ClientTransports, ProbeAccess, ::testing::Values("tcp", "unix"), transport_name);

// A server that accepts and never answers is unreachable (2, "no reply"),
// not a refusal: the connection stays open.
TEST(Unreachable, AServerThatNeverAnswersIsNotARefusal)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    ASSERT_EQ(listen(fd, 4), 0); // the kernel completes the connection; nobody accepts it
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    program_run r = run_cli(cli_argv("127.0.0.1", ntohs(addr.sin_port), {"list"}));
    close(fd);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("no reply from tarvex-server to register-client"), std::string::npos) << r.err;
}

} // namespace
