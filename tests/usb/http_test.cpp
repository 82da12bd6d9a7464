// The server's HTTP side, as an operator's tools read it: a real Prometheus
// scrapes it while clients come, hold and go; the metrics and
// the status page's data follow what the test's clients do on the probe
// port (opens, a hold with a waiter behind it, a refused peer), promtool
// accepts the exposition, /healthz turns while a probe's worker is kept on
// one operation by the virtual probe's gate, and hostile HTTP peers (garbage,
// an oversized header, a thousand idle connections, a reader that never
// reads) cost the probe clients nothing and the server a bounded amount of
// memory. The HTTP side is the loop's own, the same on both transports, so
// the cases run on the fast one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http_client.h"
#include "prometheus_process.h"
#include "usb_fixture.h"

namespace
{

using namespace usb_test;
using tarvex_test::http_reply;

constexpr uint32_t RAM = 0x20000000;
// ThreadSanitizer keeps shadow memory for every word the server touches: its
// resident memory grows about four times as fast.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVEX_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(TARVEX_UNDER_TSAN)
constexpr long SANITIZER_MEMORY_FACTOR = 4;
#else
constexpr long SANITIZER_MEMORY_FACTOR = 1;
#endif

class Http : public UsbServer
{
protected:
    void start_http(const std::vector<std::string> &extra = {})
    {
        http_port_ = tarvex_test::free_port();
        std::vector<std::string> args = {"--http", "127.0.0.1:" + std::to_string(http_port_)};
        args.insert(args.end(), extra.begin(), extra.end());
        start({"--probes", "2"}, args);
    }
    http_reply get(const std::string &path)
    {
        http_reply reply;
        EXPECT_EQ(tarvex_test::http_get(http_port_, path, &reply), 0) << path;
        return reply;
    }
    std::string metrics()
    {
        http_reply reply = get("/metrics");
        EXPECT_EQ(reply.status, 200);
        EXPECT_NE(reply.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
        return reply.body;
    }
    nlohmann::json status()
    {
        http_reply reply = get("/status.json");
        EXPECT_EQ(reply.status, 200);
        return nlohmann::json::parse(reply.body, nullptr, false);
    }
    // The entry of probe `index` in the status page's data.
    nlohmann::json probe_status(int index)
    {
        nlohmann::json all = status();
        for (const nlohmann::json &p : all["probes"])
            if (p["serial"] == default_serial(index))
                return p;
        return nullptr;
    }
    std::string series(const char *name, int index, const std::string &more = "")
    {
        char key[16];
        snprintf(key, sizeof(key), "%08x", key_of(default_serial(index)));
        return std::string(name) + "{serial=\"" + default_serial(index) + "\",key=\"" + key + "\"" + more + "}";
    }
    double probe_metric(const char *name, int index, const std::string &more = "")
    {
        return tarvex_test::metric_value(metrics(), series(name, index, more));
    }
    struct client {
        tarvex::connection c;
        uint32_t assoc = 0;
    };
    client named(const std::string &name, int index)
    {
        client k;
        k.c = server_.connect();
        EXPECT_EQ(tarvex::register_client(k.c, name), 0);
        EXPECT_EQ(tarvex::open_device(k.c, key_of(default_serial(index)), &k.assoc), 0);
        return k;
    }
    // A named client in debug mode on probe 0 whose one-word read the gate
    // keeps in flight (the probe withholds its reply) until gate_open().
    client read_held_at_gate()
    {
        client k = named("stuck", 0);
        int result = -1;
        EXPECT_EQ(tarvex::ensure_debug_mode(k.c, k.assoc, &result), 0);
        EXPECT_EQ(server_.control("gate 0 hold"), "ok armed");
        std::string request = "tarvex-tcp-read-mem " + std::to_string(k.assoc) + " 20000000 4 1 0\n";
        EXPECT_EQ(k.c.send_bytes(request.data(), request.size()), 0);
        EXPECT_TRUE(tarvex_test::eventually([&] { return server_.control("gate 0") == "ok holding"; }));
        return k;
    }
    // Opens the gate; the held read is answered.
    void gate_open(client &k)
    {
        ASSERT_EQ(server_.control("gate 0 open"), "ok open");
        std::string header;
        ASSERT_EQ(k.c.recv_line(&header, 30000), 0) << "the read is answered";
    }
    uint16_t http_port_ = 0;
};

// The one promtool of the prometheus package accepts the exposition.
void expect_promtool_accepts(const std::string &exposition)
{
    std::string path = tarvex_test::scratch_path("metrics", "exposition.txt");
    tarvex_test::write_file(path, exposition);
    std::string out, err;
    int status = tarvex_test::run_to_end({"/bin/sh", "-c", "exec promtool check metrics < " + path}, &out, &err, 60000);
    EXPECT_EQ(status, 0) << out << err;
    unlink(path.c_str());
}

TEST_P(Http, MetricsAndStatusFollowTheProbeClients)
{
    start_http({"--allow-network", "127.0.0.1/32"});
    client alpha = named("alpha", 0);
    client beta = named("beta", 0);
    EXPECT_EQ(probe_metric("tarvex_probe_clients", 0), 2);
    EXPECT_EQ(probe_metric("tarvex_probe_associations", 0), 2);
    EXPECT_EQ(probe_metric("tarvex_probe_clients", 1), 0);
    EXPECT_EQ(probe_metric("tarvex_probe_present", 1), 1);

    // A read on the probe: counted by kind, with the bytes its transfers moved.
    int result = -1;
    std::vector<uint8_t> data;
    ASSERT_EQ(tarvex::ensure_debug_mode(alpha.c, alpha.assoc, &result), 0);
    ASSERT_EQ(tarvex::read_mem(alpha.c, {alpha.assoc, RAM, 4, 256, 0}, &result, &data), 0);
    EXPECT_EQ(result, 0);
    std::string text = metrics();
    EXPECT_EQ(
        tarvex_test::metric_value(text, series("tarvex_probe_requests_total", 0, ",kind=\"tarvex-tcp-read-mem\"")), 1);
    EXPECT_GE(tarvex_test::metric_value(text, series("tarvex_probe_usb_read_bytes_total", 0)), 1024);
    EXPECT_GE(tarvex_test::metric_value(text, series("tarvex_probe_request_duration_seconds_count", 0)), 2);

    // The target's run state as alpha last asked it, on the page as in the reply.
    EXPECT_TRUE(probe_status(0)["target"].is_null()) << "nobody asked yet";
    std::string state;
    ASSERT_EQ(alpha.c.text("tarvex-usb-get-status " + std::to_string(alpha.assoc) + "\n", &state), 0);
    const std::vector<std::string> state_names = {"unknown", "running", "halted", "reset", "debug-running"};
    size_t code = state.size() > 2 ? static_cast<size_t>(atoi(state.c_str() + 2)) : 0;
    ASSERT_LT(code, state_names.size()) << state;
    EXPECT_EQ(probe_status(0)["target"]["state"], state_names[code]) << state;

    // A hold by alpha, beta's hold request waiting behind it.
    ASSERT_EQ(tarvex::hold_probe(alpha.c, alpha.assoc, 0, &result), 0);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(tarvex::hold_probe_send(beta.c, beta.assoc, 60000), 0);
    ASSERT_TRUE(tarvex_test::eventually([&] { return probe_status(0)["waiters"].size() == 1; }));
    nlohmann::json p = probe_status(0);
    EXPECT_EQ(p["holder"]["name"], "alpha");
    EXPECT_GE(p["holder"]["seconds"].get<double>(), 0);
    EXPECT_EQ(p["waiters"][0], "beta");
    text = metrics();
    EXPECT_EQ(tarvex_test::metric_value(text, series("tarvex_probe_held", 0)), 1);
    EXPECT_GE(tarvex_test::metric_value(text, series("tarvex_probe_hold_age_seconds", 0, ",holder=\"alpha\"")), 0);
    EXPECT_EQ(tarvex_test::metric_value(text, series("tarvex_probe_hold_waiters", 0)), 1);
    ASSERT_EQ(tarvex::release_probe(alpha.c, alpha.assoc, &result), 0);
    ASSERT_EQ(tarvex::hold_probe_reply(beta.c, 20000, &result), 0);
    EXPECT_EQ(result, 0) << "the waiter has the hold now";
    EXPECT_EQ(probe_status(0)["holder"]["name"], "beta");

    // A peer outside --allow-network, on both ports: refused and counted.
    int fd = tarvex_test::http_connect(server_.port, "127.0.0.2");
    ASSERT_GE(fd, 0);
    char byte;
    EXPECT_LE(recv(fd, &byte, 1, 0), 0) << "the probe port closes on it";
    close(fd);
    http_reply refused;
    ASSERT_EQ(tarvex_test::http_exchange(http_port_, "GET /metrics HTTP/1.1\r\n\r\n", &refused, 20000, "127.0.0.2"), 0);
    EXPECT_EQ(refused.status, 0) << "the HTTP side answers it nothing";
    EXPECT_EQ(tarvex_test::metric_value(metrics(), "tarvex_refusals_total{reason=\"network\"}"), 2);
    nlohmann::json refusals = status()["refusals"];
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0]["reason"], "network");
    EXPECT_EQ(refusals[0]["from"].get<std::string>().rfind("127.0.0.2:", 0), 0u) << refusals;

