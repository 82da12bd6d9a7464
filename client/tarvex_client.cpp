#include "tarvex_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvex
{

// What one receive of a reply line takes at most: a reply line and what
// follows it in the same segment.
constexpr size_t RECEIVE_CHUNK = 4096;

int64_t monotonic_us()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t monotonic_ms()
{
    return monotonic_us() / 1000;
}

connection::~connection()
{
    close();
}

connection::connection(connection &&other) noexcept
    : fd_(other.fd_), error_(other.error_), in_(std::move(other.in_)), in_at_(other.in_at_)
{
    other.fd_ = -1;
    other.in_at_ = 0;
}

connection &connection::operator=(connection &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        error_ = other.error_;
        in_ = std::move(other.in_);
        in_at_ = other.in_at_;
        other.fd_ = -1;
        other.in_at_ = 0;
    }
    return *this;
}

static int connect_address(const struct sockaddr *addr, socklen_t length, int type, int protocol)
{
    int fd = socket(addr->sa_family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return -1;
    if (::connect(fd, addr, length) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    if (addr->sa_family != AF_UNIX) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    return fd;
}

// Each address the name gave, in order ("localhost" may give ::1 before
// 127.0.0.1, and a server may listen on only one of them).
static int connect_any(const struct addrinfo *res)
{
    int fd = -1;
    for (const struct addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next)
        fd = connect_address(ai->ai_addr, ai->ai_addrlen, ai->ai_socktype, ai->ai_protocol);
    return fd;
}

// Where a host string leads: "unix:PATH" a Unix-domain socket, "[ADDR]" an
// IPv6 literal in brackets, anything else a name or literal for the resolver.
struct endpoint {
    struct addrinfo *resolved = nullptr;
    struct sockaddr_un unix_addr = {};
    ~endpoint()
    {
        if (resolved != nullptr)
            freeaddrinfo(resolved);
    }
};

static constexpr char unix_prefix[] = "unix:";

static int resolve(const std::string &host, uint16_t port, endpoint *out)
{
    if (host.compare(0, sizeof(unix_prefix) - 1, unix_prefix) == 0) {
        std::string path = host.substr(sizeof(unix_prefix) - 1);
        if (path.empty() || path.size() >= sizeof(out->unix_addr.sun_path))
            return -1;
        out->unix_addr.sun_family = AF_UNIX;
        memcpy(out->unix_addr.sun_path, path.c_str(), path.size() + 1);
        return 0;
    }
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    std::string service = std::to_string(port);
    if (getaddrinfo(name.c_str(), service.c_str(), &hints, &out->resolved) != 0 || out->resolved == nullptr)
        return -1;
    return 0;
}

static int connect_endpoint(const endpoint &e)
{
    if (e.resolved != nullptr)
        return connect_any(e.resolved);
    return connect_address(reinterpret_cast<const struct sockaddr *>(&e.unix_addr), sizeof(e.unix_addr), SOCK_STREAM,
                           0);
}

int connection::open(const std::string &host, uint16_t port, int timeout_ms)
{
    close();
    error_ = 0;
    endpoint target;
    if (resolve(host, port, &target) != 0)
        return -1;
    int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        fd_ = connect_endpoint(target);
        if (fd_ >= 0)
            break;
        error_ = errno;
        if (monotonic_ms() >= deadline)
            break;
        usleep(20000);
    }
    return fd_ >= 0 ? 0 : -1;
}

void connection::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    in_.clear();
    in_at_ = 0;
}

