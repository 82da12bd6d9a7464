// Connections that hold nothing and say nothing. A connection is idle when
// it has no probe open, no request in progress, and has sent nothing for a
// few seconds (TARVEX_IDLE_GRACE_MS): a leaked socket of a stuck script, a
// port scanner, a client that connected and forgot. Each peer (its uid where
// the server knows it, else its address) may keep --idle-max of them; an
// idle connection is closed after --idle-timeout. Loop thread only: the loop
// closes the connections these functions choose.
#pragma once

#include <cstdint>

struct _sock_info;

constexpr unsigned TARVEX_IDLE_MAX_DEFAULT = 8;
constexpr uint64_t TARVEX_IDLE_TIMEOUT_DEFAULT_MS = 3600 * 1000;

// --idle-max (0: no bound) and --idle-timeout in ms (0: never).
void idle_set_limits(unsigned max_per_peer, uint64_t timeout_ms);

// After newcomer was accepted: the longest-idle connection of its peer while
// that peer has more than --idle-max idle ones, else null. Logged; the
// caller closes it and asks again.
_sock_info *idle_next_over_bound(const _sock_info *newcomer, uint64_t now);
// The next connection idle for --idle-timeout, else null. Logged; the
// caller closes it and asks again.
_sock_info *idle_next_expired(uint64_t now);
// When idle_next_expired is next worth asking; UINT64_MAX for never.
uint64_t idle_next_check_ms();