    alpha.c.close();
    beta.c.close();
    ASSERT_TRUE(tarvex_test::eventually([&] { return probe_metric("tarvex_probe_clients", 0) == 0; }));
    text = metrics();
    EXPECT_EQ(tarvex_test::metric_value(text, series("tarvex_probe_held", 0)), 0);
    EXPECT_EQ(tarvex_test::metric_value(text, "tarvex_clients"), 1) << "the fixture's own client is left";
    EXPECT_EQ(tarvex_test::metric_value(text, "tarvex_connections_total{transport=\"tcp4\"}"), 3);
    EXPECT_NE(text.find("tarvex_build_info{version=\""), std::string::npos);
    expect_promtool_accepts(text);
}

// A client's name is whatever bytes it sent, cut to fit: as the holder's
// label it is escaped, and what is not well-formed UTF-8 becomes U+FFFD, so
// that the scrape stays valid.
TEST_P(Http, AHolderNamedInAnyBytesLeavesTheExpositionValid)
{
    start_http();
    const std::vector<std::pair<std::string, std::string>> names = {
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"cut\xc3", "cut\xef\xbf\xbd"},
        {"\xff\xfe=", "\xef\xbf\xbd\xef\xbf\xbd="},
        {"over\xe0\x80\xaflong", "over\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdlong"},
        {"q\"b\\s", "q\\\"b\\\\s"},
    };
    for (const auto &[name, label] : names) {
        client k = named(name, 1);
        int result = -1;
        ASSERT_EQ(tarvex::hold_probe(k.c, k.assoc, 0, &result), 0);
        ASSERT_EQ(result, 0);
        std::string text = metrics();
        EXPECT_GE(
            tarvex_test::metric_value(text, series("tarvex_probe_hold_age_seconds", 1, ",holder=\"" + label + "\"")), 0)
            << label << "\n"
            << text;
        expect_promtool_accepts(text);
        ASSERT_EQ(tarvex::release_probe(k.c, k.assoc, &result), 0);
    }
}