int connection::send_bytes(const void *data, size_t size)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ssize_t n = send(fd_, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

bool connection::readable(int timeout_ms)
{
    return wait_readable(timeout_ms) == 0;
}

void connection::consume(size_t n)
{
    in_at_ += n;
    if (in_at_ == in_.size()) {
        in_.clear();
        in_at_ = 0;
    }
}

size_t connection::take_buffered(void *data, size_t size)
{
    size_t n = std::min(size, buffered());
    if (n > 0)
        memcpy(data, in_.data() + in_at_, n);
    consume(n);
    return n;
}

int connection::wait_readable(int timeout_ms)
{
    if (buffered() > 0)
        return 0;
    struct pollfd pfd = {fd_, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 ? 0 : -1;
}

int connection::recv_exact(void *data, size_t size, int timeout_ms)
{
    uint8_t *p = static_cast<uint8_t *>(data);
    size_t had = take_buffered(p, size);
    p += had;
    size -= had;
    int64_t deadline = monotonic_ms() + timeout_ms;
    while (size > 0) {
        int left = static_cast<int>(deadline - monotonic_ms());
        if (left < 0 || wait_readable(left) != 0)
            return -1;
        ssize_t n = recv(fd_, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

long connection::recv_some(void *data, size_t size, int timeout_ms)
{
    if (wait_readable(timeout_ms) != 0)
        return 0;
    if (buffered() > 0)
        return static_cast<long>(take_buffered(data, size));
    ssize_t n;
    do {
        n = recv(fd_, data, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

int connection::recv_line(std::string *line, int timeout_ms)
{
    line->clear();
    int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        const uint8_t *start = in_.data() + in_at_, *end = in_.data() + in_.size();
        const uint8_t *nl = std::find(start, end, '\n');
        bool whole = nl < end;
        size_t n = static_cast<size_t>(nl - start) + (whole ? 1 : 0);
        line->append(reinterpret_cast<const char *>(start), n);
        consume(n);
        if (whole)
            return 0;
        int left = static_cast<int>(deadline - monotonic_ms());
        if (left < 0 || wait_readable(left) != 0)
            return -1;
        // The buffer is empty here: the whole of it was taken into the line.
        in_.resize(RECEIVE_CHUNK);
        ssize_t got = recv(fd_, in_.data(), in_.size(), 0);
        in_.resize(got > 0 ? static_cast<size_t>(got) : 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
    }
}

bool connection::wait_closed(int timeout_ms)
{
    in_.clear();
    in_at_ = 0;
    int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        int left = static_cast<int>(deadline - monotonic_ms());
        if (left < 0 || wait_readable(left) != 0)
            return false;
        char scratch[4096];
        ssize_t n = recv(fd_, scratch, sizeof(scratch), 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

int connection::text(const std::string &request, std::string *reply, int timeout_ms)
{
    if (send_bytes(request.data(), request.size()) != 0)
        return -1;
    return recv_line(reply, timeout_ms);
}

int connection::binary(const std::vector<uint8_t> &request, size_t reply_size, std::vector<uint8_t> *reply,
                       int timeout_ms)
{
    if (send_bytes(request.data(), request.size()) != 0)
        return -1;
    reply->assign(reply_size, 0);
    return recv_exact(reply->data(), reply_size, timeout_ms);
}

void put_u32(std::vector<uint8_t> *buf, size_t offset, uint32_t value)
{
    if (buf->size() < offset + 4)
        buf->resize(offset + 4, 0);
    for (int i = 0; i < 4; i++)
        (*buf)[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_u32(const std::vector<uint8_t> &buf, size_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = (value << 8) | buf.at(offset + static_cast<size_t>(i));
    return value;
}

using namespace tarvex_wire;

static std::vector<uint8_t> request_with_u32(uint8_t code, uint32_t value)
{
    std::vector<uint8_t> req(ARGUMENT_REQUEST_SIZE, 0);
    req[0] = code;
    put_u32(&req, ARGUMENT_OFFSET, value);
    return req;
}

std::vector<uint8_t> request_get_dev_info(int8_t index, uint32_t dev_info_size)
{
    std::vector<uint8_t> req = request_with_u32(CMD_GET_DEV_INFO, dev_info_size);
    req[1] = static_cast<uint8_t>(index);
    return req;
}

std::vector<uint8_t> request_open_dev(uint32_t probe_key, bool exclusive)
{
    std::vector<uint8_t> req = request_with_u32(CMD_OPEN_DEV, probe_key);
    req.push_back(exclusive ? 1 : 0);
    return req;
}

std::vector<uint8_t> request_close_dev(uint32_t cookie_id)
{
    return request_with_u32(CMD_CLOSE_DEV, cookie_id);
}

std::vector<uint8_t> request_nb_of_dev_clients(uint32_t probe_key)
{
    return request_with_u32(CMD_GET_NB_OF_DEV_CLIENTS, probe_key);
}

std::vector<uint8_t> request_server_api_version(uint8_t client_version)
{
    return {CMD_GET_SERVER_API_VERSION, client_version};
}

std::vector<uint8_t> request_send_usb_cmd(uint32_t cookie_id, const uint8_t cmd[CMD_BLOCK_SIZE], int8_t direction,
                                          uint32_t buffer_size, const std::vector<uint8_t> &data)
{
    // Sized once: GCC 12 at -O3 misreads an insert after the header as out of bounds.
    std::vector<uint8_t> req(PASSTHROUGH_DATA_OFFSET + data.size(), 0);
    req[0] = CMD_SEND_USB_CMD;
    put_u32(&req, PASSTHROUGH_ASSOC_OFFSET, cookie_id);
    memcpy(req.data() + PASSTHROUGH_CMD_OFFSET, cmd, CMD_BLOCK_SIZE);
    req[PASSTHROUGH_DIRECTION_OFFSET] = static_cast<uint8_t>(direction);
    put_u32(&req, PASSTHROUGH_SIZE_OFFSET, buffer_size);
    if (!data.empty())
        memcpy(req.data() + PASSTHROUGH_DATA_OFFSET, data.data(), data.size());
    return req;
}

} // namespace tarvex
