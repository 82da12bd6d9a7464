// tarvex-gdbserver: lets GDB debug the target of one probe that
// tarvex-server shares, beside the server's other clients. It listens for
// GDB's remote protocol and turns each packet into server requests.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "gdb_refusal.h"
#include "gdb_session.h"
#include "target_attach.h"
#include "tarvex_log.h"
#include "tarvex_address.h"
#include "tarvex_text.h"

using namespace tarvex_gdb;

enum exit_status : int {
    EXIT_DONE = 0,        // stopped by SIGINT or SIGTERM, or --help, --version
    EXIT_USAGE = 1,       // a bad option
    EXIT_NO_SERVER = 2,   // tarvex-server not reachable at start
    EXIT_NO_PROBE = 3,    // the selected probe not attached at start
    EXIT_NO_LISTEN = 252, // the GDB port could not be bound (as the server's status)
};

struct options {
    session_config session;
    uint16_t gdb_port = 3333;
    bool any_address = false;
    int send_timeout_s = 10; // a GDB that takes none of its replies this long is dropped
};

static const char *const HELP_TEXT =
    "usage: tarvex-gdbserver [options]\n"
    "  --gdb-port PORT        port GDB connects to (default 3333)\n"
    "  --network-enable       listen for GDB on every interface, not only 127.0.0.1\n"
    "  --host HOST            tarvex-server's host (default 127.0.0.1, or TARVEX_HOST)\n"
    "  --port PORT            tarvex-server's port (default %u, or TARVEX_PORT)\n"
    "  --probe INDEX|SERIAL   the probe to debug (default 0)\n"
    "  --ram BASE:SIZE        the target's RAM (default 0x20000000:128K)\n"
    "  --flash BASE:SIZE      the target's flash when no algorithm programs it (default 0:256K)\n"
    "  --algo FLM             the flash algorithm for GDB's load (default: the virtual target's, when found)\n"
    "  --pack PACK --device NAME  the algorithm a vendor's pack names for the device\n"
    "  --send-timeout SECONDS a GDB that reads none of its replies this long is dropped (default 10)\n"
    "  -d[LEVEL], --debug[=LEVEL]  log threshold -3 to 3 (default 2, info; 3 without LEVEL)\n"
    "  -l FILE, --log-output FILE  write the log to FILE\n"
    "  -h, --help             this text\n"
    "  -v, --version          the version\n"
    "exit status: 0 stopped by a signal, 1 usage, 2 server not reachable, 3 no such probe,\n"
    "             252 the GDB port could not be bound\n";

static const struct option LONG_OPTIONS[] = {
    {"gdb-port", required_argument, nullptr, 'g'},
    {"network-enable", no_argument, nullptr, 'n'},
    {"host", required_argument, nullptr, 'H'},
    {"port", required_argument, nullptr, 'p'},
    {"probe", required_argument, nullptr, 'P'},
    {"ram", required_argument, nullptr, 'r'},
    {"flash", required_argument, nullptr, 'f'},
    {"debug", optional_argument, nullptr, 'd'},
    {"log-output", required_argument, nullptr, 'l'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"algo", required_argument, nullptr, 'A'},
    {"pack", required_argument, nullptr, 'K'},
    {"device", required_argument, nullptr, 'D'},
    {"send-timeout", required_argument, nullptr, 'T'},
    {nullptr, 0, nullptr, 0},
};

static int usage_error(const char *format, const char *what)
{
    fprintf(stderr, "tarvex-gdbserver: ");
    fprintf(stderr, format, what);
    fprintf(stderr, " (see tarvex-gdbserver --help)\n");
    return EXIT_USAGE;
}

