#include "gdb_refusal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tarvex_client.h"

namespace tarvex_gdb
{

// How long a refused connection is kept for GDB to send its first packet
// and read the reply: GDB sends at once, so only a stuck client waits it
// out.
constexpr int64_t REFUSED_LINGER_MS = 5000;
// Refused connections kept at once; more are closed without a reason.
constexpr size_t REFUSED_MAX = 8;

std::string refusal_reply(const std::string &why)
{
    std::string text = "E.tarvex-gdbserver: " + why;
    for (char &c : text)
        if (c < 0x20 || c > 0x7e || c == '$' || c == '#' || c == '*' || c == '}')
            c = '?';
    return "+" + rsp_frame(text);
}

gdb_refusals::~gdb_refusals()
{
    for (const refused &r : list_)
        close(r.fd);
}

void gdb_refusals::add(int fd, const std::string &why)
{
    if (list_.size() >= REFUSED_MAX) {
        close(fd);
        return;
    }
    list_.push_back({fd, refusal_reply(why), tarvex::monotonic_ms() + REFUSED_LINGER_MS, rsp_reader(16), false});
}

void gdb_refusals::poll_fds(std::vector<struct pollfd> *fds) const
{
    for (const refused &r : list_)
        fds->push_back({r.fd, POLLIN, 0});
}

// The reply goes after GDB's first packet; then the front end's side is
// shut and what GDB still sends is read and dropped until it closes.
void gdb_refusals::read_from(refused &r)
{
    char buf[4096];
    ssize_t n = recv(r.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        r.close_ms = 0;
        return;
    }
    if (r.answered)
        return;
    std::vector<rsp_event> events;
    r.reader.feed(reinterpret_cast<const uint8_t *>(buf), static_cast<size_t>(n), &events);
    bool packet = std::any_of(events.begin(), events.end(), [](const rsp_event &e) {
        return e.kind == RSP_PACKET || e.kind == RSP_TOO_LONG || e.kind == RSP_BAD_CHECKSUM;
    });
    if (packet) {
        // A fresh socket's buffer takes these few bytes whole.
        (void)!send(r.fd, r.reply.data(), r.reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        shutdown(r.fd, SHUT_WR);
        r.answered = true;
    }
}

void gdb_refusals::handle(const struct pollfd *fds, size_t count)
{
    for (size_t i = 0; i < count && i < list_.size(); i++)
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            read_from(list_[i]);
}

int gdb_refusals::expire()
{
    int64_t now = tarvex::monotonic_ms();
    auto gone = std::remove_if(list_.begin(), list_.end(), [now](const refused &r) {
        if (r.close_ms > now)
            return false;
        close(r.fd);
        return true;
    });
    list_.erase(gone, list_.end());
    int64_t next = -1;
    for (const refused &r : list_)
        next = next < 0 ? r.close_ms - now : std::min(next, r.close_ms - now);
    return static_cast<int>(next);
}

} // namespace tarvex_gdb
