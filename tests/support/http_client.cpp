#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace tarvex_test
{

static int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int http_connect(uint16_t port, const std::string &source)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    if (!source.empty()) {
        inet_pton(AF_INET, source.c_str(), &addr.sin_addr);
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
            close(fd);
            return -1;
        }
    }
    addr.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Splits the bytes at the end of the header; true once the body is whole
// (its Content-Length has come).
static bool parse(const std::string &raw, http_reply *reply)
{
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    reply->headers = raw.substr(0, end + 2);
    reply->body = raw.substr(end + 4);
    if (raw.compare(0, 5, "HTTP/") == 0 && raw.size() > 12)
        reply->status = atoi(raw.c_str() + 9);
    // Header names in any case, with or without a space after the colon.
    std::string lower = reply->headers;
    for (char &ch : lower)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    size_t length_at = lower.find("\ncontent-length:");
    if (length_at == std::string::npos)
        return false;
    return reply->body.size() >= strtoul(lower.c_str() + length_at + 16, nullptr, 10);
}

static bool send_all(int fd, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int http_exchange(uint16_t port, const std::string &request, http_reply *reply, int timeout_ms,
                  const std::string &source)
{
    *reply = {};
    int fd = http_connect(port, source);
    if (fd < 0)
        return -1;
    // A server that closes early (a refused peer) leaves the rest unsent.
    send_all(fd, request);
    std::string raw;
    int64_t deadline = now_ms() + timeout_ms;
    int rc = -1;
    while (now_ms() < deadline) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline - now_ms())) <= 0)
            continue;
        char chunk[16384];
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            parse(raw, reply);
            rc = 0;
            break;
        }
        raw.append(chunk, static_cast<size_t>(n));
        if (parse(raw, reply)) {
            rc = 0;
            break;
        }
    }
    close(fd);
    return rc;
}

int http_request(uint16_t port, const std::string &method, const std::string &path, const std::string &body,
                 http_reply *reply, int timeout_ms)
{
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!body.empty())
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    int rc = http_exchange(port, request + "\r\n" + body, reply, timeout_ms);
    return rc == 0 && reply->status != 0 ? 0 : -1;
}

int http_get(uint16_t port, const std::string &path, http_reply *reply, int timeout_ms)
{
    return http_request(port, "GET", path, "", reply, timeout_ms);
}

double metric_value(const std::string &exposition, const std::string &series)
{
    std::string line_start = series + " ";
    for (size_t at = 0; at < exposition.size();) {
        size_t end = exposition.find('\n', at);
        if (end == std::string::npos)
            end = exposition.size();
        if (exposition.compare(at, line_start.size(), line_start) == 0)
            return strtod(exposition.c_str() + at + line_start.size(), nullptr);
        at = end + 1;
    }
    return -1;
}

} // namespace tarvex_test