// "BASE:SIZE", numbers as tarvex-cli takes them (0x..., K, M).
static bool parse_region(const std::string &text, memory_region *r)
{
    size_t colon = text.find(':');
    uint64_t base = 0, size = 0;
    if (colon == std::string::npos || !tarvex::parse_number(text.substr(0, colon), 0xFFFFFFFFu, &base) ||
        !tarvex::parse_number(text.substr(colon + 1), 0x100000000ull - base, &size) || size > 0xFFFFFFFFu)
        return false;
    *r = {static_cast<uint32_t>(base), static_cast<uint32_t>(size)};
    return true;
}

static bool parse_seconds(const std::string &text, int *seconds)
{
    uint64_t n = 0;
    if (!tarvex::parse_number(text, 3600, &n) || n == 0)
        return false;
    *seconds = static_cast<int>(n);
    return true;
}

static int environment_defaults(options &o)
{
    if (tarvex::server_from_environment(&o.session.server) != 0)
        return usage_error("TARVEX_PORT is no port: %s", getenv("TARVEX_PORT"));
    return EXIT_DONE;
}

// One option; -1 when the program ends at once with status *status.
static int take_option(int c, options &o, int *status)
{
    const char *arg = optarg;
    switch (c) {
    case 'g':
        return tarvex::parse_port(arg, &o.gdb_port) ? 0
                                                    : (*status = usage_error("--gdb-port needs a port: %s", arg), -1);
    case 'p':
        return tarvex::parse_port(arg, &o.session.server.port)
                   ? 0
                   : (*status = usage_error("--port needs a port: %s", arg), -1);
    case 'r':
        return parse_region(arg, &o.session.ram) ? 0 : (*status = usage_error("--ram needs BASE:SIZE: %s", arg), -1);
    case 'f':
        return parse_region(arg, &o.session.flash) ? 0
                                                   : (*status = usage_error("--flash needs BASE:SIZE: %s", arg), -1);
    case 'T':
        return parse_seconds(arg, &o.send_timeout_s)
                   ? 0
                   : (*status = usage_error("--send-timeout needs seconds from 1 to 3600: %s", arg), -1);
    case 'n':
        o.any_address = true;
        return 0;
    case 'H':
        o.session.server.host = arg;
        return 0;
    case 'A':
        o.session.flash_source.algo_path = arg;
        return 0;
    case 'K':
        o.session.flash_source.pack_path = arg;
        return 0;
    case 'D':
        o.session.flash_source.device = arg;
        return 0;
    case 'P':
        o.session.probe = arg;
        return 0;
    case 'd':
        debug_level = arg != nullptr ? static_cast<int>(strtol(arg, nullptr, 10)) : LOG_LVL_DEBUG;
        return 0;
    case 'l':
        handle_log_output_command(arg);
        return 0;
    case 'h':
        printf(HELP_TEXT, static_cast<unsigned>(tarvex::default_port));
        return *status = EXIT_DONE, -1;
    case 'v':
        printf("tarvex-gdbserver v%s-%s\n", TARVEX_RELEASE, TARVEX_BUILD_DESC);
        return *status = EXIT_DONE, -1;
    default:
        return *status = usage_error("%s", "unknown option"), -1;
    }
}

static int parse_options(int argc, char **argv, options &o, int *status)
{
    *status = environment_defaults(o);
    if (*status != EXIT_DONE)
        return -1;
    int c;
    while ((c = getopt_long(argc, argv, "d::l:hv", LONG_OPTIONS, nullptr)) != -1)
        if (take_option(c, o, status) != 0)
            return -1;
    if (optind < argc) {
        *status = usage_error("unexpected argument %s", argv[optind]);
        return -1;
    }
    return 0;
}

