// Text memory reads as the benchmarks send them: the request line, the reply
// header a success starts with, and one exchange taken with the same calls
// whatever the peer (server or echo reference).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tarvex_client.h"

// A 32-bit read of `bytes` from the start of the virtual probe's RAM.
inline std::string read_request(uint32_t assoc, size_t bytes)
{
    char line[96];
    snprintf(line, sizeof(line), "tarvex-tcp-read-mem %u 20000000 4 %zx 0\n", assoc, bytes / 4);
    return line;
}

// The expected reply of a successful read of `bytes`: this header, then the data.
inline std::string read_header(size_t bytes)
{
    return "1 0 " + std::to_string(bytes) + "\n";
}

// One request and a reply whose size is known: one send, then receives until
// the reply is complete.
inline bool exchange(tarvex::connection &c, const void *request, size_t size, void *reply, size_t reply_size,
                     int timeout_ms = 5000)
{
    return c.send_bytes(request, size) == 0 && c.recv_exact(reply, reply_size, timeout_ms) == 0;
}

// One text read: false when the reply is not the success header and the
// data (reply->size() is the header's and the data's length).
inline bool text_read(tarvex::connection &c, const std::string &request, const std::string &header,
                      std::vector<uint8_t> *reply, int timeout_ms = 5000)
{
    return exchange(c, request.data(), request.size(), reply->data(), reply->size(), timeout_ms) &&
           std::equal(header.begin(), header.end(), reply->begin());
}
