#include "echo_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "round_trip.h"

echo_server::echo_server(size_t reply_size, size_t request_size, int work_us)
    : reply_size_(reply_size), request_size_(request_size), work_us_(work_us)
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    listen(listen_fd_, 16);
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

echo_server::~echo_server()
{
    stop_ = true;
    thread_.join();
    close(listen_fd_);
}

// Spins rather than sleeps: the client's wait is what is measured.
static void busy_for(int us)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (us > 0 && std::chrono::steady_clock::now() < end) {
    }
}

// Serves one client at a time, as the server under comparison does: one
// receive, one reply.
void echo_server::run()
{
    pin_to_cpu(0, true);
    std::vector<uint8_t> buf(1 << 21);
    while (!stop_) {
        struct pollfd pfd = {listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        for (;;) {
            struct pollfd cfd = {fd, POLLIN, 0};
            if (poll(&cfd, 1, 100) == 0) {
                if (stop_)
                    break;
                continue;
            }
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            for (size_t got = static_cast<size_t>(n); got < request_size_; got += static_cast<size_t>(n)) {
                n = recv(fd, buf.data() + got, buf.size() - got, 0);
                if (n <= 0)
                    break;
            }
            if (n <= 0)
                break;
            busy_for(work_us_);
            size_t size = reply_size_ != 0 ? reply_size_ : static_cast<size_t>(n);
            if (send(fd, buf.data(), size, MSG_NOSIGNAL) < 0)
                break;
        }
        close(fd);
    }
}
