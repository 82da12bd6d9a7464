#include "gdb_semihost.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "armv7m_debug.h"
#include "gdb_session.h"
#include "tarvex_log.h"
#include "semihost_run.h"

namespace tarvex_gdb
{

using namespace tarvex_target;

// Calls served back to back before GDB's packets are looked at again: a
// firmware that prints in a loop still lets GDB interrupt it.
constexpr int CALLS_PER_TURN = 64;

gdb_semihost::~gdb_semihost()
{
    if (started)
        tarvex_semihost::semihost_session_close(session);
    if (console_fd >= 0)
        close(console_fd);
}

static void log_refused(void *, const char *line)
{
    LOG_WARNING("%s", line);
}

// The console is a memory file, not a pipe: a firmware's write of any
// length lands whole, and is sent on after the call. GDB does not say
// which file it loaded, so the program's name is a fixed word.
static bool start(gdb_session &s, gdb_semihost &h)
{
    if (h.started)
        return true;
    h.console_fd = memfd_create("tarvex-semihost-console", MFD_CLOEXEC);
    if (h.console_fd < 0)
        return false;
    std::vector<std::string> argv = {"firmware"};
    argv.insert(argv.end(), h.args.begin(), h.args.end());
    tarvex_semihost::semihost_session_init(h.session, semihost_memory_of(s.link()), STDIN_FILENO, h.console_fd,
                                           h.console_fd, argv);
    h.session.log = log_refused;
    h.started = true;
    return true;
}

static const char HEX[] = "0123456789abcdef";

// What the firmware wrote since the last call, as 'O' packets.
static void send_console(gdb_session &s, gdb_semihost &h)
{
    char bytes[1024];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(h.console_fd, bytes, sizeof(bytes), at)) > 0) {
        std::string packet = "O";
        for (ssize_t i = 0; i < n; i++) {
            packet += HEX[static_cast<uint8_t>(bytes[i]) >> 4];
            packet += HEX[bytes[i] & 0xF];
        }
        s.send_output(packet);
        at += n;
    }
    if (at > 0 && (ftruncate(h.console_fd, 0) != 0 || lseek(h.console_fd, 0, SEEK_SET) != 0))
        LOG_WARNING("the semihosting console file could not be emptied");
}

static bool halted(gdb_session &s)
{
    uint32_t dhcsr = 0;
    return s.link().read_debug(armv7m::DHCSR, &dhcsr) == TARGET_OK && (dhcsr & armv7m::S_HALT) != 0;
}

semihost_stop semihost_on_halt(gdb_session &s, gdb_semihost &h)
{
    if (!h.enabled || !start(s, h))
        return SEMIHOST_STOP_REPORT;
    for (int i = 0; i < CALLS_PER_TURN; i++) {
        uint32_t pc = 0;
        tarvex_semihost::semihost_exit exit;
        serve_outcome outcome = SERVE_NOT_CALL;
        int rc = semihost_serve(s.link(), h.session, &pc, &exit, &outcome);
        send_console(s, h);
        if (rc != TARGET_OK || outcome == SERVE_NOT_CALL)
            return SEMIHOST_STOP_REPORT;
        h.called = true;
        if (outcome == SERVE_EXITED) {
            char reply[8];
            snprintf(reply, sizeof(reply), "W%02x", exit.status & 0xFF);
            s.exited(reply);
            return SEMIHOST_STOP_EXITED;
        }
        if (!halted(s))
            return SEMIHOST_STOP_RUNNING;
    }
    return SEMIHOST_STOP_RUNNING;
}

std::string semihost_monitor(gdb_semihost &h, const std::vector<std::string> &words)
{
    std::string arg = words.size() >= 2 ? words[1] : "";
    // A halt before the first call (a breakpoint in main) leaves them open.
    if (arg == "args" && !h.called) {
        std::vector<std::string> argv(words.begin() + 1, words.end());
        std::string line = tarvex_semihost::semihost_command_line(argv);
        if (line.empty())
            return "error: a word holds both quote characters: the firmware's C library could not read it back\n";
        h.args.assign(words.begin() + 2, words.end());
        if (h.started) {
            argv[0] = "firmware";
            h.session.cmdline = tarvex_semihost::semihost_command_line(argv);
        }
        return "the firmware's arguments are set\n";
    }
    if (arg == "args")
        return "error: the firmware has made its first call: its arguments are fixed\n";
    if ((arg == "enable" || arg == "disable") && words.size() == 2) {
        h.enabled = arg == "enable";
        return std::string("semihosting ") + (h.enabled ? "enabled\n" : "disabled: GDB stops at BKPT 0xAB\n");
    }
    return "usage: monitor semihosting enable|disable|args WORDS...\n";
}

} // namespace tarvex_gdb
