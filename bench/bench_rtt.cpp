// RTT capture through the real server, on a fast virtual probe and on one
// that takes 1 ms a command, both running tarvex-rtt-bench (the RTT test
// firmware with 16 KiB up channels; each record goes to up 1, which blocks,
// and to up 2 and 3, which skip and trim: a poll carries all three).
//   - BM_RttThroughput: the firmware writes 128-byte records as fast as it
//     can. A reader takes up 1 through tarvex-rtt-read for half a second
//     ("measured_us": that span); the status' counts give the polls in the
//     span and each channel's bytes. A poll drains one channel, so the same
//     client then holds the probe (capture pauses) and makes polls' accesses
//     itself, each a request of its own: the block with its descriptors,
//     then the bytes of one channel from its RdOff on (its bytes over its
//     share of the polls; two reads where they wrap; 32-bit accesses where
//     address and length allow, as the poll's), the channels taking turns,
//     and one 32-bit write (to a word the firmware ignores). "reference_us" is the span's
//     polls times that cost: ratio = the share of the span those accesses
//     would take a client (goal >= 0.7). Counters: captured_KBps (all
//     channels), reader_KBps (up 1), bytes_per_poll, polls_per_s.
//   - BM_RttLineLatency: while about 100 KB/s of records flow (all channels
//     together), the firmware writes a line "tick N" to up 0 every tenth
//     record, and a reader waits on up 0. A thread watches up 0's WrOff
//     through the launcher's control socket (a peek at the target's RAM, no
//     probe command; one every 50 us or so) and reads the new bytes the same
//     way to learn which N was written. A sample runs from the start of the
//     last peek that did not yet see the line to the arrival of the reply
//     that completed it: the line's latency from the firmware's write to
//     the reader, above the true figure by at most one peek. "measured_us"
//     is the p99 (p50_us the median); "reference_us" is 2 ms on the fast
//     probe and three probe command times on the 1 ms one, a command's time
//     taken in the same run (4-byte memory reads over the commands the
//     launcher counted for them, "command_us").
//   - BM_RegisterReadBesideRtt: another client's core register read on the
//     same probe while that stream is captured and a reader follows up 1,
//     beside the same read with capture off (the firmware runs either way);
//     the two p99s as in bench_concurrency, and the stream's rate as the
//     server captured it ("stream_KBps", all channels).
//   - BM_RttIdleCommands: the firmware streams nothing (echo only), capture
//     is attached and past its back-off, and a reader waits on up 0: the
//     probe commands the launcher counts per second ("commands_per_s",
//     goal <= 25) and the polls behind them ("polls_per_s").
//
// The binary starts itself again under tarvex-vprobe --fast, so that the
// server it starts sees the virtual probes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "elf_lookup.h"
#include "firmware/rtt_test_config.h"
#include "round_trip.h"
#include "server_process.h"
#include "target.h"
#include "tarvex_rtt.h"
#include "tarvex_text.h"

