// The target layer's view of one core: a link that reads and writes debug
// registers, core registers and memory. The layer's logic (run control,
// the memory policy, breakpoints and watchpoints, stop reasons) is written
// against this interface only, so it runs the same over the server and over
// an in-memory fake in the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvex_client.h"

namespace tarvex_target
{

// Results of every operation of the layer and of the link.
enum target_result : int {
    TARGET_OK = 0,
    TARGET_FAILED = -1,     // the probe or the target refused or failed
    TARGET_LOST = -2,       // no reply: the association is gone
    TARGET_EXHAUSTED = -3,  // no comparator left
    TARGET_UNSUITABLE = -4, // nothing can break or watch there
    TARGET_HELD = -5,       // another client holds the probe
    TARGET_CANCELLED = -6,  // the caller asked a long operation to stop, and it did
    TARGET_NO_PROBE = -7,   // the server lists no probe by that name
};

class link
{
public:
    virtual ~link() = default;
    // A memory-mapped register of the system space, 32 bits.
    virtual int read_debug(uint32_t addr, uint32_t *value) = 0;
    virtual int write_debug(uint32_t addr, uint32_t value) = 0;
    // A core register by its DCRSR selector (armv7m_debug.h).
    virtual int read_core(unsigned regsel, uint32_t *value) = 0;
    virtual int write_core(unsigned regsel, uint32_t value) = 0;
    // Several core registers for one caller's request. A link that has a
    // register-set transfer overrides it; this one asks for each.
    virtual int read_core_set(const unsigned *regsels, size_t count, uint32_t *values);
    // count accesses of size bytes (1 or 4) from addr, which size divides.
    // On failure nothing in data is to be trusted.
    virtual int read_memory(uint32_t addr, uint32_t size, uint32_t count, uint8_t *data) = 0;
    virtual int write_memory(uint32_t addr, uint32_t size, uint32_t count, const uint8_t *data) = 0;
};

// The link over one association with tarvex-server. Failures set lost
// (no reply) or last_result (what the probe answered), for the messages
// of the front ends. The layer's other requests on the association
// (attaching, the probe's own, holds) go through link_access.h.
class server_link : public link
{
public:
    server_link(tarvex::connection *conn, uint32_t assoc) : conn_(conn), assoc_(assoc) {}
    void set_assoc(uint32_t assoc) { assoc_ = assoc; }
    uint32_t assoc() const { return assoc_; }
    bool lost() const { return lost_; }
    void mark_lost() { lost_ = true; }
    int last_result() const { return last_result_; }

    int read_debug(uint32_t addr, uint32_t *value) override;
    int write_debug(uint32_t addr, uint32_t value) override;
    int read_core(unsigned regsel, uint32_t *value) override;
    int write_core(unsigned regsel, uint32_t value) override;
    int read_core_set(const unsigned *regsels, size_t count, uint32_t *values) override;
    int read_memory(uint32_t addr, uint32_t size, uint32_t count, uint8_t *data) override;
    int write_memory(uint32_t addr, uint32_t size, uint32_t count, const uint8_t *data) override;

private:
    friend struct link_access;
    int outcome(int rc, int result) { return settle(rc, result, result != 0); }
    int settle(int rc, int result, bool failed);
    tarvex::connection *conn_;
    uint32_t assoc_;
    bool lost_ = false;
    int last_result_ = 0;
};

} // namespace tarvex_target
