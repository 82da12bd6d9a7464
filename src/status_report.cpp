#include "status_report.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "access.h"
#include "list_tarvex.h"
#include "options.h"
#include "probe_hold.h"
#include "rtt_capture.h"
#include "server_stats.h"
#include "sock_info.h"
#include "tarvex_connection.h"
#include "time_support_common.h"

#ifndef TARVEX_RELEASE
#define TARVEX_RELEASE "0.0.0"
#endif

static uint64_t busy_limit_ms = BUSY_LIMIT_DEFAULT_MS;

void status_set_busy_limit(uint64_t ms)
{
    busy_limit_ms = ms;
}

uint64_t status_busy_limit_ms()
{
    return busy_limit_ms;
}

// How long the worker of a probe has been on its current operation; 0 when idle.
static uint64_t busy_ms(const probe_stats *s, uint64_t now)
{
    return s->outstanding > 0 && now > s->busy_since_ms ? now - s->busy_since_ms : 0;
}

bool status_healthy(char *why, size_t size)
{
    uint64_t now = monotonic_ms();
    for (size_t i = 0; i < stats_probe_count(); i++) {
        const probe_stats *s = stats_probe_at(i);
        uint64_t busy = busy_ms(s, now);
        if (busy > busy_limit_ms) {
            snprintf(why, size, "probe %s: one operation has run for %.1f s (bound %.1f s)", s->serial,
                     static_cast<double>(busy) / 1000, static_cast<double>(busy_limit_ms) / 1000);
            return false;
        }
    }
    snprintf(why, size, "ok");
    return true;
}

// ---------------------------------------------------------------------------
// What the loop owns, gathered once per report

struct probe_view {
    const probe_stats *stats;
    tarvex_usb *usb; // null: not in the registry now
    unsigned clients;
    unsigned associations;
    probe_hold_info hold;
};

static void count_associations(probe_view *v)
{
    list_for_each(pos, &assoc_list)
    {
        const auto *a = list_entry<tarvex_assoc>(pos);
        if (a->tarvex_usb != v->usb || !a->valid)
            continue;
        v->associations++;
        bool seen = false;
        list_for_each(earlier, &assoc_list)
        {
            const auto *b = list_entry<tarvex_assoc>(earlier);
            if (b == a)
                break;
            seen = seen || (b->tarvex_usb == v->usb && b->valid && b->sock_info == a->sock_info);
        }
        v->clients += seen ? 0 : 1;
    }
}

// Every probe the server has seen, those in the registry with what they have now.
static std::vector<probe_view> gather_probes()
{
    list_for_each(pos, &tarvex_usb_list) stats_of(list_entry<tarvex_usb>(pos));
    std::vector<probe_view> views;
    for (size_t i = 0; i < stats_probe_count(); i++) {
        probe_view v = {stats_probe_at(i), nullptr, 0, 0, {}};
        list_for_each(pos, &tarvex_usb_list)
        {
            auto *usb = list_entry<tarvex_usb>(pos);
            if (usb->stats == v.stats)
                v.usb = usb;
        }
        if (v.usb != nullptr) {
            count_associations(&v);
            probe_hold_query(v.usb, &v.hold);
        }
        views.push_back(v);
    }
    return views;
}

static unsigned client_count()
{
    unsigned count = 0;
    list_for_each(pos, &connection_list) count += list_entry<_sock_info>(pos)->is_socket_listening ? 0 : 1;
    return count;
}

// ---------------------------------------------------------------------------
// The text exposition format

// The length of the well-formed UTF-8 sequence that starts at s, with
// `left` bytes there, or 0.
static size_t utf8_sequence(const unsigned char *s, size_t left)
{
    static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned char c = s[0];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || n > left)
        return 0;
    uint32_t code = n == 1 ? c : c & (0x7Fu >> n);
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (s[i] & 0x3Fu);
    }
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < least[n] || code > 0x10FFFF || surrogate ? 0 : n;
}

// A label value: backslash, double quote and line feed escaped, and each
// byte that is not well-formed UTF-8 (a client's name is the client's
// bytes, cut to fit) made U+FFFD: Prometheus refuses a whole scrape over
// one such label.
static std::string label_value(const char *text)
{
    std::string v;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t len = strlen(text);
    for (size_t i = 0; i < len;) {
        size_t n = utf8_sequence(s + i, len - i);
        if (n == 0)
            v += "\xEF\xBF\xBD";
        else if (s[i] == '\\' || s[i] == '"')
            v += std::string("\\") + static_cast<char>(s[i]);
        else if (s[i] == '\n')
            v += "\\n";
        else
            v.append(text + i, n);
        i += n == 0 ? 1 : n;
    }
    return v;
}

