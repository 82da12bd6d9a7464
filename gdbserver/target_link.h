// The target as tarvex-gdbserver reaches it: one association on one probe
// of tarvex-server, through the client library. Every operation answers
// LINK_OK, LINK_FAILED (the server answered that the probe or target
// failed) or LINK_LOST (the server did not answer: the session is over).
#pragma once

#include <cstdint>
#include <vector>

#include "tarvex_client.h"

namespace tarvex_gdb
{

enum link_result { LINK_OK = 0, LINK_FAILED = 1, LINK_LOST = -1 };

struct target_link {
    tarvex::connection conn;
    uint32_t assoc = 0;
    bool lost = false; // set once the server stopped answering
};

int debug_read(target_link &t, uint32_t addr, uint32_t *value);
int debug_write(target_link &t, uint32_t addr, uint32_t value);
int core_read(target_link &t, unsigned num, uint32_t *value);
int core_write(target_link &t, unsigned num, uint32_t value);
// Any length at any address: the unaligned head and tail as bytes, the rest
// as 32-bit accesses.
int memory_read(target_link &t, uint32_t addr, uint32_t len, std::vector<uint8_t> *data);
int memory_write(target_link &t, uint32_t addr, const uint8_t *data, uint32_t len);

// Halts the core and waits (bounded) for S_HALT.
int core_halt(target_link &t);
// Lets the core run, or step one instruction with interrupts masked.
int core_resume(target_link &t, bool step);
// Reads DHCSR into *dhcsr.
int core_state(target_link &t, uint32_t *dhcsr);
// System reset through AIRCR; with halt the core stops at the reset vector
// (DEMCR.VC_CORERESET for the time of the reset), otherwise it runs.
int core_reset(target_link &t, bool halt);

} // namespace tarvex_gdb
