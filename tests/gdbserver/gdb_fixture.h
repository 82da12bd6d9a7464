// tarvex-gdbserver as a user runs it: the real server under the virtual
// probe launcher, the front end as its own process on a free port, GDB
// (Debian's gdb-multiarch) in a pseudo-terminal so that Ctrl-C reaches it
// as from a keyboard, and a second client of the probe that checks what
// the server itself reports.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server_process.h"
#include "tarvex_client.h"

namespace gdb_test
{

// Another client of the probe, beside the front end: reads registers and
// memory through the server's own requests.
struct probe_client {
    tarvex::connection conn;
    uint32_t assoc = 0;

    int open(uint16_t port);
    uint32_t core_reg(unsigned num);
    void set_core_reg(unsigned num, uint32_t value);
    uint32_t debug_reg(uint32_t addr);
    void set_debug_reg(uint32_t addr, uint32_t value);
    std::vector<uint8_t> memory(uint32_t addr, uint32_t len);
    bool halted();
    int clients_on_probe();
};

struct gdb_output {
    int status = -1;
    std::string text; // what GDB printed, without carriage returns
};

// A raw connection to the front end, speaking the protocol byte by byte.
struct raw_gdb {
    tarvex::connection conn;
    int open(uint16_t port);
    void send(const std::string &bytes);
    // Exactly n bytes (hang guard: timeout_ms), or what came before the guard.
    std::string receive(size_t n, int timeout_ms = 10000);
};

// "$BODY#CS" with its checksum, for building the expected bytes.
std::string framed(const std::string &body);
// Text as the hex digits of its bytes, as an O packet carries it.
std::string hex_text(const std::string &text);

class GdbServer : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts another tarvex-gdbserver on the same server; its GDB port.
    uint16_t start_front_end(tarvex_test::server_process &process, const std::vector<std::string> &extra = {});
    // Runs GDB on the front end: target() then the commands, each an
    // -ex of a batch run. interrupt_when, polled while GDB runs, makes the
    // terminal send Ctrl-C once it answers true.
    gdb_output gdb(const std::vector<std::string> &commands, const std::function<bool()> &interrupt_when = nullptr,
                   uint16_t port = 0, int timeout_ms = 90000);
    // As gdb(), with Ctrl-C once shown answers true of GDB's output so far.
    gdb_output gdb_until(const std::vector<std::string> &commands,
                         const std::function<bool(const std::string &)> &shown, uint16_t port = 0,
                         int timeout_ms = 90000);
    // GDB's command that connects to the front end on port (0: gdb_port_).
    std::string target(uint16_t port = 0) const;
    // A GDB command (its Python) that sends request to the virtual probe's
    // control channel between two commands of the session and prints
    // "(REQUEST)" and the reply line; GDB goes on after it.
    std::string control_command(const std::string &request) const;
    std::string front_end_log() const;
    std::string scratch(const std::string &name) const;
    // XDG_STATE_HOME of the front ends this case starts.
    std::string state_dir() const;
    // Runs tarvex-cli against the server; its standard output.
    std::string cli(const std::vector<std::string> &args, int *status = nullptr);

    // The launcher's arguments (set before SetUp), and the ELF GDB reads
    // symbols from ("" for none).
    std::vector<std::string> vprobe_args_ = {"--fast", "--probes", "1"};
    std::string elf_;
    bool extended_ = false; // GDB connects with "target extended-remote"
    tarvex_test::server_process server_;
    tarvex_test::server_process front_end_;
    uint16_t gdb_port_ = 0;
    probe_client probe_;
};

// A GDB command that prints "<name>", and the output between such lines:
// GDB's answer to the commands after one mark. (GDB's errors go to standard
// error, which may reach the terminal before the mark's line end.)
std::string mark(const std::string &name);
std::string section(const std::string &text, const std::string &name);

// The hex number after "name" in GDB's output ("$1 = 0x20" or "pc  0x100"),
// or -1.
long long value_after(const std::string &text, const std::string &name);

} // namespace gdb_test
