#include "target_link.h"

#include <unistd.h>

#include "armv7m_debug.h"
#include "log.h"
#include "tarvex_text.h"

namespace tarvex_gdb
{

using namespace armv7m;

// A halt or a reset shows in DHCSR within a few probe round trips; the bound
// only keeps a dead target from hanging the session.
constexpr int HALT_POLLS = 200;
constexpr useconds_t HALT_POLL_US = 5000;
// Reads ask for at most this much at a time, as tarvex-cli does.
constexpr uint32_t READ_PIECE = 64 * 1024;

// LINK_LOST when the request got no reply, else LINK_FAILED on a non-zero
// result.
static int outcome(target_link &t, int rc, int result)
{
    if (rc != 0) {
        t.lost = true;
        return LINK_LOST;
    }
    if (result != 0)
        LOG_DEBUG("the probe answered result %d", result);
    return result == 0 ? LINK_OK : LINK_FAILED;
}

// One request of the client library that reports the reply's RESULT.
template <typename Request> static int request(target_link &t, Request send)
{
    int result = 0;
    int rc = send(&result);
    return outcome(t, rc, result);
}

int debug_read(target_link &t, uint32_t addr, uint32_t *value)
{
    return request(t, [&](int *result) { return tarvex::read_debug_reg(t.conn, t.assoc, addr, result, value); });
}

int debug_write(target_link &t, uint32_t addr, uint32_t value)
{
    return request(t, [&](int *result) { return tarvex::write_debug_reg(t.conn, t.assoc, addr, value, result); });
}

int core_read(target_link &t, unsigned num, uint32_t *value)
{
    return request(t, [&](int *result) { return tarvex::read_core_reg(t.conn, t.assoc, num, result, value); });
}

int core_write(target_link &t, unsigned num, uint32_t value)
{
    return request(t, [&](int *result) { return tarvex::write_core_reg(t.conn, t.assoc, num, value, result); });
}

// The pieces of [addr, addr + len): bytes up to the first word boundary,
// whole words, then the bytes after the last one.
struct mem_piece {
    uint32_t addr;
    uint32_t len;
    bool words;
};

static std::vector<mem_piece> mem_pieces(uint32_t addr, uint32_t len, uint32_t max_words)
{
    std::vector<mem_piece> pieces;
    uint32_t head = (4 - (addr & 3)) & 3;
    if (head > len)
        head = len;
    if (head > 0)
        pieces.push_back({addr, head, false});
    uint32_t at = addr + head, left = len - head;
    while (left >= 4) {
        uint32_t n = left & ~3u;
        if (n > max_words)
            n = max_words;
        pieces.push_back({at, n, true});
        at += n;
        left -= n;
    }
    if (left > 0)
        pieces.push_back({at, left, false});
    return pieces;
}

static tarvex::mem_request mem_request_of(const target_link &t, const mem_piece &p)
{
    tarvex::mem_request r;
    r.assoc = t.assoc;
    r.addr = p.addr;
    r.size = p.words ? 4 : 1;
    r.count = p.words ? p.len / 4 : p.len;
    return r;
}

int memory_read(target_link &t, uint32_t addr, uint32_t len, std::vector<uint8_t> *data)
{
    data->clear();
    for (const mem_piece &p : mem_pieces(addr, len, READ_PIECE)) {
        int result = 0;
        std::vector<uint8_t> bytes;
        int rc = outcome(t, tarvex::read_mem(t.conn, mem_request_of(t, p), &result, &bytes), result);
        if (rc == LINK_OK && bytes.size() != p.len)
            rc = LINK_FAILED;
        if (rc != LINK_OK)
            return rc;
        data->insert(data->end(), bytes.begin(), bytes.end());
    }
    return LINK_OK;
}

int memory_write(target_link &t, uint32_t addr, const uint8_t *data, uint32_t len)
{
    for (const mem_piece &p : mem_pieces(addr, len, tarvex::WRITE_MEM_PIECE)) {
        int result = 0;
        int rc = outcome(t, tarvex::write_mem(t.conn, mem_request_of(t, p), data + (p.addr - addr), &result), result);
        if (rc != LINK_OK)
            return rc;
    }
    return LINK_OK;
}

int core_state(target_link &t, uint32_t *dhcsr)
{
    return debug_read(t, DHCSR, dhcsr);
}

static int wait_halted(target_link &t)
{
    for (int i = 0; i < HALT_POLLS; i++) {
        uint32_t dhcsr = 0;
        int rc = core_state(t, &dhcsr);
        if (rc != LINK_OK || (dhcsr & S_HALT) != 0)
            return rc;
        usleep(HALT_POLL_US);
    }
    return LINK_FAILED;
}

int core_halt(target_link &t)
{
    int rc = debug_write(t, DHCSR, DBGKEY | C_DEBUGEN | C_HALT);
    return rc == LINK_OK ? wait_halted(t) : rc;
}

int core_resume(target_link &t, bool step)
{
    // C_MASKINTS may change only while the core is halted, so it is set or
    // cleared with C_HALT first, then the core goes.
    uint32_t mask = step ? C_MASKINTS : 0;
    int rc = debug_write(t, DHCSR, DBGKEY | C_DEBUGEN | C_HALT | mask);
    if (rc == LINK_OK)
        rc = debug_write(t, DHCSR, DBGKEY | C_DEBUGEN | mask | (step ? C_STEP : 0));
    return rc;
}

int core_reset(target_link &t, bool halt)
{
    uint32_t demcr = 0;
    int rc = debug_read(t, DEMCR, &demcr);
    if (rc == LINK_OK)
        rc = debug_write(t, DEMCR, demcr | DEMCR_VC_CORERESET);
    if (rc == LINK_OK)
        rc = debug_write(t, AIRCR, AIRCR_VECTKEY | AIRCR_SYSRESETREQ);
    if (rc == LINK_OK)
        rc = wait_halted(t);
    int restored = debug_write(t, DEMCR, demcr & ~DEMCR_VC_CORERESET);
    if (rc == LINK_OK)
        rc = restored;
    if (rc == LINK_OK && !halt)
        rc = core_resume(t, false);
    return rc;
}

} // namespace tarvex_gdb
