#include "listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "tarvex_log.h"
#include "sock_info.h"

constexpr size_t LISTEN_ADDRESS_MAX = 8;
// LISTEN_FDS: the first passed descriptor.
constexpr int LISTEN_FDS_START = 3;
constexpr int UNIX_LISTEN_BACKLOG = 1024;

struct listener_options {
    std::array<listen_address, LISTEN_ADDRESS_MAX> addresses; // --listen
    size_t address_count;
    char unix_path[sizeof(sockaddr_un::sun_path)];
    mode_t unix_mode;
    gid_t unix_group;
    bool unix_group_set;
    bool unix_made; // the socket file is this process's: removed at the end
};

static listener_options options = {{}, 0, "", 0660, 0, false, false};

int listeners_parse_address(const char *text, listen_address *out)
{
    char host[INET6_ADDRSTRLEN + 1];
    size_t length = strlen(text);
    if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
        text++;
        length -= 2;
    }
    if (length == 0 || length >= sizeof(host))
        return -1;
    memcpy(host, text, length);
    host[length] = '\0';
    *out = {};
    auto *in = reinterpret_cast<struct sockaddr_in *>(&out->addr);
    auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&out->addr);
    if (inet_pton(AF_INET, host, &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        out->length = sizeof(*in);
    } else if (inet_pton(AF_INET6, host, &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        out->length = sizeof(*in6);
    } else {
        return -1;
    }
    return 0;
}

static void add_listen_address(const char *text)
{
    if (options.address_count == LISTEN_ADDRESS_MAX) {
        access_reject_option("listen", text, "too many addresses");
        return;
    }
    if (listeners_parse_address(text, &options.addresses[options.address_count]) != 0) {
        access_reject_option("listen", text, "not an IPv4 or IPv6 address");
        return;
    }
    options.address_count++;
}

static void set_unix_path(const char *path)
{
    if (path[0] != '/' || strlen(path) >= sizeof(options.unix_path)) {
        access_reject_option("unix", path, "not an absolute path that fits a socket address");
        return;
    }
    snprintf(options.unix_path, sizeof(options.unix_path), "%s", path);
}

static void set_unix_mode(const char *text)
{
    char *end = nullptr;
    unsigned long mode = strtoul(text, &end, 8);
    if (*text < '0' || *text > '7' || *end != '\0' || mode > 0777) {
        access_reject_option("unix-mode", text, "not an octal mode of at most 0777");
        return;
    }
    options.unix_mode = static_cast<mode_t>(mode);
}

static void set_unix_group(const char *name)
{
    const struct group *gr = getgrnam(name);
    if (gr == nullptr) {
        access_reject_option("unix-group", name, "no such group");
        return;
    }
    options.unix_group = gr->gr_gid;
    options.unix_group_set = true;
}

bool listeners_handle_option(int code, const char *arg)
{
    if (code != OPT_LISTEN && code != OPT_UNIX && code != OPT_UNIX_MODE && code != OPT_UNIX_GROUP)
        return false;
    if (arg == nullptr || *arg == '\0') {
        access_reject_option("listen/unix", "", "a value is needed");
        return true;
    }
    if (code == OPT_LISTEN)
        add_listen_address(arg);
    else if (code == OPT_UNIX)
        set_unix_path(arg);
    else if (code == OPT_UNIX_MODE)
        set_unix_mode(arg);
    else
        set_unix_group(arg);
    return true;
}

static listen_address default_address(int family, bool any, bool optional)
{
    listen_address a = {};
    if (family == AF_INET) {
        auto *in = reinterpret_cast<struct sockaddr_in *>(&a.addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
        a.length = sizeof(*in);
    } else {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&a.addr);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = any ? in6addr_any : in6addr_loopback;
        a.length = sizeof(*in6);
    }
    a.optional = optional;
    return a;
}

size_t listeners_tcp_addresses(bool network_enabled, listen_address *out, size_t max)
{
    size_t count = 0;
    if (options.address_count == 0) {
        if (max >= 2) {
            out[count++] = default_address(AF_INET, network_enabled, false);
            out[count++] = default_address(AF_INET6, network_enabled, true);
        }
        return count;
    }
    for (size_t i = 0; i < options.address_count && count < max; i++)
        out[count++] = options.addresses[i];
    return count;
}

// A passed descriptor must be a listening stream socket.
static bool usable_listener(int fd)
{
    int listening = 0, type = 0;
    socklen_t len = sizeof(listening);
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening)
        return false;
    len = sizeof(type);
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

int listeners_inherited(int *fds, int max)
{
    const char *pid_text = getenv("LISTEN_PID");
    const char *count_text = getenv("LISTEN_FDS");
    if (pid_text == nullptr || count_text == nullptr || strtol(pid_text, nullptr, 10) != getpid())
        return 0;
    long count = strtol(count_text, nullptr, 10);
    // Not for the programs this one starts (there are none, but the rule stands).
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (count <= 0)
        return 0;
    if (count > max) {
        LOG_ERROR("socket activation: %ld sockets passed, at most %d are served", count, max);
        return -1;
    }
    for (int i = 0; i < count; i++) {
        int fd = LISTEN_FDS_START + i;
        if (!usable_listener(fd)) {
            LOG_ERROR("socket activation: descriptor %d is not a listening stream socket", fd);
            return -1;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fds[i] = fd;
    }
    LOG_INFO("socket activation: %ld listening sockets from the service manager; nothing else is bound", count);
    return static_cast<int>(count);
}

// A socket file left by a server that is gone answers connect with
// ECONNREFUSED and is replaced; one that accepts belongs to a live server.
// Anything but a socket is left alone.
static int clear_stale_socket(const struct sockaddr_un *addr)
{
    struct stat st;
    if (lstat(addr->sun_path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISSOCK(st.st_mode)) {
        LOG_ERROR("--unix %s: the path exists and is not a socket", addr->sun_path);
        return -1;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc = connect(probe, reinterpret_cast<const struct sockaddr *>(addr), sizeof(*addr));
    int saved = errno;
    close(probe);
    if (rc == 0) {
        LOG_ERROR("--unix %s: a live server already listens there", addr->sun_path);
        return -1;
    }
    if (saved != ECONNREFUSED) {
        LOG_ERROR("--unix %s: cannot tell whether a server listens there: %s", addr->sun_path, strerror(saved));
        return -1;
    }
    LOG_INFO("--unix %s: replacing the socket file of a server that is gone", addr->sun_path);
    return unlink(addr->sun_path);
}

// The file is made with no permission for anyone and opened up only once
// its group is set, so nobody outside the group can connect in between.
static int bind_unix(int sock, const struct sockaddr_un *addr)
{
    mode_t old_mask = umask(0777);
    int rc = bind(sock, reinterpret_cast<const struct sockaddr *>(addr), sizeof(*addr));
    int saved = errno;
    umask(old_mask);
    if (rc != 0) {
        LOG_ERROR("--unix %s: cannot make the socket: %s", addr->sun_path, strerror(saved));
        return -1;
    }
    options.unix_made = true;
    if ((options.unix_group_set && chown(addr->sun_path, static_cast<uid_t>(-1), options.unix_group) != 0) ||
        chmod(addr->sun_path, options.unix_mode) != 0) {
        LOG_ERROR("--unix %s: cannot set its group or mode: %s", addr->sun_path, strerror(errno));
        return -1;
    }
    return 0;
}

int listeners_open_unix()
{
    if (options.unix_path[0] == '\0')
        return -2;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, options.unix_path, sizeof(addr.sun_path));
    if (clear_stale_socket(&addr) != 0)
        return -1;
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0) {
        LOG_ERROR("--unix: socket failed: %s", strerror(errno));
        return -1;
    }
    if (bind_unix(sock, &addr) != 0 || listen(sock, UNIX_LISTEN_BACKLOG) != 0) {
        close(sock);
        listeners_remove_unix();
        return -1;
    }
    return sock;
}

void listeners_remove_unix()
{
    if (options.unix_made)
        unlink(options.unix_path);
    options.unix_made = false;
}

// " 0660 tarvex" for a socket file.
static void describe_unix_file(const char *path, char *out, size_t size)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        snprintf(out, size, " (gone)");
        return;
    }
    const struct group *gr = getgrgid(st.st_gid);
    if (gr != nullptr)
        snprintf(out, size, " %04o %s", st.st_mode & 07777, gr->gr_name);
    else
        snprintf(out, size, " %04o %u", st.st_mode & 07777, static_cast<unsigned>(st.st_gid));
}

bool listeners_describe(char *out, size_t size)
{
    bool beyond_loopback = false;
    size_t used = 0;
    out[0] = '\0';
    list_for_each(pos, &connection_list)
    {
        _sock_info *record = list_entry<_sock_info>(pos);
        struct sockaddr_storage addr;
        socklen_t len = sizeof(addr);
        if (!record->is_socket_listening ||
            getsockname(record->sock, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0 || used + 1 >= size)
            continue;
        if (addr.ss_family != AF_UNIX && !access_is_loopback(&addr))
            beyond_loopback = true;
        char text[160], file[64] = "";
        access_format_address(reinterpret_cast<const struct sockaddr *>(&addr), text, sizeof(text));
        if (addr.ss_family == AF_UNIX)
            describe_unix_file(reinterpret_cast<const struct sockaddr_un *>(&addr)->sun_path, file, sizeof(file));
        int n = snprintf(out + used, size - used, "%s%s%s", used > 0 ? " " : "", text, file);
        used = n > 0 ? used + static_cast<size_t>(n) : used;
    }
    if (used >= size)
        out[size - 1] = '\0';
    return beyond_loopback;
}
