#include "common.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "listeners.h"
#include "tarvex_log.h"
#include "sock_info.h"

accept_context accept_ctx;
int network_flag;

static constexpr int TARVEX_SOCKET_BUFFER_SIZE = 49152;
static constexpr int TARVEX_LISTEN_BACKLOG = 1024;
static constexpr size_t TARVEX_NUMERIC_ADDRESS_SIZE = 46;
// Listening sockets at most: TCP addresses, the Unix socket, or passed ones.
static constexpr int TARVEX_LISTENERS_MAX = 16;

void init_sockinfo(const char *port)
{
    // The default is stored before the options are read, so a port option
    // replaces an earlier copy.
    char *copy = strdup(port);
    if (copy == nullptr)
        return;
    free(accept_ctx.port);
    accept_ctx.port = copy;
}

void print_address_string(const struct sockaddr *sock_addr, socklen_t addr_len)
{
    char text[TARVEX_NUMERIC_ADDRESS_SIZE];
    int rc = getnameinfo(sock_addr, addr_len, text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
    if (rc != 0)
        LOG_INFO("failed to convert address to string (code=%d)", rc);
    else
        LOG_INFO("Remote address: %s", text);
}

static void set_socket_option(SOCKET sock, int level, int name, int value, const char *label)
{
    if (setsockopt(sock, level, name, &value, sizeof(value)) < 0)
        LOG_ERROR("Error setting socket opts: %s, %s\n", strerror(errno), label);
}

// Only the leading decimal digits of the port text count, low 16 bits.
static void set_port(listen_address *a)
{
    auto port = htons(static_cast<uint16_t>(strtol(accept_ctx.port, nullptr, 10)));
    if (a->addr.ss_family == AF_INET)
        reinterpret_cast<struct sockaddr_in *>(&a->addr)->sin_port = port;
    else
        reinterpret_cast<struct sockaddr_in6 *>(&a->addr)->sin6_port = port;
}

static void register_listening_socket(SOCKET sock)
{
    _sock_info *psock_info = listening_records == 0 ? alloc_sock_info() : alloc_sock_info_keyless();
    if (psock_info == nullptr) {
        LOG_ERROR("alloc_sock_info failed.");
        close(sock);
        return;
    }
    psock_info->sock = sock;
    psock_info->is_socket_listening = true;
    list_add_tail(&psock_info->list_entry, &connection_list);
    listening_records++;
    LOG_DEBUG("Added socket to list of listening sockets");
}

// The IPv6 default stays out on a host that has no IPv6.
static bool skip_optional(const listen_address *a, int error)
{
    if (!a->optional || (error != EAFNOSUPPORT && error != EADDRNOTAVAIL))
        return false;
    LOG_WARNING("no IPv6 on this host (error %d): listening on IPv4 only", error);
    return true;
}

// Sets one address up; returns the outcome of its bind.
static bool listen_on_address(const struct addrinfo *ai, int number, listen_address *a)
{
    LOG_DEBUG("Processing Address %p returned by getaddrinfo(%d) : %s ", static_cast<const void *>(ai), number,
              ai->ai_canonname != nullptr ? ai->ai_canonname : "(null)");
    SOCKET sock = socket(a->addr.ss_family, ai->ai_socktype, ai->ai_protocol);
    if (sock < 0) {
        if (skip_optional(a, errno))
            return true;
        LOG_ERROR("socket failed. Error = %d", errno);
        LOG_ERROR("Ignoring this address and continuing with the next.");
        return false;
    }
    LOG_DEBUG("Created socket with handle = %d", sock);
    set_port(a);
    print_address_string(reinterpret_cast<const struct sockaddr *>(&a->addr), a->length);
    // A restart binds at once although the last run's connections still
    // sit in TIME_WAIT on this port.
    set_socket_option(sock, SOL_SOCKET, SO_REUSEADDR, 1, "SO_REUSEADDR");
    set_socket_option(sock, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY");
    set_socket_option(sock, SOL_SOCKET, SO_RCVBUF, TARVEX_SOCKET_BUFFER_SIZE, "SO_RCVBUF");
    set_socket_option(sock, SOL_SOCKET, SO_SNDBUF, TARVEX_SOCKET_BUFFER_SIZE, "SO_SNDBUF");
    // :: beside 0.0.0.0 on the same port: each takes its own family only.
    if (a->addr.ss_family == AF_INET6)
        set_socket_option(sock, IPPROTO_IPV6, IPV6_V6ONLY, 1, "IPV6_V6ONLY");
    if (bind(sock, reinterpret_cast<const struct sockaddr *>(&a->addr), a->length) < 0) {
        int error = errno;
        close(sock);
        if (skip_optional(a, error))
            return true;
        LOG_ERROR("bind failed. Error = %d, exit", error);
        return false;
    }
    LOG_DEBUG("Socket bound successfully");
    if (listen(sock, TARVEX_LISTEN_BACKLOG) < 0) {
        printf("listen failed. Error = %d", errno);
        fflush(stdout);
        close(sock);
        return true;
    }
    LOG_DEBUG("Non Blocking Setting");
    int non_blocking = 1;
    if (ioctl(sock, FIONBIO, &non_blocking) < 0)
        LOG_ERROR("Can't put socket into non-blocking mode. Error = %d", errno);
    register_listening_socket(sock);
    return true;
}

// Socket activation: the service manager's sockets, and no others. 0 when
// not activated.
static int take_inherited_sockets()
{
    int fds[TARVEX_LISTENERS_MAX];
    int count = listeners_inherited(fds, TARVEX_LISTENERS_MAX);
    for (int i = 0; i < count; i++)
        register_listening_socket(fds[i]);
    return count;
}

static bool listen_on_addresses(const struct addrinfo *res)
{
    listen_address addresses[TARVEX_LISTENERS_MAX];
    size_t count = listeners_tcp_addresses(network_flag != 0, addresses, TARVEX_LISTENERS_MAX);
    bool result = count > 0;
    for (size_t i = 0; i < count; i++)
        if (!listen_on_address(res, static_cast<int>(i) + 1, &addresses[i]))
            result = false;
    int unix_sock = result ? listeners_open_unix() : -2;
    if (unix_sock >= 0)
        register_listening_socket(unix_sock);
    return result && unix_sock != -1;
}

bool create_listening_sockets()
{
    LOG_DEBUG("Entering create_listening_sockets()");
    LOG_DEBUG("Creating the list of sockets to listen for ...");
    int inherited = take_inherited_sockets();
    if (inherited != 0)
        return inherited > 0;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    LOG_DEBUG("interface, tcp port : %s , %s",
              accept_ctx.listen_interface != nullptr ? accept_ctx.listen_interface : "(any)", accept_ctx.port);
    LOG_INFO("port par default : %s", accept_ctx.port);
    if (network_flag)
        LOG_INFO("listening on every interface: the server accepts connections from any host without "
                 "authentication");

    bool result = false;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(nullptr, accept_ctx.port, &hints, &res) != 0) {
        LOG_ERROR("getaddrinfo failed. Error = %d", errno);
        res = nullptr;
    } else if (res == nullptr) {
        LOG_ERROR("getaddrinfo returned res = NULL");
    } else {
        LOG_DEBUG("getaddrinfo successful. Enumerating the returned addresses ...");
        result = listen_on_addresses(res);
    }
    if (res != nullptr) {
        freeaddrinfo(res);
        LOG_DEBUG("Freed the memory allocated for res by getaddrinfo");
    }
    LOG_DEBUG("Exiting create_listening_sockets()");
    return result;
}

void destroy_listening_sockets()
{
    LOG_DEBUG("Entering destroy_listening_sockets()");
    list_for_each(pos, &connection_list)
    {
        _sock_info *psock_info = list_entry<_sock_info>(pos);
        LOG_DEBUG("prepare to close socket with handle %d", psock_info->sock);
        if (psock_info->sock != -1) {
            close(psock_info->sock);
            LOG_DEBUG("Closed socket with handle %d", psock_info->sock);
            psock_info->sock = -1;
        }
    }
    LOG_DEBUG("Exiting destroy_listening_sockets()");
}

void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    auto soft = static_cast<unsigned long long>(limit.rlim_cur), hard = static_cast<unsigned long long>(limit.rlim_max);
    // Already there: no call at all (the packaged unit's system call filter
    // refuses setrlimit; it sets LimitNOFILE= instead).
    if (limit.rlim_cur >= limit.rlim_max) {
        LOG_DEBUG("descriptor limit %llu", soft);
        return;
    }
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        LOG_WARNING("cannot raise the descriptor limit from %llu to %llu (%s): at most about %llu clients", soft, hard,
                    strerror(errno), soft);
    else
        LOG_INFO("descriptor limit raised from %llu to %llu", soft, hard);
}
