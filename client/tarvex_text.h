// The text protocol's requests as functions: each builds the request line,
// sends it on a connection and decodes the reply. Results: 0 when the
// server answered, -1 when the connection failed or no reply came in time;
// what the server answered goes into the out-parameters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvex_client.h"
#include "tarvex_wire.h"

namespace tarvex
{

// The fields of a reply line, split at spaces, without its "\n".
std::vector<std::string> reply_fields(const std::string &reply);

// Field i of a reply parsed in the given base; fallback when it is missing
// or not a number.
long long reply_number(const std::vector<std::string> &fields, size_t i, int base, long long fallback);

struct probe_entry {
    int index = 0; // the server's index of the probe (a position from describe_probe)
    uint32_t key = 0;
    uint32_t vendor_id = 0;
    uint32_t product_id = 0;
    std::string serial;
};

// "get-nb-tarvex": the number of registered probes.
int probe_count(connection &c, int *count);
// "get-tarvex-descriptor": the probe at a position of the server's list
// (positions shift when a probe leaves); *found is false when there is none.
int describe_probe(connection &c, int position, probe_entry *entry, bool *found);
// The attached probes in index order.
int list_probes(connection &c, std::vector<probe_entry> *probes);
// Finds a probe as the command-line tools name it: a short all-digit
// selector is a probe index, anything else a serial number. *found is false
// when no probe matches.
int find_probe(connection &c, const std::string &selector, probe_entry *entry, bool *found);
// "get-nb-usb-client": associations on the probe with that key; with a
// client name, only those of clients registered under it.
int usb_client_count(connection &c, uint32_t key, int *count, const std::string &client_name = "");
// "open-device": *assoc is 0 when the server refused.
int open_device(connection &c, uint32_t key, uint32_t *assoc);
// "close-device".
int close_device(connection &c, uint32_t assoc);

// "register-client": the name the server counts this connection's
// associations under and logs it by.
int register_client(connection &c, const std::string &name);
// "usb-refresh": the server rescans the USB bus.
int usb_refresh(connection &c);
// "get-version": the server's version line, without its end of line.
int server_version(connection &c, std::string *text);

// "KEYWORD ASSOC REST\n" (rest starts with its own space) for the requests
// whose reply is "1 RESULT [VALUE]": *result is RESULT (negative when the
// probe failed, -1 when the reply had none); VALUE goes into fields.
int assoc_request(connection &c, const char *keyword, uint32_t assoc, const std::string &rest, int *result,
                  std::vector<std::string> *fields = nullptr);
// The debug registers of the target's system space (DHCSR, DEMCR, FPB, ...),
// 32-bit accesses through "tarvex-tcp-read-debug-reg" and its write.
int read_debug_reg(connection &c, uint32_t assoc, uint32_t addr, int *result, uint32_t *value);
int write_debug_reg(connection &c, uint32_t assoc, uint32_t addr, uint32_t value, int *result);
// Core registers by their Debug Core Register Selector number (r0-r12 0-12,
// sp 13, lr 14, pc 15, xPSR 16, msp 17, psp 18).
int read_core_reg(connection &c, uint32_t assoc, unsigned num, int *result, uint32_t *value);
int write_core_reg(connection &c, uint32_t assoc, unsigned num, uint32_t value, int *result);
// "tarvex-tcp-read-regs": the register file in one request, its words by
// selector in this order (20 is CONTROL/FAULTMASK/BASEPRI/PRIMASK packed).
constexpr std::array<unsigned, 20> REGISTER_FILE = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                    10, 11, 12, 13, 14, 15, 16, 17, 18, 20};
// *have_values is false when the reply had none: the probe's status refused
// them, or a server that sends only the result.
int read_register_file(connection &c, uint32_t assoc, int *result, std::array<uint32_t, REGISTER_FILE.size()> *values,
                       bool *have_values);
// "tarvex-usb-idcode": the debug port's IDCODE (0 when none answered).
int read_idcode(connection &c, uint32_t assoc, int *result, uint32_t *idcode);
// "tarvex-tcp-check-voltage": the target's supply in volts.
int read_voltage(connection &c, uint32_t assoc, int *result, double *volts);
// "tarvex-tcp-version": the probe's generation and firmware versions.
struct probe_firmware {
    std::string generation;
    long long hw = 0;
    long long jtag = 0;
    long long vemo = 0;
};
int read_probe_firmware(connection &c, uint32_t assoc, int *result, probe_firmware *fw);
// "tarvex-tcp-speed": the SWD clock nearest khz the probe has; *result is
// the clock now in force in kHz, 0 when the probe refused.
int set_swd_clock(connection &c, uint32_t assoc, uint32_t khz, int *result);
// "tarvex-config-trace": SWO capture on, as UART at hz, or off (hz 0 then).
int config_trace(connection &c, uint32_t assoc, bool enabled, uint32_t hz, int *result);
// Puts the probe into SWD debug mode unless it already is in a debug mode
// (another client may be using it as it is); *result is the mode change's
// RESULT, 0 when none was needed.
int ensure_debug_mode(connection &c, uint32_t assoc, int *result);

