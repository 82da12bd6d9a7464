// Rules:
// - libmicrohttpd is started without a thread of its own (MHD_USE_EPOLL,
//   no MHD_USE_INTERNAL_POLLING_THREAD): it runs only inside MHD_run, which
//   only the loop calls, so its callbacks run on the loop's thread and read
//   the loop's state directly. Nothing here takes a lock.
// - MHD_run never blocks: it serves what its epoll set has ready and returns.
//   Every answer is made whole at once into a copy that libmicrohttpd sends
//   as the socket takes it, so a slow reader costs its own buffer only.
// - What one connection may cost is bounded: its memory (the request's
//   header included; a longer one is answered 431), how long it may sit
//   idle, and how many connections there are at once.
#include "http_side.h"

#include <arpa/inet.h>
#include <microhttpd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "access.h"
#include "listeners.h"
#include "status_page.h"
#include "status_report.h"
#include "tarvex_log.h"
#include "time_support_common.h"

// One connection's memory: the request line and header, and the answer's
// own header. 16 KiB takes any browser's request.
constexpr size_t HTTP_CONNECTION_MEMORY = 16 * 1024;
constexpr unsigned HTTP_CONNECTIONS_MAX = 1100;
constexpr unsigned HTTP_IDLE_TIMEOUT_S = 30;
constexpr unsigned HTTP_LISTEN_BACKLOG = 1024;

struct http_state {
    listen_address address;
    bool asked; // --http was given
    MHD_Daemon *daemon;
    int event_fd;
};

static http_state http = {{}, false, nullptr, -1};

// "127.0.0.1:9184", "[::1]:9184", "0.0.0.0:9184", ":9184" or "9184".
bool http_side_set_address(const char *text)
{
    const char *colon = strrchr(text, ':');
    const char *port_text = colon != nullptr ? colon + 1 : text;
    char *end = nullptr;
    unsigned long port = strtoul(port_text, &end, 10);
    bool good = *port_text >= '0' && *port_text <= '9' && *end == '\0' && port > 0 && port <= 65535;
    std::string host = colon != nullptr ? std::string(text, static_cast<size_t>(colon - text)) : "";
    if (good && host.empty())
        host = "127.0.0.1";
    if (!good || listeners_parse_address(host.c_str(), &http.address) != 0) {
        LOG_ERROR("--http %s: not ADDRESS:PORT (an IPv4 address, or an IPv6 one in brackets, and a port 1-65535)",
                  text);
        return false;
    }
    auto *in = reinterpret_cast<struct sockaddr_in *>(&http.address.addr);
    auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&http.address.addr);
    if (http.address.addr.ss_family == AF_INET)
        in->sin_port = htons(static_cast<uint16_t>(port));
    else
        in6->sin6_port = htons(static_cast<uint16_t>(port));
    http.asked = true;
    return true;
}

bool http_side_set_busy_limit(const char *text)
{
    char *end = nullptr;
    double seconds = strtod(text, &end);
    if (end == text || *end != '\0' || !(seconds > 0) || seconds > 1e6) {
        LOG_ERROR("--busy-limit takes a number of seconds above 0, not '%s'", text);
        return false;
    }
    status_set_busy_limit(static_cast<uint64_t>(seconds * 1000 + 0.5));
    return true;
}

static void log_library(void *, const char *format, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof(text), format, ap);
    size_t len = strlen(text);
    while (len > 0 && text[len - 1] == '\n')
        text[--len] = '\0';
    LOG_DEBUG("http: %s", text);
}

static MHD_Result admit(void *, const struct sockaddr *peer, socklen_t length)
{
    return access_network_admits(peer, length) ? MHD_YES : MHD_NO;
}

static MHD_Result respond(MHD_Connection *connection, unsigned status, const char *type, const std::string &body)
{
    MHD_Response *response =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

static MHD_Result answer_health(MHD_Connection *connection)
{
    char why[200];
    bool healthy = status_healthy(why, sizeof(why));
    return respond(connection, healthy ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain; charset=utf-8",
                   std::string(why) + "\n");
}

// Every request is answered at its first call: none has a body worth reading.
static MHD_Result answer(void *, MHD_Connection *connection, const char *url, const char *method, const char *,
                         const char *, size_t *, void **)
{
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8", "GET or HEAD only\n");
    std::string body;
    if (strcmp(url, "/metrics") == 0) {
        status_metrics(&body);
        return respond(connection, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", body);
    }
    if (strcmp(url, "/healthz") == 0)
        return answer_health(connection);
    if (strcmp(url, "/status.json") == 0) {
        status_json(&body);
        return respond(connection, MHD_HTTP_OK, "application/json", body);
    }
    if (strcmp(url, "/") == 0)
        return respond(connection, MHD_HTTP_OK, "text/html; charset=utf-8", status_page_html());
    return respond(connection, MHD_HTTP_NOT_FOUND, "text/plain; charset=utf-8", "not found\n");
}

static void warn_if_open(const struct sockaddr_storage *addr)
{
    if (access_is_loopback(addr))
        return;
    char text[80];
    access_format_address(reinterpret_cast<const struct sockaddr *>(addr), text, sizeof(text));
    LOG_WARNING("http: %s is reachable beyond loopback; --allow-network decides who may read it", text);
}

int http_side_start()
{
    if (!http.asked)
        return 0;
    unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
    if (http.address.addr.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    http.daemon =
        MHD_start_daemon(flags, 0, admit, nullptr, answer, nullptr, MHD_OPTION_EXTERNAL_LOGGER, log_library, nullptr,
                         MHD_OPTION_SOCK_ADDR, &http.address.addr, MHD_OPTION_CONNECTION_LIMIT, HTTP_CONNECTIONS_MAX,
                         MHD_OPTION_CONNECTION_TIMEOUT, HTTP_IDLE_TIMEOUT_S, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                         HTTP_CONNECTION_MEMORY, MHD_OPTION_LISTEN_BACKLOG_SIZE, HTTP_LISTEN_BACKLOG, MHD_OPTION_END);
    char text[80];
    access_format_address(reinterpret_cast<const struct sockaddr *>(&http.address.addr), text, sizeof(text));
    const MHD_DaemonInfo *info =
        http.daemon != nullptr ? MHD_get_daemon_info(http.daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (info == nullptr) {
        LOG_ERROR("http: cannot listen on %s", text);
        http_side_stop();
        return -1;
    }
    http.event_fd = info->epoll_fd;
    warn_if_open(&http.address.addr);
    LOG_INFO("http: metrics, health and status at http://%s/", text);
    return 0;
}

int http_side_event_fd()
{
    return http.event_fd;
}

void http_side_run()
{
    if (http.daemon != nullptr)
        MHD_run(http.daemon);
}

uint64_t http_side_next_deadline_ms()
{
    MHD_UNSIGNED_LONG_LONG wait_ms = 0;
    if (http.daemon == nullptr || MHD_get_timeout(http.daemon, &wait_ms) != MHD_YES)
        return UINT64_MAX;
    return monotonic_ms() + wait_ms;
}

void http_side_stop()
{
    if (http.daemon != nullptr)
        MHD_stop_daemon(http.daemon);
    http.daemon = nullptr;
    http.event_fd = -1;
}
