// A minimal single-threaded TCP echo server on loopback: the reference a
// round trip through tarvex-server is compared with.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class echo_server
{
public:
    // Answers every receive with reply_size bytes (0: echo what arrived);
    // with request_size set, first collects that many bytes per request.
    explicit echo_server(size_t reply_size = 0, size_t request_size = 0);
    ~echo_server();
    uint16_t port() const { return port_; }

private:
    void run();
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    size_t reply_size_;
    size_t request_size_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
