#include "gdb_fixture.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "armv7m_debug.h"
#include "tarvex_text.h"

namespace gdb_test
{

using tarvex_test::server_process;

static int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int probe_client::open(uint16_t port)
{
    tarvex::probe_entry probe;
    bool found = false;
    int result = 0;
    if (conn.open("127.0.0.1", port) != 0 || tarvex::find_probe(conn, "0", &probe, &found) != 0 || !found ||
        tarvex::open_device(conn, probe.key, &assoc) != 0 || assoc == 0 ||
        tarvex::ensure_debug_mode(conn, assoc, &result) != 0 || result < 0)
        return -1;
    return 0;
}

uint32_t probe_client::core_reg(unsigned num)
{
    int result = -1;
    uint32_t value = 0;
    EXPECT_EQ(tarvex::read_core_reg(conn, assoc, num, &result, &value), 0);
    EXPECT_EQ(result, 0) << "register " << num;
    return value;
}

void probe_client::set_core_reg(unsigned num, uint32_t value)
{
    int result = -1;
    EXPECT_EQ(tarvex::write_core_reg(conn, assoc, num, value, &result), 0);
    EXPECT_EQ(result, 0) << "register " << num;
}

uint32_t probe_client::debug_reg(uint32_t addr)
{
    int result = -1;
    uint32_t value = 0;
    EXPECT_EQ(tarvex::read_debug_reg(conn, assoc, addr, &result, &value), 0);
    EXPECT_EQ(result, 0) << std::hex << addr;
    return value;
}

void probe_client::set_debug_reg(uint32_t addr, uint32_t value)
{
    int result = -1;
    EXPECT_EQ(tarvex::write_debug_reg(conn, assoc, addr, value, &result), 0);
    EXPECT_EQ(result, 0) << std::hex << addr;
}

std::vector<uint8_t> probe_client::memory(uint32_t addr, uint32_t len)
{
    tarvex::mem_request r;
    r.assoc = assoc;
    r.addr = addr;
    r.count = len;
    int result = -1;
    std::vector<uint8_t> data;
    EXPECT_EQ(tarvex::read_mem(conn, r, &result, &data), 0);
    EXPECT_EQ(result, 0);
    return data;
}

bool probe_client::halted()
{
    return (debug_reg(armv7m::DHCSR) & armv7m::S_HALT) != 0;
}

int probe_client::clients_on_probe()
{
    tarvex::probe_entry probe;
    bool found = false;
    int count = -1;
    if (tarvex::find_probe(conn, "0", &probe, &found) != 0 || !found ||
        tarvex::usb_client_count(conn, probe.key, &count) != 0)
        return -1;
    return count;
}

int raw_gdb::open(uint16_t port)
{
    return conn.open("127.0.0.1", port);
}

void raw_gdb::send(const std::string &bytes)
{
    ASSERT_EQ(conn.send_bytes(bytes.data(), bytes.size()), 0);
}

std::string raw_gdb::receive(size_t n, int timeout_ms)
{
    std::string got;
    int64_t deadline = now_ms() + timeout_ms;
    while (got.size() < n && now_ms() < deadline) {
        char buf[65536];
        size_t want = n - got.size() < sizeof(buf) ? n - got.size() : sizeof(buf);
        long r = conn.recv_some(buf, want, static_cast<int>(deadline - now_ms()));
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string hex_text(const std::string &text)
{
    std::string hex;
    for (unsigned char c : text) {
        char digits[3];
        snprintf(digits, sizeof(digits), "%02x", c);
        hex += digits;
    }
    return hex;
}

std::string framed(const std::string &body)
{
    unsigned sum = 0;
    for (unsigned char c : body)
        sum += c;
    char tail[4];
    snprintf(tail, sizeof(tail), "#%02x", sum & 0xFF);
    return "$" + body + tail;
}

void GdbServer::SetUp()
{
    ASSERT_EQ(server_.start({}, vprobe_args_, true), 0);
    ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    ASSERT_EQ(probe_.open(server_.port), 0) << server_.stderr_text();
    // The front ends' records of BKPTs in RAM: one place for all of this
    // case's, none in the user's home.
    setenv("XDG_STATE_HOME", state_dir().c_str(), 1);
    gdb_port_ = start_front_end(front_end_);
    ASSERT_NE(gdb_port_, 0) << front_end_log();
}

void GdbServer::TearDown()
{
    front_end_.send_signal(SIGTERM);
    EXPECT_EQ(front_end_.wait_exit(20000), 0) << front_end_log();
}

uint16_t GdbServer::start_front_end(server_process &process, const std::vector<std::string> &extra)
{
    process.port = tarvex_test::free_port();
    std::vector<std::string> argv = {TARVEX_GDBSERVER_PATH, "--port", std::to_string(server_.port), "--gdb-port",
                                     std::to_string(process.port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process.pid = tarvex_test::spawn_program(argv, process.dir + "/stdout", process.dir + "/stderr");
    return process.wait_listening(20000) == 0 ? process.port : 0;
}

std::string GdbServer::front_end_log() const
{
    return front_end_.stderr_text();
}

std::string GdbServer::state_dir() const
{
    return server_.dir + "/state";
}

std::string GdbServer::scratch(const std::string &name) const
{
    return front_end_.dir + "/" + name;
}

std::string GdbServer::cli(const std::vector<std::string> &args, int *status)
{
    std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out, err;
    int rc = tarvex_test::run_to_end(argv, &out, &err, 30000);
    if (status != nullptr)
        *status = rc;
    return out;
}

static std::vector<std::string> gdb_argv(const std::vector<std::string> &commands, const std::string &target,
                                         const std::string &elf)
{
    // A terminal without colours or cursor movement.
    std::vector<std::string> argv = {"/usr/bin/env", "TERM=dumb", "/usr/bin/gdb-multiarch", "-batch", "-nx"};
    std::vector<std::string> first = {"set style enabled off", "set confirm off"};
    if (!elf.empty())
        first.push_back("file " + elf);
    first.push_back(target);
    first.insert(first.end(), commands.begin(), commands.end());
    for (const std::string &c : first) {
        argv.push_back("-ex");
        argv.push_back(c);
    }
    return argv;
}

// Reads what the terminal shows until GDB ends or the guard runs out;
// interrupt_when sees the text so far.
static void pump(int master, pid_t child, gdb_output *out,
                 const std::function<bool(const std::string &)> &interrupt_when, int timeout_ms)
{
    bool interrupted = interrupt_when == nullptr;
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 50) > 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof(buf));
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; i++)
                if (buf[i] != '\r')
                    out->text.push_back(buf[i]);
        }
        if (!interrupted && interrupt_when(out->text)) {
            interrupted = true;
            (void)!write(master, "\x03", 1);
        }
        if (now_ms() > deadline) {
            kill(child, SIGKILL);
            out->text += "\n[hang guard: GDB killed]\n";
            break;
        }
    }
}

