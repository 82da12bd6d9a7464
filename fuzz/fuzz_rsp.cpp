// Arbitrary bytes from a "GDB" into tarvex-gdbserver's framing, and every
// packet that comes out of it through the packet table, on a session whose
// server connection is not open (each target access fails at once).
#include <cstdint>
#include <string>
#include <vector>

#include "gdb_packets.h"
#include "rsp_framing.h"

using namespace tarvex_gdb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A small limit, so that over-long packets are reached too.
    constexpr size_t MAX_BODY = 256;
    rsp_reader reader(MAX_BODY);
    gdb_session session(-1, session_config());
    std::vector<rsp_event> events;
    // Fed in two pieces, split where the first byte says.
    size_t split = size > 0 ? data[0] % (size + 1) : 0;
    reader.feed(data, split, &events);
    reader.feed(data + split, size - split, &events);
    for (const rsp_event &e : events) {
        if (e.body.size() > MAX_BODY || (e.kind != RSP_PACKET && !e.body.empty()))
            __builtin_trap();
        std::string reply;
        if (e.kind == RSP_PACKET)
            answer_packet(session, e.body, &reply);
    }
    return 0;
}