TEST_P(Http, HealthNamesAProbeWhoseWorkerIsKeptBusyPastTheBound)
{
    start_http({"--busy-limit", "0.2"});
    http_reply health = get("/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok\n");
    client k = read_held_at_gate();
    ASSERT_TRUE(tarvex_test::eventually([&] { return get("/healthz").status == 503; }));
    health = get("/healthz");
    EXPECT_NE(health.body.find("probe " + default_serial(0)), std::string::npos) << health.body;
    EXPECT_EQ(tarvex_test::metric_value(metrics(), "tarvex_healthy"), 0);
    gate_open(k);
    ASSERT_TRUE(tarvex_test::eventually([&] { return get("/healthz").status == 200; }));
    EXPECT_EQ(tarvex_test::metric_value(metrics(), "tarvex_healthy"), 1);
}

// A thousand connections and the test's own: above the default soft limit.
void raise_own_descriptor_limit()
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, 1200u);
}

// What a probe client does while the HTTP side is under attack: its round
// trips are answered, with the right bytes.
void expect_probe_round_trips(tarvex::connection &c, uint32_t assoc)
{
    for (int i = 0; i < 20; i++) {
        int result = -1;
        std::vector<uint8_t> data;
        ASSERT_EQ(tarvex::read_mem(c, {assoc, RAM, 4, 1, 0}, &result, &data), 0);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(data.size(), 4u);
    }
}

