// How the client-side programs name the server and read the numbers they
// are given: one default port, one reading of TARVEX_HOST and TARVEX_PORT,
// one number syntax for addresses, lengths and ports.
#pragma once

#include <cstdint>
#include <string>

#include "tarvex_wire.h"

namespace tarvex
{

constexpr uint16_t default_port = tarvex_wire::DEFAULT_PORT;
constexpr const char *default_host = "127.0.0.1";

struct server_address {
    // Passed to connection::open as given: the connection decides what a
    // host string may name.
    std::string host = default_host;
    uint16_t port = default_port;
};

// "4096", "0x20000000", "64K", "1M": decimal unless 0x, K and M count 1024
// and 1024*1024; false for anything else or a value above max.
bool parse_number(const std::string &text, uint64_t max, uint64_t *value);

// A TCP port, 1 to 65535, in the syntax of parse_number.
bool parse_port(const std::string &text, uint16_t *port);

// TARVEX_HOST and TARVEX_PORT, where set and not empty, over what *a holds:
// 0, or -1 with *a's port left as it was when TARVEX_PORT is no port.
int server_from_environment(server_address *a);

// TARVEX_HOLD, which `tarvex-cli hold` sets for the command it runs:
// "SERIAL:TOKEN", the held probe's serial and the hold's token (hex digits).
constexpr const char *HOLD_VARIABLE = "TARVEX_HOLD";
struct hold_ticket {
    std::string serial;
    std::string token;
};
std::string hold_ticket_text(const hold_ticket &t);
// 1 when TARVEX_HOLD is set and well formed, 0 when it is unset or empty,
// -1 when it is malformed.
int hold_from_environment(hold_ticket *t);

} // namespace tarvex