namespace
{

namespace tt = tarvex_target;
using clock_type = std::chrono::steady_clock;

constexpr const char *SERIALS[2] = {"7E5756500000000000000F21", "7E5756500000000000000F22"}; // fast, 1 ms
constexpr uint32_t RAM_BASE = 0x20000000, RAM_SIZE = 0x20000;
// The image's shape (vprobe/firmware/CMakeLists.txt): 4 up channels, 1 down.
constexpr int UP_CHANNELS = 4;
constexpr uint32_t UP_SIZE = 16384;
constexpr uint32_t BLOCK_BYTES = 24 + 24 * (UP_CHANNELS + 1);
constexpr int UP_TERMINAL = 0, UP_COUNTED = 1;
constexpr int REGSEL_PC = 15;

using firmware_config = rtt_test_config;

// What the benchmarks ask of the firmware: these fields set, the rest as
// the image's defaults have them.
struct firmware_load {
    uint32_t records_per_loop, busy_wait, record_size, tick_every, echo;
};
// Records of 128 bytes as fast as the core writes them.
constexpr firmware_load FLAT_OUT = {1000, 0, 128, 0, 0};
// One 32-byte record a loop on each of three channels, paced for about
// 100 KB/s in all at the emulated core's nominal 16 MHz; a line on up 0
// every tenth record.
constexpr firmware_load PACED_STREAM = {1, 2300, 32, 10, 0};
// Nothing but the echo of down 0.
constexpr firmware_load QUIET = {0, 200, 0, 0, 1};

// The image's addresses, read once from the ELF.
struct image_facts {
    uint32_t block = 0;
    uint32_t config = 0;
    std::vector<uint8_t> defaults;
    bool ok = false;
};

const image_facts &image()
{
    static image_facts f;
    if (!f.ok) {
        tarvex_test::elf_symbol block = tarvex_test::elf_symbol_of(RTT_BENCH_ELF, "_SEGGER_RTT");
        tarvex_test::elf_symbol config = tarvex_test::elf_symbol_of(RTT_BENCH_ELF, "rtt_test_config");
        tarvex_test::elf_symbol defaults = tarvex_test::elf_symbol_of(RTT_BENCH_ELF, "rtt_test_defaults");
        f.block = block.address;
        f.config = config.address;
        f.defaults = tarvex_test::elf_bytes(RTT_BENCH_ELF, defaults.address, sizeof(firmware_config));
        f.ok = block.found && config.found && config.size == sizeof(firmware_config) &&
               f.defaults.size() == sizeof(firmware_config);
    }
    return f;
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The launcher's control socket: a request, its reply after "ok ".
std::string launcher(const std::string &request)
{
    const char *path = std::getenv("TARVEX_VPROBE_CONTROL");
    std::string reply = path != nullptr ? tarvex_test::vprobe_control(path, request) : "";
    return reply.rfind("ok ", 0) == 0 ? reply.substr(3) : "";
}

// len bytes of the target's RAM, peeked by the launcher (no probe command).
std::vector<uint8_t> peek(int probe, uint32_t addr, uint32_t len)
{
    char request[64];
    snprintf(request, sizeof request, "mem %d %x %u", probe, addr, len);
    std::string hex = launcher(request);
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size() && out.size() < len; i += 2)
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

uint32_t word_at(const std::vector<uint8_t> &bytes, size_t at)
{
    uint32_t v = 0;
    if (at + 4 <= bytes.size())
        std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

// A client with an association on one probe.
struct probe_client {
    tarvex::connection conn;
    uint32_t assoc = 0;
    bool open(tarvex_test::server_process &server, const char *serial)
    {
        conn = server.connect();
        tarvex::probe_entry probe;
        bool found = false;
        int result = 0;
        return tarvex::find_probe(conn, serial, &probe, &found) == 0 && found &&
               tarvex::open_device(conn, probe.key, &assoc) == 0 && assoc != 0 &&
               tarvex::ensure_debug_mode(conn, assoc, &result) == 0 && result == 0;
    }
    // Memory access as a poll makes it: 32-bit where address and length allow.
    bool read(uint32_t addr, uint32_t len, std::vector<uint8_t> *data)
    {
        bool words = addr % 4 == 0 && len % 4 == 0;
        int result = -1;
        return tarvex::read_mem(conn, {assoc, addr, words ? 4u : 1u, words ? len / 4 : len, 0}, &result, data) == 0 &&
               result == 0;
    }
    bool write_word(uint32_t addr, uint32_t value)
    {
        int result = -1;
        return tarvex::write_mem(conn, {assoc, addr, 4, 1, 0}, reinterpret_cast<const uint8_t *>(&value), &result) ==
                   0 &&
               result == 0;
    }
};

// The client that boots the firmware and wants capture on one probe.
struct rtt_probe {
    int index = 0;
    probe_client control;
    std::unique_ptr<tt::server_link> link;

    // The firmware from reset with the record configured: the core held at
    // its reset vector while the record is written, as rtt_test.c asks.
    bool boot(const firmware_load &load)
    {
        firmware_config c;
        std::memcpy(&c, image().defaults.data(), sizeof c);
        c.armed = RTT_TEST_ARMED;
        c.records_per_loop = load.records_per_loop;
        c.busy_wait = load.busy_wait;
        c.record_size = load.record_size;
        c.tick_every = load.tick_every;
        c.echo = load.echo;
        return capture(false) && tt::halt(*link) == tt::TARGET_OK && tt::reset(*link, true) == tt::TARGET_OK &&
               tt::memory_write(*link, image().config, reinterpret_cast<const uint8_t *>(&c), sizeof c) ==
                   tt::TARGET_OK &&
               tt::resume(*link, false) == tt::TARGET_OK;
    }
    bool capture(bool on)
    {
        int result = -1;
        int rc = on ? tarvex::rtt_start(control.conn, control.assoc, 0, RAM_BASE, RAM_SIZE, image().block, &result)
                    : tarvex::rtt_stop(control.conn, control.assoc, &result);
        return rc == 0 && result == 0;
    }
    bool status(tarvex::rtt_status_record *s)
    {
        int result = -1;
        return tarvex::rtt_status(control.conn, control.assoc, &result, s) == 0 && result == 0;
    }
    // Capture on, attached, and n polls done since.
    bool capture_settled(uint64_t n)
    {
        tarvex::rtt_status_record s;
        if (!capture(true) || !status(&s))
            return false;
        uint64_t from = s.polls;
        return tarvex_test::eventually(
            [&] { return status(&s) && s.state == tarvex::RTT_ATTACHED && s.polls >= from + n; }, 30000);
    }
    double commands() { return std::strtod(launcher("count " + std::to_string(index)).c_str(), nullptr); }
};

struct setup {
    tarvex_test::server_process server;
    rtt_probe probes[2];
    bool ok = false;
};

setup *started()
{
    static std::unique_ptr<setup> s;
    if (!s) {
        s = std::make_unique<setup>();
        s->ok = image().ok && s->server.start({}) == 0 && s->server.wait_listening() == 0;
        if (s->ok)
            pin_to_cpu(s->server.pid, true);
        for (int i = 0; i < 2 && s->ok; i++) {
            rtt_probe &p = s->probes[i];
            p.index = i;
            s->ok = p.control.open(s->server, SERIALS[i]);
            p.link = std::make_unique<tt::server_link>(&p.control.conn, p.control.assoc);
        }
    }
    return s->ok ? s.get() : nullptr;
}

// The shared server with the firmware of the benchmark's probe booted as
// load asks; null, the benchmark skipped, when either failed.
setup *booted(benchmark::State &state, int probe, const firmware_load &load)
{
    setup *s = started();
    if (s == nullptr || !s->probes[probe].boot(load)) {
        state.SkipWithError("server, probes or firmware did not start");
        return nullptr;
    }
    return s;
}

// Sums of each up channel's captured bytes and the polls between two statuses.
struct capture_delta {
    uint64_t polls = 0;
    std::vector<double> bytes = std::vector<double>(UP_CHANNELS, 0);
    double total() const
    {
        double t = 0;
        for (double b : bytes)
            t += b;
        return t;
    }
};

capture_delta delta_of(const tarvex::rtt_status_record &before, const tarvex::rtt_status_record &after)
{
    capture_delta d;
    d.polls = after.polls - before.polls;
    for (size_t i = 0; i < after.up.size() && i < before.up.size() && i < d.bytes.size(); i++)
        d.bytes[i] = static_cast<double>(after.up[i].first - before.up[i].first);
    return d;
}

// A client following one up channel through tarvex-rtt-read on a thread of
// its own, from what comes next; each chunk goes to on_chunk with the time
// its reply arrived.
class channel_reader
{
public:
    using chunk_fn = std::function<void(const tarvex::rtt_chunk &, clock_type::time_point)>;
    channel_reader(setup &s, int probe, int channel, chunk_fn on_chunk) : channel_(channel), on_chunk_(on_chunk)
    {
        opened_ = client_.open(s.server, SERIALS[probe]);
    }
    ~channel_reader() { stop(); }
    bool start()
    {
        if (!opened_)
            return false;
        thread_ = std::thread([this] { follow(); });
        return true;
    }
    // False when a read failed.
    bool stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return ok_;
    }

private:
    void follow()
    {
        tarvex::rtt_position from;
        while (!stop_) {
            tarvex::rtt_chunk chunk;
            int result = -1;
            if (tarvex::rtt_read(client_.conn, client_.assoc, channel_, from, tarvex_wire::RTT_READ_LIMIT, 50, &result,
                                 &chunk) != 0 ||
                result != 0) {
                ok_ = stop_.load();
                return;
            }
            on_chunk_(chunk, clock_type::now());
            from = {false, chunk.start + chunk.data.size()};
        }
    }
    probe_client client_;
    bool opened_ = false;
    int channel_;
    chunk_fn on_chunk_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool ok_ = true;
};

// ---------------------------------------------------------------------------
// Throughput

constexpr double SPAN_S = 0.5;
// A reference makes polls in turn for this long (one at least): their mean
// is one poll's cost.
constexpr double REFERENCE_S = 0.1;
// The hold waits for the poll in flight (about a second on the 1 ms probe).
constexpr int HOLD_WAIT_MS = 30000;

// One poll's reads as the client makes them: the block, then one channel's
// bytes, as a poll drains one channel, the channels that had bytes in the
// span taking turns, each with its bytes per drain as the span had them (its
// bytes over its share of the polls); the rings' offsets move as a poll's
// would.
class poll_reference
{
public:
    poll_reference(probe_client &c, const capture_delta &d) : c_(c)
    {
        uint32_t active = 0;
        for (int i = 0; i < UP_CHANNELS; i++)
            active += d.bytes[i] > 0;
        for (int i = 0; i < UP_CHANNELS; i++)
            per_poll_[i] = d.polls > 0 ? static_cast<uint32_t>(std::lround(d.bytes[i] * active / d.polls)) : 0;
    }
    // Seconds per poll; 0 when a request failed.
    double seconds()
    {
        int held = -1;
        if (tarvex::hold_probe(c_.conn, c_.assoc, HOLD_WAIT_MS, &held) != 0 || held != 0)
            return 0;
        auto start = clock_type::now();
        bool ok = true;
        int polls = 0;
        for (; ok && (polls == 0 || seconds_since(start) < REFERENCE_S); polls++)
            ok = one_poll();
        double spent = seconds_since(start) / polls;
        int released = -1;
        ok = tarvex::release_probe(c_.conn, c_.assoc, &released) == 0 && released == 0 && ok;
        return ok ? spent : 0;
    }

private:
    bool one_poll()
    {
        std::vector<uint8_t> block, data;
        if (!c_.read(image().block, BLOCK_BYTES, &block))
            return false;
        if (!started_) {
            for (int i = 0; i < UP_CHANNELS; i++)
                at_[i] = word_at(block, 24 + 24 * i + 16) % UP_SIZE;
            started_ = true;
        }
        for (int k = 0; k < UP_CHANNELS; k++) {
            int i = (turn_ + k) % UP_CHANNELS;
            uint32_t n = per_poll_[i], buffer = word_at(block, 24 + 24 * i + 4);
            if (n == 0)
                continue;
            turn_ = (i + 1) % UP_CHANNELS;
            uint32_t first = std::min(n, UP_SIZE - at_[i]);
            if (!c_.read(buffer + at_[i], first, &data) || (first < n && !c_.read(buffer, n - first, &data)))
                return false;
            at_[i] = (at_[i] + n) % UP_SIZE;
            // The record's last word: the two-stage image's alone.
            return c_.write_word(image().config + sizeof(firmware_config) - 4, 0);
        }
        return true;
    }
    int turn_ = 0;
    probe_client &c_;
    uint32_t per_poll_[UP_CHANNELS] = {};
    uint32_t at_[UP_CHANNELS] = {}; // from the channels' RdOff: reads as aligned as the polls'
    bool started_ = false;
};

// One read of up 1 that brought bytes (waiting for them), from *from on;
// their count is added to *read. False when it failed or bytes were lost.
bool reader_step(probe_client &reader, tarvex::rtt_position *from, double *read)
{
    tarvex::rtt_chunk chunk;
    while (chunk.data.empty()) {
        int result = -1;
        if (tarvex::rtt_read(reader.conn, reader.assoc, UP_COUNTED, *from, tarvex_wire::RTT_READ_LIMIT, 5000, &result,
                             &chunk) != 0 ||
            result != 0 || (!from->at_end && chunk.lost != 0))
            return false;
        *from = {false, chunk.start + chunk.data.size()};
    }
    if (read != nullptr)
        *read += static_cast<double>(chunk.data.size());
    return true;
}

void BM_RttThroughput(benchmark::State &state)
{
    int probe = static_cast<int>(state.range(0));
    setup *s = booted(state, probe, FLAT_OUT);
    if (s == nullptr)
        return;
    rtt_probe &p = s->probes[probe];
    probe_client reader;
    bool ok = reader.open(s->server, SERIALS[probe]);
    double span = 0, reference = 0, read = 0;
    capture_delta all;
    for (auto _ : state) {
        tarvex::rtt_status_record before, after;
        tarvex::rtt_position from;
        ok = ok && p.capture_settled(2) && reader_step(reader, &from, nullptr) && p.status(&before);
        auto start = clock_type::now();
        // From a poll's bytes to a poll's bytes, and two polls at least (one
        // takes about a second on the 1 ms probe).
        while (ok && !(seconds_since(start) >= SPAN_S && p.status(&after) && after.polls >= before.polls + 2))
            ok = reader_step(reader, &from, &read);
        span += seconds_since(start);
        capture_delta d = delta_of(before, after);
        double per_poll = ok ? poll_reference(p.control, d).seconds() : 0;
        ok = ok && per_poll > 0 && d.polls > 0;
        reference += per_poll * static_cast<double>(d.polls);
        all.polls += d.polls;
        for (int i = 0; i < UP_CHANNELS; i++)
            all.bytes[i] += d.bytes[i];
    }
    p.capture(false);
    if (!ok) {
        state.SkipWithError("a read, a status or the reference failed, or the reader lost bytes");
        return;
    }
    double n = static_cast<double>(state.iterations());
    report_pair(state, span / n, reference / n);
    state.counters["captured_KBps"] = all.total() / span / 1e3;
    state.counters["reader_KBps"] = read / span / 1e3;
    state.counters["bytes_per_poll"] = all.total() / static_cast<double>(all.polls);
    state.counters["polls_per_s"] = static_cast<double>(all.polls) / span;
}
BENCHMARK(BM_RttThroughput)->Arg(0)->Arg(1)->ArgName("slow")->UseRealTime();

// ---------------------------------------------------------------------------
// Latency

constexpr auto PEEK_PAUSE = std::chrono::microseconds(50);
constexpr int SAMPLE_WAIT_S = 5;

// The numbers of the lines "tick N\n" that text completes; what follows the
// last '\n' stays in *partial.
std::vector<uint32_t> ticks_in(const std::string &text, std::string *partial)
{
    std::vector<uint32_t> ticks;
    *partial += text;
    size_t line = 0;
    for (size_t end; (end = partial->find('\n', line)) != std::string::npos; line = end + 1)
        if (partial->compare(line, 5, "tick ") == 0)
            ticks.push_back(static_cast<uint32_t>(std::strtoul(partial->c_str() + line + 5, nullptr, 10)));
    partial->erase(0, line);
    return ticks;
}

// When each tick line was written (as the peeks bound it) and when its
// reply came; the latencies of the lines seen both ways.
class line_times
{
public:
    void written(uint32_t tick, clock_type::time_point t) { note(tick, t, true); }
    void arrived(uint32_t tick, clock_type::time_point t) { note(tick, t, false); }
    size_t count()
    {
        std::lock_guard<std::mutex> g(m_);
        return samples_.size();
    }
    samples taken()
    {
        std::lock_guard<std::mutex> g(m_);
        return samples_;
    }

private:
    void note(uint32_t tick, clock_type::time_point t, bool write)
    {
        std::lock_guard<std::mutex> g(m_);
        auto &mine = write ? written_ : arrived_;
        auto &other = write ? arrived_ : written_;
        auto match = other.find(tick);
        if (match == other.end()) {
            mine[tick] = t;
            return;
        }
        auto from = write ? t : match->second, to = write ? match->second : t;
        samples_.push_back(std::chrono::duration<double, std::micro>(to - from).count());
        other.erase(match);
    }
    std::mutex m_;
    std::map<uint32_t, clock_type::time_point> written_, arrived_;
    samples samples_;
};

// Watches up 0's WrOff through the launcher until stopped; each line the
// firmware writes goes to times with the start of the last peek that did
// not yet see it.
class write_watch
{
public:
    write_watch(int probe, line_times &times) : probe_(probe), times_(times) {}
    ~write_watch() { stop(); }
    void start()
    {
        thread_ = std::thread([this] { watch(); });
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void watch()
    {
        const uint32_t desc = image().block + 24 + 24 * UP_TERMINAL;
        std::vector<uint8_t> d = peek(probe_, desc, 24);
        uint32_t buffer = word_at(d, 4), seen = word_at(d, 12);
        std::string partial;
        auto before = clock_type::now();
        while (!stop_) {
            auto now = clock_type::now();
            uint32_t wr = word_at(peek(probe_, desc + 12, 4), 0);
            if (wr != seen && wr < UP_SIZE) {
                std::vector<uint8_t> bytes = peek(probe_, buffer + seen, (wr > seen ? wr : UP_SIZE) - seen);
                if (wr < seen) {
                    std::vector<uint8_t> rest = peek(probe_, buffer, wr);
                    bytes.insert(bytes.end(), rest.begin(), rest.end());
                }
                for (uint32_t tick : ticks_in(std::string(bytes.begin(), bytes.end()), &partial))
                    times_.written(tick, before);
                seen = wr;
            }
            before = now;
            std::this_thread::sleep_for(PEEK_PAUSE);
        }
    }
    int probe_;
    line_times &times_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// One probe command's time: 4-byte memory reads through the server, their
// time over the commands the launcher counted for them.
double command_seconds(rtt_probe &p)
{
    std::vector<uint8_t> data;
    double at = p.commands();
    auto start = clock_type::now();
    for (int i = 0; i < 50; i++)
        if (!p.control.read(RAM_BASE, 4, &data))
            return 0;
    double spent = seconds_since(start), commands = p.commands() - at;
    return commands > 0 ? spent / commands : 0;
}

void BM_RttLineLatency(benchmark::State &state)
{
    int probe = static_cast<int>(state.range(0));
    setup *s = booted(state, probe, PACED_STREAM);
    if (s == nullptr)
        return;
    rtt_probe &p = s->probes[probe];
    double command = command_seconds(p);
    line_times times;
    std::string partial;
    channel_reader reader(*s, probe, UP_TERMINAL, [&](const tarvex::rtt_chunk &c, clock_type::time_point t) {
        for (uint32_t tick : ticks_in(std::string(c.data.begin(), c.data.end()), &partial))
            times.arrived(tick, t);
    });
    write_watch watch(probe, times);
    tarvex::rtt_status_record before, after;
    bool ok = command > 0 && p.capture_settled(3) && reader.start() && p.status(&before);
    watch.start();
    auto start = clock_type::now();
    double commands_at = p.commands();
    for (auto _ : state) {
        size_t want = times.count() + 1;
        ok = ok && tarvex_test::eventually([&] { return times.count() >= want; }, SAMPLE_WAIT_S * 1000);
    }
    double spent = seconds_since(start);
    double commands = p.commands() - commands_at;
    ok = ok && p.status(&after);
    watch.stop();
    ok = reader.stop() && ok;
    p.capture(false);
    if (!ok) {
        state.SkipWithError("no line came through, or a read failed");
        return;
    }
    samples taken = times.taken();
    report_pair(state, percentile(taken, 0.99) * 1e-6, probe == 0 ? 2e-3 : 3 * command);
    state.counters["p50_us"] = percentile(taken, 0.5);
    state.counters["samples"] = static_cast<double>(taken.size());
    state.counters["command_us"] = command * 1e6;
    state.counters["polls_per_s"] = static_cast<double>(after.polls - before.polls) / spent;
    state.counters["commands_per_poll"] = commands / static_cast<double>(after.polls - before.polls);
}
BENCHMARK(BM_RttLineLatency)->Arg(0)->Arg(1)->ArgName("slow")->UseRealTime();

// ---------------------------------------------------------------------------
// Cost to others

constexpr int READS_PER_PHASE = 100;

// Register reads of another client, each a sample; false when one failed.
bool register_reads(probe_client &c, samples *out)
{
    for (int i = 0; i < READS_PER_PHASE; i++) {
        uint32_t value = 0;
        int result = -1;
        auto start = clock_type::now();
        if (tarvex::read_core_reg(c.conn, c.assoc, REGSEL_PC, &result, &value) != 0 || result != 0)
            return false;
        out->push_back(seconds_since(start) * 1e6);
    }
    return true;
}

void BM_RegisterReadBesideRtt(benchmark::State &state)
{
    int probe = static_cast<int>(state.range(0));
    setup *s = booted(state, probe, PACED_STREAM);
    if (s == nullptr)
        return;
    rtt_probe &p = s->probes[probe];
    probe_client other;
    bool ok = other.open(s->server, SERIALS[probe]);
    samples quiet, beside;
    double captured = 0, streamed_s = 0;
    for (auto _ : state) {
        ok = ok && p.capture(false) && register_reads(other, &quiet);
        channel_reader reader(*s, probe, UP_COUNTED, [](const tarvex::rtt_chunk &, clock_type::time_point) {});
        tarvex::rtt_status_record before, after;
        ok = ok && p.capture_settled(3) && reader.start() && p.status(&before);
        auto start = clock_type::now();
        ok = ok && register_reads(other, &beside);
        streamed_s += seconds_since(start);
        ok = ok && p.status(&after) && reader.stop();
        captured += delta_of(before, after).total();
        if (!ok)
            break;
    }
    p.capture(false);
    if (!ok) {
        state.SkipWithError("a register read, a status or the reader failed");
        return;
    }
    report_pair(state, percentile(beside, 0.99) * 1e-6, percentile(quiet, 0.99) * 1e-6);
    state.counters["p50_us"] = percentile(beside, 0.5);
    state.counters["ref_p50_us"] = percentile(quiet, 0.5);
    state.counters["stream_KBps"] = captured / streamed_s / 1e3;
}
BENCHMARK(BM_RegisterReadBesideRtt)->Arg(0)->Arg(1)->ArgName("slow")->UseRealTime();

// ---------------------------------------------------------------------------
// Idle cost

constexpr uint32_t IDLE_WAIT_MS = 500;
constexpr uint64_t SETTLING_POLLS = 10;
// Past the polls that follow the last bytes at once (10 ms of them) and the
// back-off's first pauses (1, 2, 4, ... ms): at most one poll in a span of
// BACKED_OFF_MS, and polls then come at the back-off's bound.
constexpr auto BACKED_OFF_MS = std::chrono::milliseconds(40);

bool backed_off(rtt_probe &p)
{
    tarvex::rtt_status_record before, after;
    return tarvex_test::eventually(
        [&] {
            bool read = p.status(&before);
            std::this_thread::sleep_for(BACKED_OFF_MS);
            return read && p.status(&after) && after.polls - before.polls <= 1;
        },
        30000);
}

void BM_RttIdleCommands(benchmark::State &state)
{
    int probe = static_cast<int>(state.range(0));
    setup *s = booted(state, probe, QUIET);
    if (s == nullptr)
        return;
    rtt_probe &p = s->probes[probe];
    probe_client reader;
    bool ok = reader.open(s->server, SERIALS[probe]) && p.capture_settled(SETTLING_POLLS) && backed_off(p);
    double commands = 0, spent = 0;
    uint64_t polls = 0;
    for (auto _ : state) {
        tarvex::rtt_status_record before, after;
        tarvex::rtt_chunk chunk;
        int result = -1;
        double at = p.commands();
        auto start = clock_type::now();
        ok = ok && p.status(&before) &&
             tarvex::rtt_read(reader.conn, reader.assoc, UP_TERMINAL, {}, 64, IDLE_WAIT_MS, &result, &chunk) == 0 &&
             result == 0 && chunk.data.empty() && p.status(&after);
        spent += seconds_since(start);
        commands += p.commands() - at;
        polls += after.polls - before.polls;
    }
    p.capture(false);
    if (!ok) {
        state.SkipWithError("capture did not settle, or the reader did not wait");
        return;
    }
    state.counters["commands_per_s"] = commands / spent;
    state.counters["polls_per_s"] = static_cast<double>(polls) / spent;
}
BENCHMARK(BM_RttIdleCommands)->Arg(0)->Arg(1)->ArgName("slow")->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    std::string firmware = std::string("firmware=") + RTT_BENCH_ELF;
    tarvex_test::reexec_under_vprobe(argv, {"--fast", "--probe", firmware + ",serial=" + SERIALS[0], "--probe",
                                            firmware + ",latency=1000,serial=" + SERIALS[1]});
    pin_to_cpu(0, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