// The server and the probe are there before GDB is waited for, so a wrong
// --port or --probe shows at start, not at GDB's first connection.
static int check_probe(const session_config &config)
{
    tarvex::connection conn;
    if (conn.open(config.server.host, config.server.port, 2000) != 0) {
        LOG_ERROR("cannot connect to tarvex-server at %s:%u: %s (is the server running?)", config.server.host.c_str(),
                  config.server.port, conn.error() != 0 ? strerror(conn.error()) : "unknown host");
        return EXIT_NO_SERVER;
    }
    tarvex::probe_entry probe;
    tarvex_target::server_link link(&conn, 0);
    int rc = tarvex_target::attach_find(link, config.probe, &probe);
    if (rc == tarvex_target::TARGET_LOST) {
        LOG_ERROR("tarvex-server at %s:%u does not answer", config.server.host.c_str(), config.server.port);
        return EXIT_NO_SERVER;
    }
    if (rc != tarvex_target::TARGET_OK) {
        LOG_ERROR("no probe %s on tarvex-server at %s:%u (see tarvex-cli list)", config.probe.c_str(),
                  config.server.host.c_str(), config.server.port);
        return EXIT_NO_PROBE;
    }
    LOG_INFO("debugging probe %d (serial %s) through tarvex-server at %s:%u", probe.index, probe.serial.c_str(),
             config.server.host.c_str(), config.server.port);
    return EXIT_DONE;
}

static int listen_for_gdb(const options &o)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(o.gdb_port);
    addr.sin_addr.s_addr = htonl(o.any_address ? INADDR_ANY : INADDR_LOOPBACK);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0) {
        LOG_ERROR("cannot listen for GDB on port %u: %s", o.gdb_port, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (o.any_address)
        LOG_INFO("listening for GDB on every interface, port %u: anyone who can reach it drives the probe, "
                 "without authentication",
                 o.gdb_port);
    else
        LOG_INFO("listening for GDB on 127.0.0.1:%u", o.gdb_port);
    return fd;
}

static volatile sig_atomic_t stop_signal = 0;

static void on_stop_signal(int sig)
{
    stop_signal = sig;
}

// SIGINT and SIGTERM end the program between two events; without
// SA_RESTART they interrupt the wait at once.
static void catch_stop_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

class front_end
{
public:
    front_end(const options &o, int listen_fd) : opt_(o), listen_fd_(listen_fd) {}
    ~front_end();
    void run();

private:
    void accept_gdb();
    void start_session(int fd, const std::string &peer);
    void gdb_ready(short revents);
    void server_readable();
    void finish_session();
    int wait_ms();
    void session_duties();

    const options &opt_;
    int listen_fd_;
    int gdb_fd_ = -1;
    std::unique_ptr<gdb_session> session_;
    int64_t next_poll_ms_ = 0;
    gdb_refusals refusals_;
};

front_end::~front_end()
{
    if (session_) {
        session_->end("tarvex-gdbserver stopped");
        finish_session();
    }
    close(listen_fd_);
}

static std::string peer_name(const struct sockaddr_in &addr)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

void front_end::accept_gdb()
{
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    int fd = accept4(listen_fd_, reinterpret_cast<struct sockaddr *>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    std::string peer = peer_name(addr);
    if (session_) {
        std::string why = "probe " + session_->serial() + " already has a GDB connection";
        LOG_WARNING("refused GDB from %s: %s", peer.c_str(), why.c_str());
        refusals_.add(fd, why);
        return;
    }
    start_session(fd, peer);
}

void front_end::start_session(int fd, const std::string &peer)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::unique_ptr<gdb_session> session(new gdb_session(fd, opt_.session));
    std::string why;
    if (session->open(&why) != 0) {
        LOG_WARNING("refused GDB from %s: %s", peer.c_str(), why.c_str());
        refusals_.add(fd, why);
        return;
    }
    LOG_INFO("GDB connected from %s", peer.c_str());
    gdb_fd_ = fd;
    session_ = std::move(session);
}

// GDB's socket takes output, has input, or failed. Input is read only
// while the session wants it, so a GDB that stops reading fills its own
// socket, not the front end's memory.
void front_end::gdb_ready(short revents)
{
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && session_->has_output())
        session_->flush_output();
    if (session_->ended() || (revents & (POLLIN | POLLHUP | POLLERR)) == 0 || !session_->wants_input())
        return;
    uint8_t buf[65536];
    ssize_t n = recv(gdb_fd_, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0)
        session_->gdb_gone();
    else
        session_->receive(buf, static_cast<size_t>(n));
}

