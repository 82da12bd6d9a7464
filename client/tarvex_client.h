// A small client of the server's protocol: one TCP connection, text requests
// answered by one line, binary requests answered by fixed-length replies.
// Used by the command-line client and by the tests, so the protocol is
// spoken in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvex_wire.h"

namespace tarvex
{

// Milliseconds on a clock that only moves forward: every deadline of the
// client side counts on it, so a change of the wall clock neither cuts a
// wait short nor stretches it.
int64_t monotonic_ms();
// The same clock in microseconds, for timing what takes less than a millisecond.
int64_t monotonic_us();

class connection
{
public:
    connection() = default;
    ~connection();
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;
    connection(connection &&other) noexcept;
    connection &operator=(connection &&other) noexcept;

    // 0 on success, -1 when the server cannot be reached in timeout_ms
    // (one attempt when it is 0). error() then holds the last connect's
    // errno, or 0 when the host name did not resolve. host is a name, an
    // IPv4 or IPv6 literal (brackets allowed), or "unix:PATH" for the
    // server's Unix-domain socket (port unused then).
    int open(const std::string &host, uint16_t port, int timeout_ms = 5000);
    int error() const { return error_; }
    void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // 0 when every byte was sent.
    int send_bytes(const void *data, size_t size);
    // 0 when exactly size bytes arrived within timeout_ms (for the whole read).
    int recv_exact(void *data, size_t size, int timeout_ms = 5000);
    // Waits up to timeout_ms for data, then takes what one receive gives (at
    // most size bytes): the count, 0 on time-out or end of stream, -1 on error.
    long recv_some(void *data, size_t size, int timeout_ms);
    // Reads up to and including "\n"; 0 on success.
    int recv_line(std::string *line, int timeout_ms = 5000);
    // True when the server closed the connection within timeout_ms (any
    // bytes that arrive first are discarded).
    bool wait_closed(int timeout_ms = 5000);
    // True when bytes are waiting to be read, received or not yet: poll
    // fd() alone misses those already taken in with an earlier reply.
    bool readable(int timeout_ms = 0);

    // Sends a text request and reads its one-line reply.
    int text(const std::string &request, std::string *reply, int timeout_ms = 5000);
    // Sends a binary request and reads reply_size bytes.
    int binary(const std::vector<uint8_t> &request, size_t reply_size, std::vector<uint8_t> *reply,
               int timeout_ms = 5000);

private:
    int wait_readable(int timeout_ms);
    size_t buffered() const { return in_.size() - in_at_; }
    size_t take_buffered(void *data, size_t size);
    void consume(size_t n);
    int fd_ = -1;
    int error_ = 0;
    // Bytes received past the last line taken: a reply line is read in one
    // receive, not a byte per system call, and what followed it in the
    // same receive (a binary payload, the next reply) waits here.
    std::vector<uint8_t> in_;
    size_t in_at_ = 0;
};

// Little-endian helpers for building and decoding binary requests.
void put_u32(std::vector<uint8_t> *buf, size_t offset, uint32_t value);
uint32_t get_u32(const std::vector<uint8_t> &buf, size_t offset);

// Binary requests as tarvex_wire.h lays them out.
std::vector<uint8_t> request_get_dev_info(int8_t index, uint32_t dev_info_size);
std::vector<uint8_t> request_open_dev(uint32_t probe_key, bool exclusive);
std::vector<uint8_t> request_close_dev(uint32_t cookie_id);
std::vector<uint8_t> request_nb_of_dev_clients(uint32_t probe_key);
std::vector<uint8_t> request_server_api_version(uint8_t client_version);
std::vector<uint8_t> request_send_usb_cmd(uint32_t cookie_id, const uint8_t cmd[tarvex_wire::CMD_BLOCK_SIZE],
                                          int8_t direction, uint32_t buffer_size,
                                          const std::vector<uint8_t> &data = {});

} // namespace tarvex
