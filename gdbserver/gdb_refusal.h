// GDB connections that get no session (the probe has one already, or cannot
// be reached): each is told why in the reply to its first packet, which GDB
// shows ("Remote failure reply: E.<reason>"), and closed once GDB closes its
// end, or after a few seconds. Closing before GDB's own bytes were read
// would reset the connection and could lose the reply on the way.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rsp_framing.h"

namespace tarvex_gdb
{

// "+" and the packet "E.<why>", the reason reduced to printable bytes that
// the framing does not reserve.
std::string refusal_reply(const std::string &why);

class gdb_refusals
{
public:
    gdb_refusals() = default;
    ~gdb_refusals();
    gdb_refusals(const gdb_refusals &) = delete;
    gdb_refusals &operator=(const gdb_refusals &) = delete;

    // Takes fd over.
    void add(int fd, const std::string &why);
    // One entry per connection, in the order handle() takes their results.
    void poll_fds(std::vector<struct pollfd> *fds) const;
    // The results of the first count entries poll_fds gave; connections
    // added since wait for the next round.
    void handle(const struct pollfd *fds, size_t count);
    // Closes the connections whose time is up; the milliseconds until the
    // next one's, or -1 when none is left.
    int expire();

private:
    struct refused {
        int fd;
        std::string reply;
        int64_t close_ms;
        rsp_reader reader{16}; // only whether a packet came matters
        bool answered;
    };
    void read_from(refused &r);
    std::vector<refused> list_;
};

} // namespace tarvex_gdb