// A memory transfer: size 4 selects 32-bit accesses, any other size bytes.
struct mem_request {
    uint32_t assoc = 0;
    uint32_t addr = 0;
    uint32_t size = 1;
    uint32_t count = 0;
    uint32_t dapid = 0;
};

// "tarvex-tcp-read-mem": the header's result and the data bytes it
// announces (the server sends them whether or not the read succeeded).
int read_mem(connection &c, const mem_request &r, int *result, std::vector<uint8_t> *data, int timeout_ms = 20000);
// "tarvex-tcp-write-mem": the command line, then size x count data bytes.
// The server stages the line and the data in one buffer, so a longer
// transfer goes in pieces of WRITE_MEM_PIECE: the most whole 1 KiB probe
// blocks that leave room for the line, each piece then costing the probe no
// partial block and the client one round trip per piece.
constexpr uint32_t WRITE_MEM_LINE_MAX = 128; // the longest command line this library writes
constexpr uint32_t PROBE_BLOCK = 1024;
constexpr uint32_t WRITE_MEM_PIECE =
    (tarvex_wire::STAGING_BUFFER_SIZE - WRITE_MEM_LINE_MAX) / PROBE_BLOCK * PROBE_BLOCK;
static_assert(WRITE_MEM_PIECE == 31 * 1024, "a piece and its line fill the staging buffer");
int write_mem(connection &c, const mem_request &r, const uint8_t *data, int *result, int timeout_ms = 20000);
// "tarvex-usb-trace-read": the reply does not state its data length, so the
// data is what arrives until max bytes or quiet_ms without more. *result is
// the header's number (1 when nothing was pending).
int trace_read(connection &c, uint32_t assoc, size_t max, int *result, std::vector<uint8_t> *data, int quiet_ms = 50);

// Holds: a client with multi-step work takes the probe for itself; other
// clients' requests on it wait until it releases the probe or its connection
// ends.
// "tarvex-tcp-hold": takes the hold on the probe of this client's association,
// waiting up to wait_ms (0: not at all) behind another client's hold. *result
// is 0 when held, RESULT_PROBE_HELD when refused or timed out, RESULT_FAIL
// when assoc is not this connection's association.
int hold_probe(connection &c, uint32_t assoc, int wait_ms, int *result);
// The same in two halves, for a caller that does other work while the
// server keeps the request waiting in the probe's queue: the request, then
// its reply (-1 when none came within timeout_ms).
int hold_probe_send(connection &c, uint32_t assoc, int wait_ms);
int hold_probe_reply(connection &c, int timeout_ms, int *result);
// How long a hold request asking for wait_ms may take to be answered.
int hold_reply_timeout_ms(int wait_ms);
// "tarvex-tcp-share-hold": the token of the hold this client has (or
// joined) on the probe of assoc; *result -4 without one.
int share_hold(connection &c, uint32_t assoc, int *result, std::string *token);
// "tarvex-tcp-join-hold": this client's requests on the probe of assoc go
// as the holder's while the hold that token names lasts; *result -4 when
// no hold on that probe carries it.
int join_hold(connection &c, uint32_t assoc, const std::string &token, int *result);
// "tarvex-tcp-release": *result 0, or -4 when this client did not hold it.
int release_probe(connection &c, uint32_t assoc, int *result);

struct probe_holder {
    bool held = false;
    std::string name; // the holder's client name, or "socket-N"
    long long seconds = 0;
    int waiters = 0; // requests of other clients waiting behind the hold
};
// "tarvex-tcp-who-holds": id is an association key, or a position in the
// server's list (below 256). *found is false when it names no probe.
int probe_holder_of(connection &c, uint32_t id, probe_holder *holder, bool *found);

// "tarvex-tcp-force-release": ends another client's hold on the probe id
// names (as for who-holds). *result 0, -4 when nobody held it, RESULT_NOT_PERMITTED
// unless this client is root, the server's user or in its group, on the
// server's Unix socket.
int force_release_probe(connection &c, uint32_t id, int *result);

} // namespace tarvex
