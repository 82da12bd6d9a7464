// A minimal single-threaded TCP echo server on loopback: the reference a
// round trip through tarvex-server is compared with.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "tarvex_client.h"

class echo_server
{
public:
    // Answers every receive with reply_size bytes (0: echo what arrived);
    // with request_size set, first collects that many bytes per request;
    // with work_us set, keeps its CPU busy that long before each reply, as
    // a server does while the probe works.
    explicit echo_server(size_t reply_size = 0, size_t request_size = 0, int work_us = 0);
    ~echo_server();
    uint16_t port() const { return port_; }

private:
    void run();
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    size_t reply_size_;
    size_t request_size_;
    int work_us_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A client connected to its own echo server.
struct echo_client {
    echo_server echo;
    tarvex::connection c;
    explicit echo_client(size_t reply_size, size_t request_size = 0, int work_us = 0)
        : echo(reply_size, request_size, work_us)
    {
        c.open("127.0.0.1", echo.port());
    }
};
