#include "cli_session.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "target_attach.h"
#include "target_hold.h"
#include "target_probe.h"

namespace tarvex_cli
{

namespace tt = tarvex_target;
using namespace tarvex_wire;

// The name this program's connections register under.
constexpr const char *CLIENT_NAME = "tarvex-cli";

// Whether standard error's current line holds a progress line.
static bool progress_drawn = false;

void progress_draw(const std::string &text)
{
    fprintf(stderr, "\r%s\033[K", text.c_str());
    progress_drawn = true;
}

void progress_clear()
{
    if (progress_drawn)
        fputs("\r\033[K", stderr);
    progress_drawn = false;
}

void progress_keep()
{
    if (progress_drawn)
        fputc('\n', stderr);
    progress_drawn = false;
}

int fail(int status, const char *format, ...)
{
    progress_clear();
    va_list ap;
    va_start(ap, format);
    fputs("tarvex-cli: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
    return status;
}

int lost_server(const char *what)
{
    return fail(EXIT_NO_SERVER, "no reply from tarvex-server to %s", what);
}

// "127.0.0.1:7184", or "unix:PATH" without a port.
static std::string server_text(const cli_session &s)
{
    const std::string &host = s.opt.server.host;
    return host.rfind("unix:", 0) == 0 ? host : host + ":" + std::to_string(s.opt.server.port);
}

int session_connect(cli_session &s)
{
    if (s.conn.open(s.opt.server.host, s.opt.server.port, 0) != 0) {
        if (s.conn.error() == 0)
            return fail(EXIT_NO_SERVER, "cannot resolve host %s", s.opt.server.host.c_str());
        if (s.conn.error() == EACCES || s.conn.error() == EPERM)
            return fail(EXIT_REFUSED,
                        "tarvex-server at %s refused this client: %s (the socket's mode and group keep this user "
                        "out; the packaged service admits root and the tarvex group)",
                        server_text(s).c_str(), strerror(s.conn.error()));
        return fail(EXIT_NO_SERVER, "cannot connect to tarvex-server at %s:%u: %s (is the server running?)",
                    s.opt.server.host.c_str(), s.opt.server.port, strerror(s.conn.error()));
    }
    if (tt::attach_register(s.link, CLIENT_NAME) == tt::TARGET_OK)
        return EXIT_DONE;
    // The server answers every request it reads, and closes a client its
    // access rules refuse before it reads anything.
    if (s.conn.wait_closed(0))
        return fail(EXIT_REFUSED,
                    "tarvex-server at %s refused this client: its access rules (--allow-user, --allow-group, "
                    "--allow-network) do not admit this user or host, and its log names the uid and address",
                    server_text(s).c_str());
    return lost_server(KW_REGISTER_CLIENT);
}

// A command run by `tarvex-cli hold` works under that hold on the held
// probe, and never without it: once the hold has ended, it stops.
static int join_ticket(cli_session &s)
{
    if (s.opt.ticket.serial.empty() || s.opt.ticket.serial != s.probe.serial)
        return EXIT_DONE;
    int rc = tt::hold_join(s.link, s.opt.ticket.token);
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_JOIN_HOLD);
    if (rc != tt::TARGET_OK)
        return fail(EXIT_FAILED, "the hold on probe %d that %s names has ended: nothing was done", s.probe.index,
                    tarvex::HOLD_VARIABLE);
    return EXIT_DONE;
}

int session_open_probe(cli_session &s)
{
    int rc = tt::attach_find(s.link, s.opt.probe, &s.probe);
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_GET_DESCRIPTOR);
    if (rc != tt::TARGET_OK)
        return fail(EXIT_NO_PROBE, "no probe %s on %s:%u (see tarvex-cli list)", s.opt.probe.c_str(),
                    s.opt.server.host.c_str(), s.opt.server.port);
    rc = tt::attach_open(s.link, s.probe);
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_OPEN_DEVICE);
    if (rc != tt::TARGET_OK)
        return fail(EXIT_FAILED, "probe %d (serial %s) could not be opened", s.probe.index, s.probe.serial.c_str());
    return join_ticket(s);
}

int target_status(cli_session &s, int rc, const char *what)
{
    if (rc == tt::TARGET_OK)
        return EXIT_DONE;
    if (rc == tt::TARGET_LOST)
        return lost_server(what);
    return fail(EXIT_FAILED, "%s failed on probe %d (result %d)", what, s.probe.index, s.link.last_result());
}

static int enter_debug_mode(cli_session &s)
{
    int rc = tt::attach_debug_mode(s.link);
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_INIT_MODE);
    if (rc != tt::TARGET_OK)
        return fail(EXIT_NO_TARGET, "probe %d could not enter SWD debug mode (result %d): is a target connected?",
                    s.probe.index, s.link.last_result());
    return EXIT_DONE;
}

int session_attach_target(cli_session &s)
{
    int rc = enter_debug_mode(s);
    if (rc != EXIT_DONE)
        return rc;
    uint32_t idcode = 0;
    rc = tt::probe_idcode(s.link, &idcode);
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_IDCODE);
    if (rc != tt::TARGET_OK || idcode == 0)
        return fail(EXIT_NO_TARGET, "no target answers on probe %d (IDCODE %08x, result %d)", s.probe.index, idcode,
                    s.link.last_result());
    return EXIT_DONE;
}

void session_close(cli_session &s)
{
    tt::detach(s.link);
}

// "waiting for probe N, held by X for Ns" while another client holds it,
// asked on a connection of its own: the session's carries the waiting
// request.
struct hold_progress : tt::hold_waiter {
    const cli_session &s;
    tarvex::connection watcher;
    bool said = false;

    explicit hold_progress(const cli_session &session) : s(session) {}
    void waiting() override
    {
        if (!watcher.is_open() && watcher.open(s.opt.server.host, s.opt.server.port, 0) != 0)
            return;
        tarvex::probe_holder h;
        bool found = false;
        if (tarvex::probe_holder_of(watcher, s.link.assoc(), &h, &found) != 0) {
            watcher.close();
            return;
        }
        if (!found || !h.held)
            return; // the request waits for operations queued before it, not for a hold
        char text[160];
        snprintf(text, sizeof(text), "waiting for probe %d, held by %s for %llds", s.probe.index, h.name.c_str(),
                 h.seconds);
        if (isatty(2))
            progress_draw(text);
        else if (!said)
            fprintf(stderr, "tarvex-cli: %s\n", text);
        said = true;
    }
};

int session_hold(cli_session &s)
{
    hold_progress waiter(s);
    std::string why;
    int rc = tt::hold_take(s.link, s.opt.hold_wait_s, &waiter, &why);
    progress_clear();
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_HOLD);
    if (rc == tt::TARGET_HELD)
        return fail(EXIT_HELD, "%s: gave up waiting after %g s (--hold-wait)", why.c_str(), s.opt.hold_wait_s);
    return rc == tt::TARGET_OK ? EXIT_DONE : fail(EXIT_FAILED, "%s", why.c_str());
}

void session_release(cli_session &s)
{
    tt::hold_release(s.link);
}

} // namespace tarvex_cli
