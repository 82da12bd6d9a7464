#include "cli_rtt.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli_format.h"
#include "cli_transfer.h"
#include "target_attach.h"

namespace tarvex_cli
{

namespace tt = tarvex_target;
using namespace tarvex_wire;

// A quiet round waits this long on the server for bytes: what stdin or a
// TCP client sends meanwhile waits at most as long to be written.
constexpr uint32_t RTT_ROUND_WAIT_MS = 100;
// After standard input ended and its bytes were taken, the stream ends
// once the channels have been quiet this long.
constexpr int64_t RTT_EOF_IDLE_MS = 500;
// While the probe is gone, or capture was lost, rounds come this far apart.
constexpr int RTT_RETRY_MS = 200;

static volatile sig_atomic_t rtt_interrupted = 0;

static void on_rtt_signal(int)
{
    rtt_interrupted = 1;
}

struct rtt_setup {
    std::vector<int> channels;
    tt::rtt_place place;
    int listen_port = -1; // -1: standard input and output
};

static int channel_option(const std::string &text, std::vector<int> *channels)
{
    uint64_t n = 0;
    if (!tarvex::parse_number(text, RTT_CHANNEL_LIMIT - 1, &n))
        return fail(EXIT_USAGE, "--channel needs a channel number from 0 to %d: %s", RTT_CHANNEL_LIMIT - 1,
                    text.c_str());
    for (int ch : *channels)
        if (ch == static_cast<int>(n))
            return fail(EXIT_USAGE, "--channel %s is given twice", text.c_str());
    channels->push_back(static_cast<int>(n));
    return EXIT_DONE;
}

static int address_value(const char *name, const std::string &text, uint64_t max, uint32_t *value)
{
    uint64_t n = 0;
    if (!tarvex::parse_number(text, max, &n))
        return fail(EXIT_USAGE, "%s needs an address or length: %s", name, text.c_str());
    *value = static_cast<uint32_t>(n);
    return EXIT_DONE;
}

static int elf_place(const std::string &path, tt::rtt_place *place)
{
    std::vector<uint8_t> image;
    int rc = load_file(path, &image);
    if (rc == EXIT_DONE && !tt::rtt_place_of_image(image.data(), image.size(), place))
        fprintf(stderr, "rtt: %s has no %s symbol: scanning 0x%08x-0x%08x\n", path.c_str(), tt::RTT_SYMBOL,
                place->ram_base, place->ram_base + place->ram_size - 1);
    return rc;
}

// Where to look: at most one of --address, --scan and --elf; a scan of the
// SRAM region's start without any.
static int place_options(const cli_options &opt, tt::rtt_place *place)
{
    int given = !opt.rtt_address.empty() + !opt.rtt_scan.empty() + !opt.rtt_elf.empty();
    if (given > 1)
        return fail(EXIT_USAGE, "rtt takes one of --address, --scan and --elf");
    if (!opt.rtt_address.empty())
        return address_value("--address", opt.rtt_address, 0xFFFFFFFCu, &place->address);
    if (!opt.rtt_elf.empty())
        return elf_place(opt.rtt_elf, place);
    if (opt.rtt_scan.empty()) {
        *place = tt::rtt_sram_scan();
        return EXIT_DONE;
    }
    int rc = address_value("--scan", opt.rtt_scan[0], 0xFFFFFFFFu, &place->ram_base);
    uint64_t room = 0x100000000ull - place->ram_base;
    if (rc == EXIT_DONE)
        rc = address_value("--scan", opt.rtt_scan[1], room, &place->ram_size);
    if (rc == EXIT_DONE && place->ram_size < 24)
        rc = fail(EXIT_USAGE, "--scan needs a length that holds a control block");
    return rc;
}

static int parse_setup(const cli_options &opt, rtt_setup *setup)
{
    for (const std::string &ch : opt.rtt_channels)
        if (channel_option(ch, &setup->channels) != EXIT_DONE)
            return EXIT_USAGE;
    if (setup->channels.empty())
        setup->channels.push_back(0);
    uint64_t port = 0;
    if (!opt.rtt_listen.empty() && !tarvex::parse_number(opt.rtt_listen, 65535, &port))
        return fail(EXIT_USAGE, "--listen needs a TCP port (0 lets the system choose)");
    if (!opt.rtt_listen.empty())
        setup->listen_port = static_cast<int>(port);
    return place_options(opt, &setup->place);
}

// ---- where the bytes go ---------------------------------------------------------

static bool write_fd(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

static std::string json_record(const tt::rtt_output &o)
{
    std::string bytes(o.data.begin(), o.data.end());
    json_object record;
    record.add("channel", static_cast<long long>(o.channel));
    record.add("position", static_cast<long long>(o.position));
    if (utf8_valid(bytes))
        record.add("text", bytes);
    else
        record.add("base64", base64(o.data.data(), o.data.size()));
    record.add("lost", static_cast<long long>(o.lost));
    return record.text() + "\n";
}

// The stream's two ends: standard input and output, or one TCP client at a
// time on a local port.
struct rtt_stream {
    int listen_fd = -1;
    int client_fd = -1;
    bool input_open = true;
    bool json = false;
    bool prefixed = false;
    channel_lines lines;

    ~rtt_stream()
    {
        if (client_fd >= 0)
            close(client_fd);
        if (listen_fd >= 0)
            close(listen_fd);
    }
    int input_fd() const { return listen_fd >= 0 ? client_fd : (input_open ? STDIN_FILENO : -1); }
};

static int open_listener(rtt_stream &st, int port)
{
    st.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof(addr);
    int one = 1;
    setsockopt(st.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (st.listen_fd < 0 || bind(st.listen_fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        listen(st.listen_fd, 4) != 0 || getsockname(st.listen_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return fail(EXIT_USAGE, "--listen %d: %s", port, strerror(errno));
    fprintf(stderr, "rtt: listening on 127.0.0.1:%u\n", ntohs(addr.sin_port));
    return EXIT_DONE;
}

static void drop_client(rtt_stream &st)
{
    if (st.client_fd >= 0)
        close(st.client_fd);
    st.client_fd = -1;
}

// Whether the client served has closed its end and sent nothing since the
// last round: it is then gone, though take_input has not seen it yet.
static bool client_ended(const rtt_stream &st)
{
    char byte;
    return recv(st.client_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// A client that comes while one is served is closed at once; one that comes
// right after the served one left (an editor reconnecting) takes its place.
static void accept_clients(rtt_stream &st)
{
    int fd;
    while ((fd = accept4(st.listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        if (st.client_fd >= 0 && client_ended(st))
            drop_client(st);
        if (st.client_fd >= 0) {
            close(fd);
            continue;
        }
        st.client_fd = fd;
    }
}

void rtt_report_loss(const tt::rtt_output &o)
{
    if (o.lost > 0)
        fprintf(stderr, "rtt: channel %d: %llu bytes lost\n", o.channel, static_cast<unsigned long long>(o.lost));
}

// False when standard output went away: the end of the stream. A TCP
// client gets what standard output would; without one the bytes go nowhere.
static bool deliver(rtt_stream &st, const tt::rtt_output &o)
{
    rtt_report_loss(o);
    if (o.data.empty() && !st.json)
        return true;
    std::string bytes(o.data.begin(), o.data.end());
    std::string text = st.json ? json_record(o) : st.prefixed ? st.lines.feed(o.channel, bytes) : bytes;
    if (st.listen_fd < 0)
        return write_fd(STDOUT_FILENO, text);
    if (st.client_fd >= 0 && !write_fd(st.client_fd, text))
        drop_client(st);
    return true;
}

// What the input end has, into the writer; its end closes it (a TCP client
// is dropped and the next one may come).
static void take_input(rtt_stream &st, tt::rtt_writer &writer)
{
    int fd = st.input_fd();
    struct pollfd pfd = {fd, POLLIN, 0};
    if (fd < 0 || poll(&pfd, 1, 0) <= 0)
        return;
    uint8_t buf[RTT_WRITE_LIMIT];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
        writer.queue(buf, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && errno == EINTR)
        return;
    if (st.listen_fd >= 0)
        drop_client(st);
    else
        st.input_open = false;
}

// ---- the stream --------------------------------------------------------------------

struct rtt_job {
    cli_session *s;
    rtt_setup setup;
    tt::server_rtt access;
    tt::rtt_reader reader;
    tt::rtt_writer writer;
    rtt_stream stream;
    bool said_gone = false;

    rtt_job(cli_session &session, const rtt_setup &su, bool from_start)
        : s(&session), setup(su), access(session.link), reader(access, su.channels, from_start), writer(access, 0)
    {
    }
};

static int start_capture(rtt_job &job)
{
    int rc = job.access.start(0, job.setup.place);
    if (rc == tt::TARGET_LOST)
        return lost_server(KW_RTT_START);
    if (rc != tt::TARGET_OK)
        return fail(EXIT_FAILED, "the server refused RTT capture on probe %d (result %d%s)", job.s->probe.index,
                    job.access.result(), job.access.result() == -1 ? ": does it know RTT?" : "");
    return EXIT_DONE;
}

// A failed request: the probe gone waits for its return (the server resumes
// capture on re-plug); a capture that was stopped is asked for again.
static int recover(rtt_job &job, int rc)
{
    if (rc == tt::TARGET_LOST)
        return lost_server("an RTT request");
    int result = job.access.result();
    if (result == RESULT_RTT_GONE) {
        if (!job.said_gone)
            fprintf(stderr, "rtt: probe %d went away: waiting for it\n", job.s->probe.index);
        job.said_gone = true;
    } else if (result == RESULT_RTT_STOPPED) {
        int started = start_capture(job);
        if (started != EXIT_DONE)
            return started;
    } else {
        return fail(EXIT_FAILED, "RTT capture on probe %d failed (result %d)", job.s->probe.index, result);
    }
    poll(nullptr, 0, RTT_RETRY_MS);
    return EXIT_DONE;
}

// One round: input taken and written, then the channels read. *quiet is
// whether no byte came.
static int round_trip(rtt_job &job, bool *quiet)
{
    if (job.stream.listen_fd >= 0)
        accept_clients(job.stream);
    take_input(job.stream, job.writer);
    int rc = job.writer.pending() > 0 ? job.writer.push() : tt::TARGET_OK;
    std::vector<tt::rtt_output> out;
    bool waiting_input = job.writer.pending() > 0;
    if (rc == tt::TARGET_OK)
        rc = job.reader.step(waiting_input ? 0 : RTT_ROUND_WAIT_MS, &out);
    if (rc != tt::TARGET_OK)
        return recover(job, rc);
    job.said_gone = false;
    *quiet = true;
    for (const tt::rtt_output &o : out) {
        *quiet = *quiet && o.data.empty();
        if (!deliver(job.stream, o))
            rtt_interrupted = 1; // the reader went away: a normal end for a stream
    }
    if (waiting_input && *quiet)
        poll(nullptr, 0, static_cast<int>(RTT_ROUND_WAIT_MS)); // the target's buffer is full: let it read
    return EXIT_DONE;
}

static int stream(rtt_job &job)
{
    int64_t quiet_since = tarvex::monotonic_ms();
    while (!rtt_interrupted) {
        bool quiet = true;
        int rc = round_trip(job, &quiet);
        if (rc != EXIT_DONE)
            return rc;
        int64_t now = tarvex::monotonic_ms();
        if (!quiet)
            quiet_since = now;
        bool input_done = job.stream.listen_fd < 0 && !job.stream.input_open && job.writer.pending() == 0;
        if (input_done && now - quiet_since >= RTT_EOF_IDLE_MS)
            break;
    }
    return EXIT_DONE;
}

int cmd_rtt(cli_session &s, const std::vector<std::string> &)
{
    rtt_setup setup;
    int rc = parse_setup(s.opt, &setup);
    if (rc != EXIT_DONE)
        return rc;
    rc = target_status(s, tt::attach_debug_mode(s.link), "entering debug mode");
    if (rc != EXIT_DONE)
        return rc;
    rtt_job job(s, setup, s.opt.rtt_from_start);
    job.stream.json = s.opt.json;
    job.stream.prefixed = setup.channels.size() > 1;
    if (setup.listen_port >= 0 && (rc = open_listener(job.stream, setup.listen_port)) != EXIT_DONE)
        return rc;
    if ((rc = start_capture(job)) != EXIT_DONE)
        return rc;
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = on_rtt_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    rc = stream(job);
    job.access.stop();
    return rc;
}

void rtt_place_image(cli_session &s, const std::vector<uint8_t> &image)
{
    tt::rtt_place place;
    if (!tt::rtt_place_of_image(image.data(), image.size(), &place))
        return;
    tt::server_rtt access(s.link);
    access.start(RTT_START_PLACE_ONLY, place);
}

} // namespace tarvex_cli