// Between requests the server sends nothing: anything readable on its
// connection is its end.
void front_end::server_readable()
{
    char byte;
    ssize_t n = recv(session_->server_fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        session_->server_closed();
}

void front_end::finish_session()
{
    const char *reason = session_->end_reason().c_str();
    const char *serial = session_->serial().c_str();
    if (session_->end_reason().find("tarvex-server") == 0)
        LOG_ERROR("GDB session on probe %s ended: %s", serial, reason);
    else
        LOG_INFO("GDB session on probe %s ended: %s", serial, reason);
    session_.reset();
    close(gdb_fd_);
    gdb_fd_ = -1;
}

// The poll's time-out: the next core poll while the core runs and GDB has
// taken every reply, the send time-out while it has not, the next refused
// connection's end.
int front_end::wait_ms()
{
    int64_t wait = refusals_.expire();
    if (session_ != nullptr && (session_->running() || session_->has_output())) {
        int64_t due =
            session_->has_output() ? session_->output_progress_ms() + opt_.send_timeout_s * 1000 : next_poll_ms_;
        int64_t left = std::max<int64_t>(0, due - tarvex::monotonic_ms());
        wait = wait < 0 ? left : std::min(wait, left);
    }
    return static_cast<int>(wait);
}

// The core polled while it runs (not while GDB has replies to take: the
// poll may add more), and a GDB that took nothing for the send time-out
// dropped.
void front_end::session_duties()
{
    int64_t now = tarvex::monotonic_ms();
    if (session_->has_output() && now - session_->output_progress_ms() >= opt_.send_timeout_s * 1000)
        session_->gdb_stalled(opt_.send_timeout_s);
    else if (!session_->has_output() && session_->running() && now >= next_poll_ms_) {
        session_->poll_core();
        next_poll_ms_ = tarvex::monotonic_ms() + session_->poll_delay_ms();
    }
}

void front_end::run()
{
    enum { LISTEN, GDB, SERVER, REFUSED };
    std::vector<struct pollfd> fds;
    while (!stop_signal) {
        fds.assign({{listen_fd_, POLLIN, 0}, {-1, 0, 0}, {-1, POLLIN, 0}});
        if (session_) {
            fds[GDB] = {
                gdb_fd_,
                static_cast<short>((session_->wants_input() ? POLLIN : 0) | (session_->has_output() ? POLLOUT : 0)), 0};
            fds[SERVER].fd = session_->server_fd();
        }
        refusals_.poll_fds(&fds);
        int rc = poll(fds.data(), fds.size(), wait_ms());
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0) {
            refusals_.handle(fds.data() + REFUSED, fds.size() - REFUSED);
            if (session_ && fds[GDB].revents != 0)
                gdb_ready(fds[GDB].revents);
            if (session_ && !session_->ended() && (fds[SERVER].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                server_readable();
            if ((fds[LISTEN].revents & POLLIN) != 0 && !(session_ && session_->ended()))
                accept_gdb();
        }
        if (session_ && !session_->ended())
            session_duties();
        if (session_ && session_->ended())
            finish_session();
    }
}

int main(int argc, char **argv)
{
    options o;
    int status = EXIT_DONE;
    if (parse_options(argc, argv, o, &status) != 0)
        return status;
    log_init();
    catch_stop_signals();
    if ((status = check_probe(o.session)) != EXIT_DONE)
        return status;
    int listen_fd = listen_for_gdb(o);
    if (listen_fd < 0)
        return EXIT_NO_LISTEN;
    {
        front_end fe(o, listen_fd);
        fe.run();
    }
    LOG_INFO("tarvex-gdbserver stopped by signal %d", static_cast<int>(stop_signal));
    return EXIT_DONE;
}