static gdb_output run_gdb(const std::vector<std::string> &argv,
                          const std::function<bool(const std::string &)> &interrupt_when, int timeout_ms)
{
    gdb_output out;
    int master = -1;
    pid_t child = tarvex_test::spawn_on_terminal(argv, &master);
    if (child < 0)
        return out;
    pump(master, child, &out, interrupt_when, timeout_ms);
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return out;
}

gdb_output GdbServer::gdb(const std::vector<std::string> &commands, const std::function<bool()> &interrupt_when,
                          uint16_t port, int timeout_ms)
{
    std::function<bool(const std::string &)> when;
    if (interrupt_when != nullptr)
        when = [&](const std::string &) { return interrupt_when(); };
    return run_gdb(gdb_argv(commands, target(port), elf_), when, timeout_ms);
}

gdb_output GdbServer::gdb_until(const std::vector<std::string> &commands,
                                const std::function<bool(const std::string &)> &shown, uint16_t port, int timeout_ms)
{
    return run_gdb(gdb_argv(commands, target(port), elf_), shown, timeout_ms);
}

std::string GdbServer::target(uint16_t port) const
{
    return std::string(extended_ ? "target extended-remote" : "target remote") +
           " 127.0.0.1:" + std::to_string(port != 0 ? port : gdb_port_);
}

std::string GdbServer::control_command(const std::string &request) const
{
    return "python import socket; s = socket.socket(socket.AF_UNIX); s.connect('" + server_.control_path() +
           "'); s.sendall(b'" + request + "\\n'); print('(" + request +
           ")', s.makefile().readline().strip()); s.close()";
}

std::string section(const std::string &text, const std::string &name)
{
    std::string begin = "<" + name + ">";
    size_t at = text.find(begin);
    if (at == std::string::npos)
        return "";
    at += begin.size();
    if (at < text.size() && text[at] == '\n')
        at++;
    size_t end = text.find("\n<", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string mark(const std::string &name)
{
    return "echo <" + name + ">\\n";
}

long long value_after(const std::string &text, const std::string &name)
{
    size_t at = text.find(name);
    if (at == std::string::npos)
        return -1;
    size_t hex = text.find("0x", at + name.size());
    if (hex == std::string::npos)
        return -1;
    return strtoll(text.c_str() + hex + 2, nullptr, 16);
}

} // namespace gdb_test