TEST_P(Http, HostilePeersCostTheProbeClientsNothing)
{
    raise_own_descriptor_limit();
    start_http();
    client k = named("worker", 0);
    int result = -1;
    ASSERT_EQ(tarvex::ensure_debug_mode(k.c, k.assoc, &result), 0);
    pid_t pid = static_cast<pid_t>(atol(server_.control("pid").substr(3).c_str()));
    long rss_before = tarvex_test::resident_kib(pid);

    const std::vector<std::pair<std::string, int>> cases = {
        {std::string("\x16\x03\x01\x02\x00garbage\r\n\r\n", 16), 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(64 * 1024, 'a') + "\r\n\r\n", 431},
        {"BREW /pot HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        {"GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n", 404},
    };
    for (const auto &[request, expected] : cases) {
        http_reply reply;
        ASSERT_EQ(tarvex_test::http_exchange(http_port_, request, &reply), 0) << request.substr(0, 40);
        // A request the library cannot read at all may be closed on unanswered.
        if (reply.status != 0 || expected != 400) {
            EXPECT_EQ(reply.status, expected) << request.substr(0, 40);
        }
    }

    // A reader that asks for the page again and again and never reads.
    int slow = tarvex_test::http_connect(http_port_);
    ASSERT_GE(slow, 0);
    std::string again;
    for (int i = 0; i < 200; i++)
        again += "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(slow, again.data(), again.size(), MSG_NOSIGNAL), static_cast<ssize_t>(again.size()));

    std::vector<int> idle;
    for (int i = 0; i < 1000; i++) {
        int fd = tarvex_test::http_connect(http_port_);
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    expect_probe_round_trips(k.c, k.assoc);
    // All of them accepted: the server holds a descriptor for each.
    ASSERT_TRUE(tarvex_test::eventually([&] { return tarvex_test::open_descriptors(pid) > 1000; }));
    EXPECT_EQ(get("/healthz").status, 200) << "one more connection is still served";
    long rss_grown = tarvex_test::resident_kib(pid) - rss_before;
    EXPECT_LT(rss_grown, 64 * 1024 * SANITIZER_MEMORY_FACTOR)
        << "KiB for a thousand idle connections and a slow reader";
    for (int fd : idle)
        close(fd);
    close(slow);
    expect_probe_round_trips(k.c, k.assoc);
    EXPECT_EQ(get("/healthz").status, 200);
}

// The service manager's end of NOTIFY_SOCKET: a datagram socket of the test.
struct notify_socket {
    int fd = -1;
    std::string path;

    notify_socket()
    {
        path = tarvex_test::scratch_path("notify", "socket");
        unlink(path.c_str());
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~notify_socket()
    {
        if (fd >= 0)
            close(fd);
        unlink(path.c_str());
    }
    // The next datagram, or "" when none came within timeout_ms.
    std::string next(int timeout_ms = 30000)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return "";
        char text[512];
        ssize_t n = recv(fd, text, sizeof(text), 0);
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
    }
};

TEST_P(Http, TheWatchdogIsFedOnlyWhileHealthy)
{
    notify_socket manager;
    ASSERT_GE(manager.fd, 0);
    // A 200 ms watchdog: a ping every 100 ms.
    server_.launcher = {"/usr/bin/env", "NOTIFY_SOCKET=" + manager.path, "WATCHDOG_USEC=200000"};
    start_http({"--busy-limit", "0.2"});
    EXPECT_EQ(manager.next(), "READY=1\nSTATUS=serving 2 probes");
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(manager.next(), "WATCHDOG=1");
    client k = read_held_at_gate();
    std::string said;
    for (int i = 0; i < 1000 && (said = manager.next()) == "WATCHDOG=1"; i++)
        ;
    EXPECT_EQ(said.rfind("STATUS=unhealthy: probe " + default_serial(0), 0), 0u) << said;
    // Three pings' time past the bound, still on the same operation: the
    // server says nothing meanwhile (checked below by what comes next).
    ASSERT_TRUE(tarvex_test::eventually([&] { return probe_status(0)["busy_seconds"].get<double>() >= 0.5; }));
    gate_open(k);
    EXPECT_EQ(manager.next(), "STATUS=healthy again\nWATCHDOG=1") << "no ping while it was unhealthy";
    EXPECT_EQ(manager.next(), "WATCHDOG=1");
}

TEST_P(Http, PrometheusScrapesWhatTheClientsCaused)
{
    start_http({"--allow-network", "127.0.0.1/32"});
    tarvex_test::prometheus_process prometheus;
    ASSERT_EQ(prometheus.start(http_port_), 0);
    const std::string clients = series("tarvex_probe_clients", 0);
    ASSERT_TRUE(prometheus.sees(clients, 0)) << tarvex_test::read_file(prometheus.dir + "/stderr");
    client alpha = named("alpha", 0);
    client beta = named("beta", 0);
    ASSERT_TRUE(prometheus.sees(clients, 2));
    int result = -1;
    ASSERT_EQ(tarvex::hold_probe(alpha.c, alpha.assoc, 0, &result), 0);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(prometheus.sees(series("tarvex_probe_held", 0), 1));
    ASSERT_TRUE(prometheus.sees("count(" + series("tarvex_probe_hold_age_seconds", 0, ",holder=\"alpha\"") + ")", 1));
    int fd = tarvex_test::http_connect(server_.port, "127.0.0.2");
    ASSERT_GE(fd, 0);
    char byte;
    EXPECT_LE(recv(fd, &byte, 1, 0), 0) << "refused";
    close(fd);
    ASSERT_TRUE(prometheus.sees("tarvex_refusals_total{reason=\"network\"}", 1));
    alpha.c.close();
    beta.c.close();
    ASSERT_TRUE(prometheus.sees(clients, 0));
    // What the stored series hold: the two clients, the hold's holder, the refusal.
    EXPECT_EQ(prometheus.query("max_over_time(" + clients + "[10m])"), 2);
    EXPECT_EQ(prometheus.query("max_over_time(" + series("tarvex_probe_held", 0) + "[10m])"), 1);
    EXPECT_EQ(prometheus.query("count(count_over_time(tarvex_probe_hold_age_seconds{holder=\"alpha\"}[10m]))"), 1);
    EXPECT_EQ(prometheus.query("max_over_time(tarvex_refusals_total{reason=\"network\"}[10m])"), 1);
    EXPECT_EQ(prometheus.query("up{job=\"tarvex\"}"), 1);
}

// Headless Chromium through chromedriver, spoken to in WebDriver over HTTP.
// Its profile is a scratch directory of its own; the session and the driver
// end when this is destroyed.
struct browser {
    uint16_t port = 0;
    pid_t pid = -1;
    std::string dir;
    std::string session;

    nlohmann::json call(const std::string &method, const std::string &path, const nlohmann::json &body = nullptr)
    {
        http_reply reply;
        if (tarvex_test::http_request(port, method, path, body.is_null() ? "" : body.dump(), &reply) != 0)
            return nullptr;
        nlohmann::json doc = nlohmann::json::parse(reply.body, nullptr, false);
        return doc.is_discarded() ? nlohmann::json(nullptr) : doc["value"];
    }
    int start()
    {
        port = tarvex_test::free_port();
        dir = tarvex_test::scratch_path("browser", std::to_string(port));
        mkdir(dir.c_str(), 0700);
        pid = tarvex_test::spawn_program({"/usr/bin/chromedriver", "--port=" + std::to_string(port)}, dir + "/stdout",
                                         dir + "/stderr");
        if (pid < 0 || !tarvex_test::eventually([&] { return call("GET", "/status")["ready"] == true; }, 60000))
            return -1;
        nlohmann::json options = {{"binary", "/usr/bin/chromium"},
                                  {"args",
                                   {"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                                    "--window-size=1200,700", "--user-data-dir=" + dir + "/profile"}}};
        nlohmann::json caps = {
            {"capabilities", {{"alwaysMatch", {{"browserName", "chrome"}, {"goog:chromeOptions", options}}}}}};
        nlohmann::json created = call("POST", "/session", caps);
        if (!created.is_object() || !created["sessionId"].is_string())
            return -1;
        session = "/session/" + created["sessionId"].get<std::string>();
        return 0;
    }
    int open(const std::string &url) { return call("POST", session + "/url", {{"url", url}}).is_null() ? 0 : -1; }
    nlohmann::json run(const std::string &script)
    {
        return call("POST", session + "/execute/sync", {{"script", script}, {"args", nlohmann::json::array()}});
    }
    // The page as the browser draws it, into a PNG file.
    int screenshot(const std::string &path)
    {
        nlohmann::json png = call("GET", session + "/screenshot");
        if (!png.is_string())
            return -1;
        tarvex_test::write_file(dir + "/screenshot.b64", png.get<std::string>());
        std::string out, err;
        return tarvex_test::run_to_end({"/bin/sh", "-c", "base64 -d < " + dir + "/screenshot.b64 > " + path}, &out,
                                       &err);
    }
    ~browser()
    {
        if (!session.empty())
            call("DELETE", session);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::string out, err;
        if (!dir.empty())
            tarvex_test::run_to_end({"/bin/rm", "-rf", dir}, &out, &err);
    }
};

// What the page shows of probe 0's hold, the page's redraw count, and the
// mark the test left in the window (gone if the page was loaded again).
constexpr const char *PAGE_STATE = R"JS(
const rows = document.querySelectorAll("#probes tbody tr");
const cell = document.querySelector('tr[data-serial="7E5756500000000000000001"] td.holder');
return [rows.length, cell ? cell.textContent : null, Number(document.body.dataset.draws || 0),
        window.tarvexMark || 0];
)JS";

TEST_P(Http, TheStatusPageShowsAHoldWhileItLasts)
{
    start_http();
    browser chromium;
    ASSERT_EQ(chromium.start(), 0) << tarvex_test::read_file(chromium.dir + "/stderr");
    ASSERT_EQ(chromium.open("http://127.0.0.1:" + std::to_string(http_port_) + "/"), 0);
    ASSERT_TRUE(tarvex_test::eventually([&] { return chromium.run(PAGE_STATE)[0] == 2; }, 60000))
        << "the page lists the two probes";
    chromium.run("window.tarvexMark = 7; return 0;");
    client k = named("flash-job", 0);
    int result = -1;
    ASSERT_EQ(tarvex::hold_probe(k.c, k.assoc, 0, &result), 0);
    ASSERT_EQ(result, 0);
    int draws_then = chromium.run(PAGE_STATE)[2].get<int>();
    nlohmann::json state;
    ASSERT_TRUE(tarvex_test::eventually([&] { return (state = chromium.run(PAGE_STATE))[1] == "flash-job"; }, 60000));
    // The fetch under way when the hold was taken may have missed it; the
    // next one shows it, half a second later by the page's own pace.
    EXPECT_LE(state[2].get<int>(), draws_then + 2) << "redraws it took";
    EXPECT_EQ(state[3], 7) << "shown without a reload";
    EXPECT_EQ(chromium.screenshot(HTTP_ARTEFACT_DIR "/status_page.png"), 0);
    EXPECT_GT(tarvex_test::read_file(HTTP_ARTEFACT_DIR "/status_page.png").size(), 1000u);
    ASSERT_EQ(tarvex::release_probe(k.c, k.assoc, &result), 0);
    ASSERT_TRUE(tarvex_test::eventually([&] { return (state = chromium.run(PAGE_STATE))[1] == ""; }, 60000));
    EXPECT_EQ(state[3], 7);
}

INSTANTIATE_TEST_SUITE_P(Fast, Http, ::testing::Values("fast"), transport_name);

} // namespace
