// The client command protocol: recognition and dispatch of binary and text
// requests, and the client status codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvex_wire.h"

struct _sock_info;
struct tcp_request;

// Client status codes: the 32-bit status word of binary replies.
constexpr uint32_t TARVEX_TCP_OK = tarvex_wire::STATUS_OK;
constexpr uint32_t TARVEX_TCP_FAIL = tarvex_wire::STATUS_FAIL;
constexpr uint32_t TARVEX_TCP_DEVICE_ERROR = tarvex_wire::STATUS_DEVICE_ERROR;
constexpr uint32_t TARVEX_TCP_INFO_SIZE_ERROR = tarvex_wire::STATUS_INFO_SIZE_ERROR;

constexpr uint8_t TARVEX_TCP_SERVER_API_VERSION = tarvex_wire::SERVER_API_VERSION;

// Text requests are split into at most this many tokens (the keyword and
// five arguments) of at most TOKEN_SIZE - 1 characters each.
constexpr int TARVEX_TCP_TOKEN_SLOTS = tarvex_wire::TOKEN_SLOTS;
constexpr int TARVEX_TCP_TOKEN_SIZE = tarvex_wire::TOKEN_SIZE;

// What became of a request handed to process_tarvex_tcp_cmd.
enum tcp_cmd_outcome {
    TCP_CMD_REPLIED,    // the reply is in the buffer (a large read's data in recd_data.extra)
    TCP_CMD_IN_FLIGHT,  // it runs on its probe's worker: the reply comes with tcp_cmd_complete
    TCP_CMD_WANTS_DATA, // a memory write's payload is not all there: present the request
                        // again once recd_data.wanted bytes have arrived
    TCP_CMD_WAITS_IDLE, // a refresh: present it again once no probe work is in flight
    TCP_CMD_WAITS_HOLD, // its probe is held by another client: the request stays in the
                        // buffer, presented again when probe_hold_next_ready returns the
                        // client, or refused with tcp_cmd_refuse_held at its wait limit
    TCP_CMD_WAITS_RTT,  // an RTT read found no bytes: the request stays in the buffer,
                        // presented again when bytes may have come or its wait
                        // (the client's wait_until_ms) has passed
};

// Handles one received request held at the start of the staging buffer
// (input_buf == output_buf) and leaves the reply there with its length in
// *p_answer_size_in_bytes (0: nothing to send). Loop thread only.
// REQUIRES: the buffer holds a zero byte after the size_of_input_cmd bytes.
tcp_cmd_outcome process_tarvex_tcp_cmd(_sock_info *psock_info, uint8_t *input_buf, uint8_t *output_buf,
                                       int32_t *p_answer_size_in_bytes, int size_of_input_cmd);
// A job the probe workers handed back: runs its loop part (a client's reply
// is then in its buffer) and returns the client record it belongs to, or
// null for a job without client (probe_request.h).
_sock_info *tcp_cmd_complete(struct probe_job *job);
// A client record's request slot (every probe operation of the client is
// this record, one at a time); null when out of memory. free() releases it.
tcp_request *tcp_cmd_new_request();
// Releases the associations of a client whose connection ended, in creation
// order, each as a close that takes its probe out of its mode when it is the
// last user. True when a release is in flight on a probe worker (call again
// after its tcp_cmd_complete); false when the client holds no association.
bool tcp_cmd_release_next(_sock_info *client);
// Answers the request waiting in the client's buffer with its failure form:
// it waited for another client's hold up to its limit and did nothing.
void tcp_cmd_refuse_held(_sock_info *psock_info);
// The error line of a memory write whose payload did not arrive in time.
void tcp_cmd_log_payload_expired(const _sock_info *psock_info, int timeout_ms);

// Internal result code to client status.
uint32_t error_convert(int32_t internal_error);

// Position in the keyword table of the command a text request selects, or -1.
int tcp_cmd_find_keyword(const char *request);
// Keyword at a table position, or null past the end.
const char *tcp_cmd_keyword(int index);

// Splits text at runs of spaces into string[]; returns the number of tokens,
// or -1 when a token is too long or there are more tokens than slots.
int tcp_cmd_tokenize(const char *text, char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE]);
// The same over the first `length` characters of text (or up to its zero byte).
int tcp_cmd_tokenize_n(const char *text, size_t length, char string[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE]);
// Parse a decimal (optional sign) or hexadecimal (optional 0x) argument;
// leading white space skipped, parsing stops at the first other character.
// A token without digits leaves *value unchanged and returns false.
bool tcp_cmd_parse_dec(const char *token, int32_t *value);
bool tcp_cmd_parse_hex(const char *token, uint32_t *value);