static std::string probe_labels(const probe_stats *s)
{
    char key[16];
    snprintf(key, sizeof(key), "%08x", s->key);
    return "serial=\"" + label_value(s->serial) + "\",key=\"" + key + "\"";
}

static void family(std::string *out, const char *name, const char *type, const char *help)
{
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    *out += help;
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

static void sample(std::string *out, const char *name, const std::string &labels, const char *value)
{
    *out += name;
    if (!labels.empty())
        *out += "{" + labels + "}";
    *out += ' ';
    *out += value;
    *out += '\n';
}

static void sample_u(std::string *out, const char *name, const std::string &labels, uint64_t value)
{
    char text[24];
    snprintf(text, sizeof(text), "%" PRIu64, value);
    sample(out, name, labels, text);
}

static void sample_d(std::string *out, const char *name, const std::string &labels, double value)
{
    char text[40];
    snprintf(text, sizeof(text), "%.6f", value);
    sample(out, name, labels, text);
}

static void server_metrics(std::string *out)
{
    family(out, "tarvex_build_info", "gauge", "The server's version, as a label; always 1.");
    sample(out, "tarvex_build_info", "version=\"" + label_value(TARVEX_RELEASE) + "\"", "1");
    family(out, "tarvex_uptime_seconds", "gauge", "Seconds since the server started.");
    sample_d(out, "tarvex_uptime_seconds", "", static_cast<double>(monotonic_ms() - stats_started_ms()) / 1000);
    family(out, "tarvex_clients", "gauge", "Client connections of the probe port now.");
    sample_u(out, "tarvex_clients", "", client_count());
    family(out, "tarvex_connections_total", "counter", "Client connections accepted, by transport.");
    for (int t = 0; t < TRANSPORT_COUNT; t++)
        sample_u(out, "tarvex_connections_total",
                 std::string("transport=\"") + stats_transport_name(static_cast<stats_transport>(t)) + "\"",
                 stats_connections(static_cast<stats_transport>(t)));
    family(out, "tarvex_refusals_total", "counter",
           "Connections refused by the access rules, and requests refused behind a hold, by reason.");
    for (int r = 0; r < REFUSED_COUNT; r++)
        sample_u(out, "tarvex_refusals_total",
                 std::string("reason=\"") + stats_refusal_name(static_cast<stats_refusal>(r)) + "\"",
                 stats_refusals(static_cast<stats_refusal>(r)));
    char why[160];
    family(out, "tarvex_healthy", "gauge", "1 while every probe worker is idle or within the health bound.");
    sample_u(out, "tarvex_healthy", "", status_healthy(why, sizeof(why)) ? 1 : 0);
}

// One gauge or counter of every probe, the value taken from its view.
struct probe_metric {
    const char *name;
    const char *type;
    const char *help;
    uint64_t (*value)(const probe_view &v);
};

static constexpr probe_metric probe_metrics[] = {
    {"tarvex_probe_present", "gauge", "1 while the probe is attached, 0 once it went.",
     [](const probe_view &v) -> uint64_t { return v.usb != nullptr ? 1 : 0; }},
    {"tarvex_probe_clients", "gauge", "Clients with an association on the probe.",
     [](const probe_view &v) -> uint64_t { return v.clients; }},
    {"tarvex_probe_associations", "gauge", "Associations on the probe.",
     [](const probe_view &v) -> uint64_t { return v.associations; }},
    {"tarvex_probe_held", "gauge", "1 while a client holds the probe.",
     [](const probe_view &v) -> uint64_t { return v.hold.holder[0] != '\0' ? 1 : 0; }},
    {"tarvex_probe_hold_waiters", "gauge", "Requests of other clients waiting behind the hold.",
     [](const probe_view &v) -> uint64_t { return v.hold.waiters; }},
    {"tarvex_probe_usb_transfer_failures_total", "counter", "Bulk transfers that failed or came up short.",
     [](const probe_view &v) -> uint64_t { return v.stats->usb.transfer_failures; }},
    {"tarvex_probe_usb_timeouts_total", "counter", "Bulk transfers that ended for their time-out.",
     [](const probe_view &v) -> uint64_t { return v.stats->usb.timeouts; }},
    {"tarvex_probe_wait_retries_total", "counter", "Commands asked again after the probe answered a wait status.",
     [](const probe_view &v) -> uint64_t { return v.stats->usb.wait_retries; }},
    {"tarvex_probe_usb_read_bytes_total", "counter", "Bytes read from the probe (replies and trace).",
     [](const probe_view &v) -> uint64_t { return v.stats->usb.bytes_read; }},
    {"tarvex_probe_usb_written_bytes_total", "counter", "Bytes written to the probe (command blocks and data).",
     [](const probe_view &v) -> uint64_t { return v.stats->usb.bytes_written; }},
};

static void hold_and_busy_metrics(std::string *out, const std::vector<probe_view> &views)
{
    uint64_t now = monotonic_ms();
    family(out, "tarvex_probe_hold_age_seconds", "gauge", "How long the holder, named in a label, has held the probe.");
    for (const probe_view &v : views)
        if (v.hold.holder[0] != '\0')
            sample_d(out, "tarvex_probe_hold_age_seconds",
                     probe_labels(v.stats) + ",holder=\"" + label_value(v.hold.holder) + "\"",
                     static_cast<double>(v.hold.age_ms) / 1000);
    family(out, "tarvex_probe_busy_seconds", "gauge", "How long the probe's worker has been on its current operation.");
    for (const probe_view &v : views)
        sample_d(out, "tarvex_probe_busy_seconds", probe_labels(v.stats),
                 static_cast<double>(busy_ms(v.stats, now)) / 1000);
}

static void request_metrics(std::string *out, const std::vector<probe_view> &views)
{
    family(out, "tarvex_probe_requests_total", "counter", "Operations run on the probe, by kind.");
    for (const probe_view &v : views)
        for (size_t k = 0; k < v.stats->kind_count; k++)
            sample_u(out, "tarvex_probe_requests_total",
                     probe_labels(v.stats) + ",kind=\"" + label_value(v.stats->kinds[k].kind) + "\"",
                     v.stats->kinds[k].count);
    family(out, "tarvex_probe_request_duration_seconds", "histogram",
           "Time from an operation's hand-off to its worker to its return, queueing included.");
    for (const probe_view &v : views) {
        std::string labels = probe_labels(v.stats);
        uint64_t cumulative = 0;
        for (size_t b = 0; b <= STATS_DURATION_BUCKETS; b++) {
            cumulative += v.stats->buckets[b];
            char le[32];
            if (b < STATS_DURATION_BUCKETS)
                snprintf(le, sizeof(le), "%g", STATS_DURATION_BOUNDS[b]);
            else
                snprintf(le, sizeof(le), "+Inf");
            sample_u(out, "tarvex_probe_request_duration_seconds_bucket", labels + ",le=\"" + le + "\"", cumulative);
        }
        sample_d(out, "tarvex_probe_request_duration_seconds_sum", labels, v.stats->duration_sum_s);
        sample_u(out, "tarvex_probe_request_duration_seconds_count", labels, v.stats->duration_count);
    }
}

static void rtt_metrics(std::string *out, const std::vector<probe_view> &views)
{
    static constexpr const char *names[] = {"tarvex_probe_rtt_captured_bytes_total",
                                            "tarvex_probe_rtt_lost_bytes_total"};
    static constexpr const char *helps[] = {"Bytes the RTT capture read from an up channel.",
                                            "Captured bytes newer ones pushed out of the server's ring."};
    for (int which = 0; which < 2; which++) {
        family(out, names[which], "counter", helps[which]);
        for (const probe_view &v : views) {
            rtt_channel_view channels[RTT_MAX_CHANNELS];
            size_t count = v.usb != nullptr ? rtt_capture_channels(v.usb, channels, RTT_MAX_CHANNELS) : 0;
            for (size_t c = 0; c < count; c++)
                sample_u(out, names[which],
                         probe_labels(v.stats) + ",channel=\"" + std::to_string(channels[c].channel) + "\"",
                         which == 0 ? channels[c].captured : channels[c].lost);
        }
    }
}

void status_metrics(std::string *out)
{
    out->clear();
    server_metrics(out);
    std::vector<probe_view> views = gather_probes();
    for (const probe_metric &m : probe_metrics) {
        family(out, m.name, m.type, m.help);
        for (const probe_view &v : views)
            sample_u(out, m.name, probe_labels(v.stats), m.value(v));
    }
    hold_and_busy_metrics(out, views);
    request_metrics(out, views);
    rtt_metrics(out, views);
}

// ---------------------------------------------------------------------------
// The status page's data

static double seconds_since(uint64_t then_ms, uint64_t now)
{
    return now > then_ms ? static_cast<double>(now - then_ms) / 1000 : 0;
}

// The end of an RTT channel's text: its last line, whole or not yet ended.
constexpr uint32_t RTT_TAIL_BYTES = 160;

static std::string rtt_last_line(const tarvex_usb *usb, const rtt_channel_view &channel)
{
    uint8_t tail[RTT_TAIL_BYTES];
    rtt_read_ask ask = {channel.channel, false,
                        channel.captured > RTT_TAIL_BYTES ? channel.captured - RTT_TAIL_BYTES : 0, RTT_TAIL_BYTES};
    rtt_read_answer answer;
    rtt_capture_read(usb, ask, tail, &answer);
    std::string text(reinterpret_cast<const char *>(tail), answer.len);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    size_t cut = text.find_last_of('\n');
    return cut == std::string::npos ? text : text.substr(cut + 1);
}

// The target's run state as a client last asked it, and how long ago.
static nlohmann::json target_json(const probe_stats *s, uint64_t now)
{
    static constexpr const char *names[] = {"unknown", "running", "halted", "reset", "debug-running"};
    if (s->usb.state_reads == 0)
        return nullptr;
    const char *name = s->usb.last_state < sizeof(names) / sizeof(names[0]) ? names[s->usb.last_state] : "unknown";
    return {{"state", name}, {"seconds_ago", seconds_since(s->state_seen_ms, now)}};
}

static nlohmann::json probe_json(const probe_view &v, uint64_t now)
{
    char key[16];
    snprintf(key, sizeof(key), "%08x", v.stats->key);
    nlohmann::json p = {{"serial", v.stats->serial},
                        {"key", key},
                        {"present", v.usb != nullptr},
                        {"clients", v.clients},
                        {"associations", v.associations},
                        {"busy_seconds", static_cast<double>(busy_ms(v.stats, now)) / 1000},
                        {"operations", v.stats->duration_count}};
    p["index"] = v.usb != nullptr ? nlohmann::json(v.usb->index) : nlohmann::json(nullptr);
    p["target"] = target_json(v.stats, now);
    p["holder"] = nullptr;
    p["waiters"] = nlohmann::json::array();
    p["rtt"] = nlohmann::json::array();
    if (v.usb == nullptr)
        return p;
    if (v.hold.holder[0] != '\0')
        p["holder"] = {{"name", v.hold.holder}, {"seconds", static_cast<double>(v.hold.age_ms) / 1000}};
    char names[16][sizeof(probe_hold_info::holder)];
    size_t waiting = probe_hold_waiter_names(v.usb, names, 16);
    for (size_t i = 0; i < waiting && i < 16; i++)
        p["waiters"].push_back(names[i]);
    rtt_channel_view channels[RTT_MAX_CHANNELS];
    size_t count = rtt_capture_channels(v.usb, channels, RTT_MAX_CHANNELS);
    for (size_t c = 0; c < count; c++)
        p["rtt"].push_back({{"channel", channels[c].channel}, {"last_line", rtt_last_line(v.usb, channels[c])}});
    return p;
}

static nlohmann::json client_json(const _sock_info *c, uint64_t now)
{
    char peer[INET6_ADDRSTRLEN + 16] = "";
    struct sockaddr_storage addr;
    socklen_t len = sizeof(addr);
    if (getpeername(c->sock, reinterpret_cast<struct sockaddr *>(&addr), &len) == 0)
        access_format_address(reinterpret_cast<const struct sockaddr *>(&addr), peer, sizeof(peer));
    return {{"name", c->client_name},
            {"transport", stats_transport_name(stats_transport_of(c->peer_family))},
            {"peer", peer},
            {"seconds", seconds_since(c->connected_ms, now)}};
}

void status_json(std::string *out)
{
    uint64_t now = monotonic_ms();
    char why[160];
    bool healthy = status_healthy(why, sizeof(why));
    nlohmann::json doc = {{"version", get_version()},
                          {"uptime_seconds", seconds_since(stats_started_ms(), now)},
                          {"healthy", healthy},
                          {"health", why}};
    doc["probes"] = nlohmann::json::array();
    for (const probe_view &v : gather_probes())
        doc["probes"].push_back(probe_json(v, now));
    doc["clients"] = nlohmann::json::array();
    list_for_each(pos, &connection_list)
    {
        const auto *c = list_entry<_sock_info>(pos);
        if (!c->is_socket_listening && c->sock >= 0)
            doc["clients"].push_back(client_json(c, now));
    }
    doc["refusals"] = nlohmann::json::array();
    for (size_t i = 0; i < stats_recent_refusal_count(); i++) {
        const refusal_record *r = stats_recent_refusal(i);
        doc["refusals"].push_back({{"reason", stats_refusal_name(r->reason)},
                                   {"from", r->from},
                                   {"seconds_ago", seconds_since(r->at_ms, now)}});
    }
    // Client names and peers are what clients sent: bytes that are not UTF-8
    // are replaced rather than refused.
    *out = doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
