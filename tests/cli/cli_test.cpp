// tarvex-cli against the real server and the virtual probe: its tables and
// JSON against what the protocol reports, memory moved through files and
// checked in the simulated target, the exit statuses a script relies on.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "elf_lookup.h"
#include "server_process.h"
#include "tarvex_text.h"

namespace
{

using tarvex_test::server_process;

struct cli_run {
    int status = -1;
    std::string out;
    std::string err;
};

std::string scratch_file(const std::string &name)
{
    return std::string(testing::TempDir()) + "tarvex-cli-test-" + std::to_string(getpid()) + "-" + name;
}

void save(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string hex_of(const std::string &bytes)
{
    std::string hex;
    char pair[3];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof(pair), "%02x", c);
        hex += pair;
    }
    return hex;
}

std::string pattern(size_t len, unsigned seed)
{
    std::string bytes(len, '\0');
    for (size_t i = 0; i < len; i++)
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

// JSON read back by an independent parser: python3 prints one line per
// object, "key=value" pairs in key order.
std::string json_lines(const std::string &json)
{
    std::string path = scratch_file("json");
    save(path, json);
    std::string out, err;
    std::string script = "import json,sys\n"
                         "v=json.load(open(sys.argv[1]))\n"
                         "for o in (v if isinstance(v,list) else [v]):\n"
                         "  print(' '.join('%s=%s'%(k,o[k]) for k in sorted(o)))\n";
    int status = tarvex_test::run_to_end({"/usr/bin/python3", "-c", script, path}, &out, &err);
    EXPECT_EQ(status, 0) << err << json;
    unlink(path.c_str());
    return out;
}

class Cli : public ::testing::Test
{
protected:
    void start(const std::vector<std::string> &vprobe_args, const std::vector<std::string> &server_args = {})
    {
        std::vector<std::string> args = {"--fast"};
        args.insert(args.end(), vprobe_args.begin(), vprobe_args.end());
        ASSERT_EQ(server_.start(server_args, args, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    }
    cli_run cli(const std::vector<std::string> &args, int timeout_ms = 30000)
    {
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
        argv.insert(argv.end(), args.begin(), args.end());
        cli_run r;
        r.status = tarvex_test::run_to_end(argv, &r.out, &r.err, timeout_ms);
        return r;
    }
    // The registry as the protocol reports it, one "key=value" line per
    // probe in the JSON line format.
    std::string registry_lines()
    {
        tarvex::connection c = server_.connect();
        int count = 0;
        EXPECT_EQ(tarvex::probe_count(c, &count), 0);
        std::string lines;
        for (int i = 0; i < count; i++) {
            tarvex::probe_entry e;
            bool found = false;
            int clients = 0;
            EXPECT_EQ(tarvex::describe_probe(c, i, &e, &found), 0);
            EXPECT_EQ(tarvex::usb_client_count(c, e.key, &clients), 0);
            char line[160];
            snprintf(line, sizeof(line), "clients=%d index=%d key=%x product_id=%04x serial=%s vendor_id=%04x\n",
                     clients, i, e.key, e.product_id, e.serial.c_str(), e.vendor_id);
            lines += line;
        }
        return lines;
    }
    server_process server_;
};

TEST_F(Cli, ListJsonMatchesTheRegistryAndCountsClients)
{
    start({"--probes", "2"});
    tarvex::connection holder = server_.connect();
    tarvex::probe_entry first;
    bool found = false;
    uint32_t assoc = 0;
    ASSERT_EQ(tarvex::describe_probe(holder, 0, &first, &found), 0);
    ASSERT_EQ(tarvex::open_device(holder, first.key, &assoc), 0);
    ASSERT_NE(assoc, 0u);
    std::string reply;
    ASSERT_EQ(holder.text("register-client flasher\n", &reply), 0);
    int held = -1;
    ASSERT_EQ(tarvex::hold_probe(holder, assoc, 0, &held), 0);
    ASSERT_EQ(held, 0);

    cli_run json = cli({"list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    std::string expected = registry_lines();
    EXPECT_NE(expected.find("clients=1 index=0"), std::string::npos) << expected;
    // The holder's name, and how long it has held the probe (a count of
    // seconds, whatever it is by now).
    std::string listed = std::regex_replace(json_lines(json.out), std::regex(" held_for_s=[0-9]+"), "");
    std::string with_holders = std::regex_replace(expected, std::regex("(clients=[0-9]+) index="), "$1 holder= index=");
    EXPECT_EQ(listed, std::regex_replace(with_holders, std::regex("holder= index=0 "), "holder=flasher index=0 "));

    cli_run table = cli({"list"});
    ASSERT_EQ(table.status, 0) << table.err;
    std::istringstream rows(table.out);
    std::string header, row;
    std::getline(rows, header);
    EXPECT_EQ(header.substr(0, 5), "INDEX");
    EXPECT_NE(header.find("HOLDER"), std::string::npos);
    for (int i = 0; std::getline(rows, row); i++) {
        std::istringstream f(row);
        int index = -1, clients = -1;
        std::string key, serial, vid, pid, held_by;
        f >> index >> key >> serial >> vid >> pid >> clients >> held_by;
        EXPECT_EQ(index, i);
        EXPECT_NE(expected.find("index=" + std::to_string(i) + " key=" + key + " product_id=" + pid +
                                " serial=" + serial + " vendor_id=" + vid),
                  std::string::npos)
            << row;
        EXPECT_EQ(clients, i == 0 ? 1 : 0) << row;
        EXPECT_EQ(held_by, i == 0 ? "flasher" : "-") << row;
    }
    EXPECT_EQ(table.err, "");
}

TEST_F(Cli, InfoJsonCarriesTheProbeAndItsTarget)
{
    start({"--probes", "1"});
    cli_run r = cli({"info", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string line = json_lines(r.out);
    std::string registry = registry_lines();
    // Every registry field, then the firmware and the voltage.
    std::string common = registry.substr(0, registry.size() - 1);
    EXPECT_NE(line.find("generation="), std::string::npos) << line;
    EXPECT_NE(line.find("voltage="), std::string::npos) << line;
    for (const char *field : {"key=", "serial=", "vendor_id=", "product_id="}) {
        size_t at = common.find(field);
        std::string value = common.substr(at, common.find(' ', at) - at);
        EXPECT_NE(line.find(value), std::string::npos) << value << " in " << line;
    }
    EXPECT_NE(line.find("clients=0"), std::string::npos) << "its own association is not counted: " << line;
}

struct range_case {
    uint32_t addr;
    size_t len;
};

// Word-aligned and byte ranges, one crossing the client's 64 KiB requests.
const range_case RANGES[] = {{0x20000000, 4096}, {0x20000103, 37}, {0x20001000, 100000}, {0x20000002, 2}};

TEST_F(Cli, ReadToAFileEqualsTheSimulatedMemory)
{
    start({"--probes", "1"});
    for (const range_case &c : RANGES) {
        std::string data = pattern(c.len, c.addr);
        char poke[32];
        snprintf(poke, sizeof(poke), "poke 0 %x ", c.addr);
        ASSERT_EQ(server_.control(poke + hex_of(data)), "ok");
        std::string path = scratch_file("read.bin");
        char addr[16];
        snprintf(addr, sizeof(addr), "0x%x", c.addr);
        cli_run r = cli({"read", addr, std::to_string(c.len), "-o", path});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << "no progress line without a terminal";
        EXPECT_TRUE(tarvex_test::read_file(path) == data) << addr << " " << c.len;
        unlink(path.c_str());
    }
}

TEST_F(Cli, WriteThenReadBack)
{
    start({"--probes", "1"});
    for (const range_case &c : RANGES) {
        std::string data = pattern(c.len, c.addr + 1);
        std::string in = scratch_file("write.bin");
        save(in, data);
        char addr[16];
        snprintf(addr, sizeof(addr), "0x%x", c.addr);
        cli_run w = cli({"write", addr, in});
        ASSERT_EQ(w.status, 0) << w.err;
        char mem[48];
        snprintf(mem, sizeof(mem), "mem 0 %x %zu", c.addr, c.len);
        EXPECT_EQ(server_.control(mem), "ok " + hex_of(data)) << addr;
        cli_run r = cli({"read", addr, std::to_string(c.len)}); // standard output is a file here: raw bytes
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == data) << addr;
        unlink(in.c_str());
    }
}

// Against the sample firmware: a reset of the halted core stops it on the
// reset handler, and a step moves to the handler's second instruction.
TEST_F(Cli, HaltResetStepRunAndRegisters)
{
    start({"--probe", std::string("firmware=") + SAMPLE_ELF});
    cli_run halt = cli({"halt"});
    ASSERT_EQ(halt.status, 0) << halt.err;
    ASSERT_EQ(halt.out.substr(0, 11), "halted at 0") << halt.out;
    cli_run reset = cli({"reset"});
    ASSERT_EQ(reset.status, 0) << reset.err;
    uint32_t handler = tarvex_test::elf_symbol_of(SAMPLE_ELF, "reset_handler").address;
    EXPECT_EQ(strtoul(reset.out.c_str() + 10, nullptr, 16), handler) << reset.out;

    cli_run regs = cli({"regs", "--json"});
    ASSERT_EQ(regs.status, 0) << regs.err;
    std::string line = json_lines(regs.out);
    EXPECT_NE(line.find(" pc=" + std::to_string(handler) + " "), std::string::npos) << line;
    EXPECT_NE(line.find("r12="), std::string::npos) << line;

    cli_run step = cli({"step"});
    ASSERT_EQ(step.status, 0) << step.err;
    EXPECT_EQ(strtoul(step.out.c_str() + 10, nullptr, 16), tarvex_test::elf_next_instruction(SAMPLE_ELF, handler))
        << "one instruction";
    cli_run run = cli({"run"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "running\n");
    EXPECT_EQ(cli({"step"}).status, 4) << "stepping a running core is refused";
}

TEST_F(Cli, TraceStreamsTheCapturedBytesInOrder)
{
    start({"--probes", "1"});
    cli_run r = cli({"trace", "--seconds", "1", "--freq", "200000"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_GT(r.out.size(), 100u) << "20 kB/s for a second";
    // The virtual probe's trace source counts upwards, so a lost or repeated
    // byte breaks the sequence.
    for (size_t i = 1; i < r.out.size(); i++)
        ASSERT_EQ(static_cast<uint8_t>(r.out[i]), static_cast<uint8_t>(r.out[i - 1] + 1)) << "at " << i;
}

TEST_F(Cli, RawSendsOneRequestAndPrintsItsReply)
{
    start({"--probes", "2"});
    cli_run r = cli({"raw", "get-nb-tarvex"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 2\n");
    cli_run mem = cli({"raw", "tarvex-tcp-read-mem", "77", "20000000", "1", "5", "0"});
    EXPECT_EQ(mem.out, std::string("1 0 5\n\0\0\0\0\0", 11)) << "the header and its data bytes";
}

// The host names the server's Unix socket ("unix:PATH", by option or
// environment) or an IPv6 literal, with or without brackets.
TEST_F(Cli, HostIsAUnixSocketOrAnIpv6Literal)
{
    std::string path = server_.dir + "/cli.sock";
    start({"--probes", "2"}, {"--unix", path});
    std::vector<std::string> hosts = {"unix:" + path};
    if (tarvex_test::ipv6_loopback_available())
        hosts.insert(hosts.end(), {"::1", "[::1]"});
    for (const std::string &host : hosts) {
        cli_run r = cli({"--host", host, "raw", "get-nb-tarvex"});
        EXPECT_EQ(r.status, 0) << host << ": " << r.err;
        EXPECT_EQ(r.out, "1 2\n") << host;
    }
    std::string out, err;
    EXPECT_EQ(tarvex_test::run_to_end(
                  {"/usr/bin/env", "TARVEX_HOST=unix:" + path, TARVEX_CLI_PATH, "--port", "1", "raw", "get-nb-tarvex"},
                  &out, &err),
              0)
        << err;
    EXPECT_EQ(out, "1 2\n");
    cli_run gone = cli({"--host", "unix:" + server_.dir + "/none.sock", "list"});
    EXPECT_EQ(gone.status, 2) << gone.err;
}

struct exit_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *message;
};

TEST_F(Cli, ExitStatusesAndMessages)
{
    // Probe 0 answers; probe 1 has no target behind it (IDCODE 0); probe 2
    // lacks the trace firmware.
    start({"--probe", "serial=GOOD,form=text", "--probe", "serial=NOTARGET,form=text,idcode=0", "--probe",
           "serial=OLDFW,form=text,jtag=12"});
    std::string down_port = std::to_string(tarvex_test::free_port());
    const exit_case cases[] = {
        {"no command", {}, 1, "usage"},
        {"unknown command", {"frobnicate"}, 1, "unknown command frobnicate"},
        {"bad address", {"read", "0xZZ", "4"}, 1, "not an address"},
        {"past the address space", {"read", "0xfffffff0", "0x20"}, 1, "not a length"},
        {"unknown option", {"list", "--colour"}, 1, "unknown option --colour"},
        {"server not running", {"--port", down_port, "list"}, 2, "is the server running?"},
        {"no such index", {"--probe", "7", "info"}, 3, "no probe 7"},
        {"no such serial", {"--probe", "MISSING", "voltage"}, 3, "no probe MISSING"},
        {"no target", {"--probe", "NOTARGET", "halt"}, 5, "no target answers"},
        {"unmapped memory",
         {"--probe", "GOOD", "read", "0x60000000", "16"},
         4,
         "memory read of 16 bytes at 0x60000000"},
        {"no trace firmware", {"--probe", "OLDFW", "trace", "--seconds", "1"}, 4, "starting trace capture"},
    };
    for (const exit_case &c : cases) {
        cli_run r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    }
}

TEST_F(Cli, AFailingProbeOperationIsExitFour)
{
    start({"--probes", "1"});
    // Another client keeps the probe in debug mode, so the CLI shares it
    // as it is; then every probe command with a status answers a fault.
    tarvex::connection debugger = server_.connect();
    tarvex::probe_entry probe;
    bool found = false;
    uint32_t assoc = 0;
    std::string reply;
    ASSERT_EQ(tarvex::describe_probe(debugger, 0, &probe, &found), 0);
    ASSERT_EQ(tarvex::open_device(debugger, probe.key, &assoc), 0);
    ASSERT_EQ(debugger.text("tarvex-usb-init-mode " + std::to_string(assoc) + " 0 1\n", &reply), 0);
    ASSERT_EQ(reply, "1 0\n");
    ASSERT_EQ(server_.control("fault 0 fault 1000"), "ok");
    cli_run r = cli({"read", "0x20000000", "64"});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(r.out, "") << "no data reported for a failed read";
}

// Runs the CLI with its standard error on a pseudo-terminal; what the
// terminal received.
std::string on_terminal(const std::vector<std::string> &argv, int *status)
{
    int master = -1;
    pid_t child = tarvex_test::spawn_on_terminal(argv, &master);
    std::string seen;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof(buf))) > 0) // EIO once the child has gone
        seen.append(buf, static_cast<size_t>(n));
    waitpid(child, status, 0);
    close(master);
    return seen;
}

TEST_F(Cli, ProgressLineOnATerminalForLargeTransfers)
{
    start({"--probes", "1"});
    std::string path = scratch_file("progress.bin");
    std::vector<std::string> base = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "read", "0x20000000"};
    int status = -1;
    std::vector<std::string> large = base;
    large.insert(large.end(), {"0x20000", "-o", path});
    std::string seen = on_terminal(large, &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_NE(seen.find("128.0 KiB / 128.0 KiB"), std::string::npos) << seen;
    EXPECT_NE(seen.find("/s"), std::string::npos) << "a rate: " << seen;

    std::vector<std::string> small = base;
    small.insert(small.end(), {"0x8000", "-o", path});
    EXPECT_EQ(on_terminal(small, &status), "") << "below 64 KiB the terminal stays quiet";
    unlink(path.c_str());
}

// The screen lines a terminal shows for `seen`: carriage return, erase to
// the end of the line and newline acted out.
std::vector<std::string> screen_lines(const std::string &seen)
{
    std::vector<std::string> lines(1);
    size_t col = 0;
    for (size_t i = 0; i < seen.size(); i++) {
        std::string &line = lines.back();
        if (seen.compare(i, 3, "\033[K") == 0) {
            line.resize(std::min(line.size(), col));
            i += 2;
        } else if (seen[i] == '\r' || seen[i] == '\n') {
            col = 0;
            if (seen[i] == '\n')
                lines.emplace_back();
        } else {
            if (col < line.size())
                line[col] = seen[i];
            else
                line += seen[i];
            col++;
        }
    }
    return lines;
}

struct failing_transfer {
    std::vector<std::string> args;
    const char *message;
};

TEST_F(Cli, AFailureMidTransferClearsTheProgressLineFirst)
{
    // RAM is 128 KiB from 0x20000000. Each transfer runs past its end after
    // a piece or two worked, so a progress line is up when the failure comes.
    start({"--probes", "1"});
    std::string in = scratch_file("past-ram.bin"), out = scratch_file("past-ram-out.bin");
    save(in, pattern(128 * 1024, 3));
    const failing_transfer cases[] = {
        {{"write", "0x20010800", in}, "tarvex-cli: memory write of 31744 bytes at 0x20020000 failed"},
        {{"read", "0x20010000", "0x20000", "-o", out}, "tarvex-cli: memory read of 65536 bytes at 0x20020000 failed"},
        // A hex dump on the same terminal, 64 KiB between progress lines.
        {{"read", "0x20000000", "0x20100"}, "tarvex-cli: memory read of 256 bytes at 0x20020000 failed"},
    };
    for (const failing_transfer &c : cases) {
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        int status = -1;
        std::string seen = on_terminal(argv, &status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << c.message;
        size_t at = seen.find(c.message);
        ASSERT_NE(at, std::string::npos) << seen.substr(seen.size() > 400 ? seen.size() - 400 : 0);
        ASSERT_NE(seen.rfind("KiB / ", at), std::string::npos) << "a progress line before it: " << c.message;
        EXPECT_TRUE(seen.compare(at - 4, 4, "\r\033[K") == 0 || seen[at - 1] == '\n')
            << "a fresh line: " << seen.substr(at > 60 ? at - 60 : 0, 120);
        EXPECT_EQ(seen.find("KiB / ", at), std::string::npos) << "no progress line after it: " << seen.substr(at);
        int messages = 0;
        for (const std::string &line : screen_lines(seen)) {
            messages += line.rfind(c.message, 0) == 0;
            bool dump = line.find("  |") != std::string::npos;
            EXPECT_FALSE(dump && line.rfind("200", 0) != 0) << "a dump line starts its line: " << line;
        }
        EXPECT_EQ(messages, 1) << "the message on a screen line of its own: " << c.message;
    }
    unlink(in.c_str());
    unlink(out.c_str());
}

} // namespace
