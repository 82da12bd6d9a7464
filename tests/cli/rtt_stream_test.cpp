// RTT capture end to end: the real server on the virtual probe, the RTT test
// firmware on the emulated core, readers of the client library on their own
// connections and threads, and around them what a user does to a running
// target: GDB sessions (over the front end's protocol), flashes and resets
// with tarvex-cli, an unplug. Each reader checks the counted channel's
// records as they come ("seq N", one more each time, from 0 after each
// restart of the firmware), so a lost, doubled or foreign byte shows as a
// broken record at the position where it arrived.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "elf_lookup.h"
#include "firmware/rtt_test_config.h"
#include "gdb_fixture.h"
#include "server_process.h"
#include "tarvex_rtt.h"
#include "tarvex_text.h"

namespace
{

using tarvex_test::eventually;

constexpr uint32_t RAM = 0x20000000;
constexpr uint32_t RAM_SIZE = 0x20000;
constexpr int TERMINAL = 0, COUNTED = 1;

using test_config = rtt_test_config;

// Among several valid blocks capture settles on one it sees change. A
// firmware whose channels all filled before capture began changes nothing
// until the host reads, which it does only once settled: a record now and
// then keeps the live block moving while its buffers fill, for some seconds
// even where a scan of RAM is slow (umockdev under the sanitizers).
void slow_stream(test_config &c)
{
    c.records_per_loop = 1;
    c.busy_wait = 300000;
}
// Records of the slow stream a case waits for, and how long at most: about
// 4 s of a 16 MHz core, which the sanitizers' hooks on every instruction
// slow several times over on a loaded machine.
constexpr uint64_t SLOW_RECORDS = 30;
constexpr int SLOW_RECORDS_MS = 60000;

uint32_t block_of(const char *elf)
{
    return tarvex_test::elf_symbol_of(elf, "_SEGGER_RTT").address;
}

std::string hex_bytes(const void *data, size_t len)
{
    std::string text;
    for (size_t i = 0; i < len; i++) {
        char pair[3];
        snprintf(pair, sizeof(pair), "%02x", static_cast<const uint8_t *>(data)[i]);
        text += pair;
    }
    return text;
}

// Follows the counted channel's records as bytes arrive. A restart is a
// record "seq 0", or one that follows a cut-short record (the firmware was
// reset while its blocking write waited for room, the newline perhaps
// still unwritten); anything else must be the next number.
class record_checker
{
public:
    // joined: the first bytes may begin inside a record, which is skipped.
    explicit record_checker(bool joined) : skipping_(joined) {}

    void feed(const uint8_t *data, size_t len, uint64_t position)
    {
        for (size_t i = 0; i < len; i++) {
            char c = static_cast<char>(data[i]);
            if (line_.empty())
                line_at_ = position + i;
            if (c != '\n') {
                line_.push_back(c);
                if (line_.size() > 64)
                    fault("a line runs past any record");
                continue;
            }
            if (!skipping_)
                check_line();
            skipping_ = false;
            line_.clear();
        }
    }
    int runs = 0;
    uint64_t records = 0;
    std::vector<uint64_t> gaps; // positions of records after a jump
    std::vector<std::string> faults;

private:
    static bool number_of(const std::string &text, uint64_t *n)
    {
        if (text.rfind("seq ", 0) != 0 || text.size() == 4 || text.size() > 14)
            return false;
        *n = 0;
        for (size_t i = 4; i < text.size(); i++) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            *n = *n * 10 + static_cast<uint64_t>(text[i] - '0');
        }
        return true;
    }
    void check_line()
    {
        uint64_t n = 0;
        if (!number_of(line_, &n)) {
            restart_after_cut();
            return;
        }
        records++;
        if (n == 0) {
            runs++;
        } else if (runs == 0 && records == 1) {
            runs++; // a reader that joined: its first whole record
        } else if (n > next_) {
            gaps.push_back(line_at_);
        } else if (n < next_) {
            fault("record went back");
        }
        next_ = n + 1;
    }
    void restart_after_cut()
    {
        std::string expected = "seq " + std::to_string(next_);
        size_t cut = line_.size() >= 5 ? line_.size() - 5 : 0;
        if (runs > 0 && line_.size() > 5 && line_.compare(cut, 5, "seq 0") == 0 && cut <= expected.size() &&
            expected.compare(0, cut, line_, 0, cut) == 0) {
            records++;
            runs++;
            next_ = 1;
            return;
        }
        fault("not a record");
    }
    void fault(const char *what)
    {
        if (faults.size() < 10)
            faults.push_back(std::string(what) + " at position " + std::to_string(line_at_) + ": \"" +
                             line_.substr(0, 64) + "\"");
    }
    bool skipping_;
    std::string line_;
    uint64_t line_at_ = 0;
    uint64_t next_ = 0;
};

// One client of the probe in debug mode, as a debugger holds it.
struct probe_conn {
    tarvex::connection c;
    uint32_t assoc = 0;

    // 0, or the step that failed (1 connect, 2 find, 3 open, 4 debug mode).
    int open(uint16_t port)
    {
        tarvex::probe_entry probe;
        bool found = false;
        int result = 0;
        if (c.open("127.0.0.1", port) != 0)
            return 1;
        if (tarvex::find_probe(c, "0", &probe, &found) != 0 || !found)
            return 2;
        if (tarvex::open_device(c, probe.key, &assoc) != 0 || assoc == 0)
            return 3;
        if (tarvex::ensure_debug_mode(c, assoc, &result) != 0 || result < 0)
            return 4;
        return 0;
    }
    // Debug mode entered, or found already; false while the probe does not
    // answer (as right after it came back).
    bool debug_mode()
    {
        int result = -1;
        return tarvex::ensure_debug_mode(c, assoc, &result) == 0 && result >= 0;
    }
    tarvex::rtt_status_record status()
    {
        tarvex::rtt_status_record s;
        int result = -1;
        EXPECT_EQ(tarvex::rtt_status(c, assoc, &result, &s), 0);
        EXPECT_EQ(result, 0);
        return s;
    }
};

// A reader on its own connection and thread: it wants capture (at the
// block's address, or by a scan of RAM when that is 0), reads one up channel
// with waits, as tarvex-cli rtt does, and keeps what came.
class stream_reader
{
public:
    struct options {
        int channel = COUNTED;
        bool from_start = true;
        uint32_t address = 0;
        bool keep_text = false;
        bool check_records = true;
        uint32_t ram_size = RAM_SIZE; // the range a scan covers, from RAM
    };
    stream_reader(uint16_t port, const options &o) : opt_(o), checker_(!o.from_start)
    {
        if (int step = conn_.open(port); step != 0) {
            note_failure("could not open the probe (step " + std::to_string(step) + " of connect, find, open, mode)");
            return;
        }
        int result = -1;
        if (tarvex::rtt_start(conn_.c, conn_.assoc, 0, RAM, o.ram_size, o.address, &result) != 0 || result != 0) {
            note_failure("tarvex-rtt-start failed");
            return;
        }
        next_.at_end = !o.from_start;
        thread_ = std::thread([this] { run(); });
    }
    ~stream_reader() { finish(); }
    void finish()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    struct view {
        uint64_t first = 0; // position of text[0]
        uint64_t bytes = 0;
        std::string text;
        int runs = 0;
        uint64_t records = 0;
        std::vector<uint64_t> gaps, gone_at, lost_at;
        uint64_t lost = 0;
        std::vector<std::string> faults;
    };
    view snapshot() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        view v = seen_;
        v.runs = checker_.runs;
        v.records = checker_.records;
        v.gaps = checker_.gaps;
        v.faults = checker_.faults;
        v.faults.insert(v.faults.end(), failures_.begin(), failures_.end());
        return v;
    }
    uint64_t records() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return checker_.records;
    }
    int runs() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return checker_.runs;
    }
    // Waits until more than n records came; false after the bound.
    bool records_pass(uint64_t n, int timeout_ms = 20000) const
    {
        return eventually([&] { return records() > n; }, timeout_ms);
    }
    // Waits until the firmware restarted into run `run` (counted from 1) and
    // that run has produced some records.
    bool run_streams(int run, int timeout_ms = 20000) const
    {
        uint64_t at = 0;
        return eventually(
            [&] {
                if (runs() < run)
                    return false;
                if (at == 0)
                    at = records();
                return records() > at + 20;
            },
            timeout_ms);
    }
    bool text_has(const std::string &wanted, int timeout_ms = 20000) const
    {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> guard(lock_);
                return seen_.text.find(wanted) != std::string::npos;
            },
            timeout_ms);
    }

private:
    void note_failure(const std::string &what)
    {
        std::lock_guard<std::mutex> guard(lock_);
        failures_.push_back(what);
    }
    void run()
    {
        bool gone = false;
        while (!stop_) {
            int result = -1;
            tarvex::rtt_chunk chunk;
            if (tarvex::rtt_read(conn_.c, conn_.assoc, opt_.channel, next_, tarvex_wire::RTT_READ_LIMIT, 200, &result,
                                 &chunk) != 0) {
                note_failure("tarvex-rtt-read got no reply");
                return;
            }
            if (result == tarvex_wire::RESULT_RTT_GONE) {
                if (!gone)
                    note_gone();
                gone = true;
                // The server answers at once while the probe is away: a
                // pause keeps this from spinning on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (result != 0) {
                note_failure("tarvex-rtt-read answered " + std::to_string(result));
                return;
            }
            gone = false;
            take(chunk);
        }
    }
    void note_gone()
    {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.gone_at.push_back(next_.value);
    }
    void take(const tarvex::rtt_chunk &chunk)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (next_.at_end)
            seen_.first = chunk.start;
        else if (chunk.start != next_.value + chunk.lost)
            failures_.push_back("a reply started at " + std::to_string(chunk.start) + " after asking for " +
                                std::to_string(next_.value) + " with " + std::to_string(chunk.lost) + " lost");
        if (chunk.lost > 0) {
            seen_.lost += chunk.lost;
            seen_.lost_at.push_back(chunk.start);
        }
        if (opt_.keep_text)
            seen_.text.append(chunk.data.begin(), chunk.data.end());
        if (opt_.check_records)
            checker_.feed(chunk.data.data(), chunk.data.size(), chunk.start);
        seen_.bytes += chunk.data.size();
        next_.at_end = false;
        next_.value = chunk.start + chunk.data.size();
    }

    options opt_;
    probe_conn conn_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    tarvex::rtt_position next_;
    mutable std::mutex lock_;
    record_checker checker_;
    view seen_;
    std::vector<std::string> failures_;
};

// A reader of the terminal channel that keeps its text.
stream_reader::options terminal_options(uint32_t address = 0)
{
    stream_reader::options o;
    o.channel = TERMINAL;
    o.address = address;
    o.keep_text = true;
    o.check_records = false;
    return o;
}

std::string joined(const std::vector<std::string> &faults)
{
    std::string text;
    for (const std::string &f : faults)
        text += f + "\n";
    return text;
}

class RttStream : public ::testing::TestWithParam<const char *>
{
protected:
    bool fast() const { return std::string(GetParam()) == "fast"; }
    void SetUp() override
    {
        std::vector<std::string> vprobe = {"--probes", "1"};
        if (fast())
            vprobe.insert(vprobe.begin(), "--fast");
        ASSERT_EQ(server_.start({}, vprobe, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        ASSERT_EQ(control_.open(server_.port), 0) << server_.stderr_text();
        setenv("XDG_STATE_HOME", (server_.dir + "/state").c_str(), 1);
    }
    void TearDown() override
    {
        if (gdbserver_.pid > 0) {
            gdbserver_.send_signal(SIGTERM);
            EXPECT_EQ(gdbserver_.wait_exit(20000), 0) << gdbserver_.stderr_text();
        }
    }
    void load(const char *elf) { ASSERT_EQ(server_.control(std::string("load 0 ") + elf), "ok"); }
    std::unique_ptr<stream_reader> reader(const stream_reader::options &o)
    {
        return std::make_unique<stream_reader>(server_.port, o);
    }
    // tarvex-cli with args to its end; its exit status.
    int cli(const std::vector<std::string> &args, std::string *err = nullptr)
    {
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out, e;
        int status = tarvex_test::run_to_end(argv, &out, &e, 60000);
        if (err != nullptr)
            *err = out + e;
        return status;
    }
    // The firmware's settings from its defaults with edit applied, then a
    // reset so that it starts with them.
    void configure(const char *elf, const std::function<void(test_config &)> &edit)
    {
        tarvex_test::elf_symbol record = tarvex_test::elf_symbol_of(elf, "rtt_test_config");
        ASSERT_EQ(record.size, sizeof(test_config));
        std::vector<uint8_t> defaults =
            tarvex_test::elf_bytes(elf, tarvex_test::elf_symbol_of(elf, "rtt_test_defaults").address, record.size);
        ASSERT_EQ(defaults.size(), sizeof(test_config));
        test_config c;
        memcpy(&c, defaults.data(), sizeof c);
        c.armed = RTT_TEST_ARMED;
        edit(c);
        ASSERT_EQ(server_.control("poke 0 " + hex_address(record.address) + " " + hex_bytes(&c, sizeof c)), "ok");
        std::string err;
        ASSERT_EQ(cli({"reset"}, &err), 0) << err;
    }
    static std::string hex_address(uint32_t a)
    {
        char text[16];
        snprintf(text, sizeof(text), "%x", a);
        return text;
    }
    uint32_t target_word(uint32_t addr)
    {
        std::string reply = server_.control("mem 0 " + hex_address(addr) + " 4");
        if (reply.size() != 11 || reply.rfind("ok ", 0) != 0)
            return 0xFFFFFFFF;
        uint32_t v = 0;
        for (int i = 3; i >= 0; i--)
            v = v << 8 | static_cast<uint32_t>(strtoul(reply.substr(3 + 2 * i, 2).c_str(), nullptr, 16));
        return v;
    }
    bool capture_at(uint32_t address, int timeout_ms = 20000)
    {
        return eventually(
            [&] {
                tarvex::rtt_status_record s = control_.status();
                return s.state == tarvex::RTT_ATTACHED && s.address == address;
            },
            timeout_ms);
    }
    // The capture's status as a line, for the messages of failed waits.
    std::string status_text()
    {
        std::string reply;
        control_.c.text("tarvex-rtt-status " + std::to_string(control_.assoc) + "\n", &reply);
        std::string body(reply.size() > 0 ? strtoul(reply.c_str() + reply.rfind(' ') + 1, nullptr, 10) : 0, '\0');
        if (!body.empty())
            control_.c.recv_exact(&body[0], body.size());
        return body;
    }
    // What a failed wait reports: the capture's status and the server's last words.
    std::string why() { return status_text() + server_.stderr_tail(3000); }
    void follow_stages(uint32_t retire);
    uint16_t start_gdbserver()
    {
        gdbserver_.port = tarvex_test::free_port();
        gdbserver_.pid = tarvex_test::spawn_program({TARVEX_GDBSERVER_PATH, "--port", std::to_string(server_.port),
                                                     "--gdb-port", std::to_string(gdbserver_.port)},
                                                    gdbserver_.dir + "/stdout", gdbserver_.dir + "/stderr");
        return gdbserver_.wait_listening(20000) == 0 ? gdbserver_.port : 0;
    }

    tarvex_test::server_process server_;
    tarvex_test::server_process gdbserver_;
    probe_conn control_;
};

// ---- the front end's protocol, as GDB speaks it -------------------------------

// The next packet's body; "" after the hang guard.
std::string next_packet(gdb_test::raw_gdb &g)
{
    std::string got;
    for (;;) {
        std::string c = g.receive(1, 10000);
        if (c.empty())
            return "";
        if (got.empty() && c[0] != '$')
            continue;
        got += c;
        if (got.size() >= 4 && got[got.size() - 3] == '#')
            return got.substr(1, got.size() - 4);
    }
}

// The reply to a request, past any console ('O') packets.
std::string ask(gdb_test::raw_gdb &g, const std::string &request)
{
    g.send(gdb_test::framed(request));
    std::string reply;
    do
        reply = next_packet(g);
    while (reply.size() > 1 && reply[0] == 'O' && reply != "OK");
    return reply;
}

// A GDB session: connect (the core halts), read the PC, optionally reset
// it through the monitor, detach (the core runs on).
void gdb_session(uint16_t port, bool reset)
{
    gdb_test::raw_gdb g;
    ASSERT_EQ(g.open(port), 0);
    g.send(gdb_test::framed("QStartNoAckMode"));
    ASSERT_EQ(g.receive(7), "+$OK#9a");
    std::string stop = ask(g, "?");
    ASSERT_EQ(stop.rfind("T", 0), 0u) << stop;
    std::string pc = ask(g, "pf");
    ASSERT_EQ(pc.size(), 8u) << pc;
    ASSERT_EQ(pc.find_first_not_of("0123456789abcdef"), std::string::npos) << pc;
    if (reset) {
        std::string said = ask(g, "qRcmd," + gdb_test::hex_text("reset"));
        ASSERT_EQ(said, gdb_test::hex_text("reset, running\n"));
    }
    ASSERT_EQ(ask(g, "D"), "OK");
    ASSERT_TRUE(g.conn.wait_closed(10000)) << "the session ends after a detach";
}

// ---- the cases -------------------------------------------------------------------

// Three readers that join at different times see the same bytes at the
// same positions; each one's records count up by one without a gap.
TEST_P(RttStream, ThreeReadersJoiningLaterSeeTheSameBytes)
{
    ASSERT_NO_FATAL_FAILURE(load(RTT_TEST_ELF));
    stream_reader::options o;
    o.address = block_of(RTT_TEST_ELF);
    o.keep_text = true;
    auto first = reader(o);
    ASSERT_TRUE(first->records_pass(300)) << joined(first->snapshot().faults);
    o.from_start = false;
    auto second = reader(o);
    ASSERT_TRUE(second->records_pass(300)) << joined(second->snapshot().faults);
    auto third = reader(o);
    ASSERT_TRUE(third->records_pass(3000)) << joined(third->snapshot().faults);
    third->finish();
    second->finish();
    first->finish();
    stream_reader::view a = first->snapshot(), b = second->snapshot(), c = third->snapshot();
    EXPECT_EQ(a.first, 0u);
    EXPECT_EQ(a.text.rfind("seq 0\nseq 1\n", 0), 0u) << a.text.substr(0, 40);
    for (const stream_reader::view *v : {&a, &b, &c}) {
        EXPECT_TRUE(v->faults.empty()) << joined(v->faults);
        EXPECT_TRUE(v->gaps.empty()) << "a gap at " << v->gaps.front();
        EXPECT_EQ(v->lost, 0u);
        EXPECT_EQ(v->runs, 1);
    }
    ASSERT_LT(a.first, b.first);
    ASSERT_LT(b.first, c.first) << "the third joined later";
    // Compared where they overlap: the later reader's bytes from its start
    // and the earlier one's at the same positions, as far as both read.
    for (const auto &[early, late] : {std::make_pair(&a, &b), std::make_pair(&b, &c), std::make_pair(&a, &c)}) {
        uint64_t offset = late->first - early->first;
        ASSERT_LT(offset, early->text.size()) << "the readers overlap";
        size_t both = std::min(early->text.size() - offset, late->text.size());
        EXPECT_GT(both, 1000u);
        EXPECT_TRUE(early->text.compare(offset, both, late->text, 0, both) == 0)
            << "readers from " << early->first << " and " << late->first << " differ";
    }
}

// Where the probe went, one poll's bytes may have gone with it: its RdOff
// write reached the target but the status of that write never came back, so
// those bytes count as lost (never doubled). A record cut there, and the
// jump in the records right after it, are that loss; elsewhere they are
// faults. A record is at most "seq " and 10 digits and its newline.
constexpr uint64_t RECORD_SPAN = 15;

bool near_the_unplug(uint64_t at, uint64_t gone)
{
    return at <= gone + RECORD_SPAN && gone <= at + RECORD_SPAN;
}

bool cut_by_the_unplug(const std::string &fault, uint64_t gone)
{
    const std::string cut = "not a record at position ";
    return fault.rfind(cut, 0) == 0 && near_the_unplug(std::strtoull(fault.c_str() + cut.size(), nullptr, 10), gone);
}

// The long one: a reader follows the counted channel while GDB sessions
// come and go, resets come from GDB and from tarvex-cli, two images are
// flashed in turn (their blocks at different addresses) and the probe is
// unplugged once. Every run of the firmware shows its records in order from
// 0; the only gap may be where the probe was away, and the reader was told.
TEST_P(RttStream, ReaderFollowsThroughSessionsFlashesResetsAndAnUnplug)
{
    // umockdev carries each transfer through a socket: fewer rounds there.
    const int rounds = fast() ? 10 : 2;
    const int sessions_per_round = fast() ? 10 : 5;
    ASSERT_NO_FATAL_FAILURE(load(RTT_TEST_ELF));
    uint16_t gdb_port = start_gdbserver();
    ASSERT_NE(gdb_port, 0) << gdbserver_.stderr_text();
    stream_reader::options o;
    o.address = block_of(RTT_TEST_ELF);
    auto r = reader(o);
    ASSERT_TRUE(r->run_streams(1)) << joined(r->snapshot().faults);
    int runs = 1;
    uint64_t gone_position = 0;
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (int i = 0; i < sessions_per_round; i++)
            ASSERT_NO_FATAL_FAILURE(gdb_session(gdb_port, false)) << gdbserver_.stderr_text();
        ASSERT_TRUE(r->records_pass(r->records() + 20)) << "the firmware runs on after the sessions";

        ASSERT_NO_FATAL_FAILURE(gdb_session(gdb_port, true)) << gdbserver_.stderr_text();
        ASSERT_TRUE(r->run_streams(++runs)) << "a run after GDB's reset\n" << why() << joined(r->snapshot().faults);

        std::string err;
        ASSERT_EQ(cli({"reset"}, &err), 0) << err;
        ASSERT_TRUE(r->run_streams(++runs)) << "a run after tarvex-cli reset\n"
                                            << why() << joined(r->snapshot().faults);

        const char *image = round % 2 == 0 ? RTT_TEST_MOVED_ELF : RTT_TEST_ELF;
        ASSERT_EQ(cli({"flash", image}, &err), 0) << err;
        ASSERT_TRUE(r->run_streams(++runs)) << "a run of " << image << " after its flash\n"
                                            << why() << joined(r->snapshot().faults);
        EXPECT_TRUE(capture_at(block_of(image))) << "capture follows the flashed image's block";

        if (round == rounds / 2) {
            uint64_t before = r->records();
            ASSERT_EQ(server_.control("unplug 0"), "ok");
            ASSERT_TRUE(eventually([&] { return !r->snapshot().gone_at.empty(); }, 20000))
                << "the reader is told the probe went";
            gone_position = r->snapshot().gone_at.front();
            ASSERT_EQ(server_.control("plug 0"), "ok") << why();
            ASSERT_TRUE(server_.wait_stderr("plugged in again")) << why();
            ASSERT_TRUE(eventually([&] { return control_.debug_mode(); }, 20000))
                << "the probe answers again after its plug\n"
                << why();
            ASSERT_TRUE(r->records_pass(before + 50)) << "capture comes back with the probe\n" << why();
            EXPECT_EQ(r->runs(), runs) << "the firmware ran on while the probe was away";
        }
    }
    r->finish();
    stream_reader::view v = r->snapshot();
    std::vector<std::string> faults;
    for (const std::string &f : v.faults)
        if (!cut_by_the_unplug(f, gone_position))
            faults.push_back(f);
    EXPECT_TRUE(faults.empty()) << joined(faults) << "the probe went at " << gone_position;
    EXPECT_EQ(v.runs, runs) << "one run per reset and flash";
    EXPECT_EQ(v.gone_at.size(), 1u);
    for (uint64_t gap : v.gaps)
        EXPECT_TRUE(near_the_unplug(gap, gone_position))
            << "a gap at " << gap << ", the probe went at " << gone_position;
    for (uint64_t lost : v.lost_at)
        EXPECT_EQ(lost, gone_position) << "a loss where the probe was not away";
    EXPECT_TRUE(server_.wait_stderr("RTT capture: the probe is back"));
}

// A stale block below the live one: the scan finds both, capture settles on
// the one that moves, and the stale one's "stale\n" never reaches a reader.
TEST_P(RttStream, AScanSettlesOnTheLiveBlockBesideAStaleOne)
{
    ASSERT_NO_FATAL_FAILURE(load(RTT_TEST_ELF));
    ASSERT_NO_FATAL_FAILURE(configure(RTT_TEST_ELF, [](test_config &c) {
        c.stale_block = 1;
        slow_stream(c);
    }));
    uint32_t stale = tarvex_test::elf_symbol_of(RTT_TEST_ELF, "rtt_test_stale").address;
    ASSERT_TRUE(eventually([&] { return target_word(stale) == 0x47474553; })) << "the stale block is set up";
    // Both blocks and their buffers lie in the image's first 12 KiB of RAM:
    // a scan of one read, so that a reader's open never waits long behind it
    // where the probe is slow (the sanitizers' build).
    stream_reader::options near = terminal_options();
    near.ram_size = 0x3000;
    auto terminal = reader(near);
    stream_reader::options counted_near;
    counted_near.ram_size = 0x3000;
    auto counted = reader(counted_near);
    ASSERT_TRUE(capture_at(block_of(RTT_TEST_ELF))) << why();
    ASSERT_TRUE(counted->records_pass(SLOW_RECORDS, SLOW_RECORDS_MS)) << joined(counted->snapshot().faults) << why();
    ASSERT_TRUE(terminal->text_has("rtt test ready\n"));
    tarvex::rtt_status_record s = control_.status();
    EXPECT_EQ(s.blocks, 2u);
    EXPECT_EQ(s.address, block_of(RTT_TEST_ELF));
    counted->finish();
    terminal->finish();
    stream_reader::view t = terminal->snapshot(), c = counted->snapshot();
    EXPECT_EQ(t.text, "rtt test ready\n");
    EXPECT_TRUE(c.faults.empty()) << joined(c.faults);
    EXPECT_TRUE(c.gaps.empty());
    EXPECT_EQ(c.runs, 1);
}

// Flashing runs the loader in the RAM that holds the block: while it has
// half overwritten it, and after (the new image halted at its reset vector,
// the loader's leftovers in RAM), no reader gets a byte that is not a
// record; then capture follows the new image's block.
TEST_P(RttStream, AFlashOverwritingTheBlockShowsNoGarbage)
{
    ASSERT_NO_FATAL_FAILURE(load(RTT_TEST_ELF));
    stream_reader::options o;
    o.address = 0; // a scan: whatever the loader leaves is looked at
    auto r = reader(o);
    auto terminal = reader(terminal_options());
    ASSERT_TRUE(r->run_streams(1)) << joined(r->snapshot().faults);
    std::string err;
    ASSERT_EQ(cli({"flash", RTT_TEST_MOVED_ELF, "--halt"}, &err), 0) << err;
    uint64_t looks = control_.status().looks;
    ASSERT_TRUE(eventually([&] { return control_.status().looks >= looks + 3; }))
        << "capture looks at the RAM the loader left\n"
        << why();
    EXPECT_EQ(r->runs(), 1);
    ASSERT_EQ(cli({"run"}, &err), 0) << err;
    ASSERT_TRUE(r->run_streams(2)) << joined(r->snapshot().faults) << why();
    EXPECT_TRUE(capture_at(block_of(RTT_TEST_MOVED_ELF))) << why();
    ASSERT_EQ(cli({"flash", RTT_TEST_ELF}, &err), 0) << err;
    ASSERT_TRUE(r->run_streams(3)) << joined(r->snapshot().faults) << why();
    EXPECT_TRUE(capture_at(block_of(RTT_TEST_ELF))) << why();
    ASSERT_TRUE(terminal->text_has("rtt test ready\nrtt test ready\nrtt test ready\n"));
    r->finish();
    terminal->finish();
    stream_reader::view v = r->snapshot(), t = terminal->snapshot();
    EXPECT_TRUE(v.faults.empty()) << joined(v.faults);
    EXPECT_TRUE(v.gaps.empty());
    EXPECT_EQ(v.runs, 3);
    EXPECT_EQ(t.text, "rtt test ready\nrtt test ready\nrtt test ready\n");
}

// The two-stage image: the reader of a scan sees the first stage's lines
// on channel 0, then the second stage's stream from the live second block.
void RttStream::follow_stages(uint32_t retire)
{
    {
        ASSERT_NO_FATAL_FAILURE(load(RTT_STAGES_ELF));
        ASSERT_NO_FATAL_FAILURE(configure(RTT_STAGES_ELF, [&](test_config &c) {
            c.stage1_lines = 5;
            c.retire_stage1 = retire;
            slow_stream(c);
        }));
        auto terminal = reader(terminal_options());
        stream_reader::options o;
        o.from_start = false;
        auto counted = reader(o);
        ASSERT_TRUE(terminal->text_has("rtt test ready\n")) << terminal->snapshot().text << server_.stderr_text();
        ASSERT_TRUE(counted->records_pass(SLOW_RECORDS, SLOW_RECORDS_MS))
            << joined(counted->snapshot().faults) << why();
        EXPECT_TRUE(capture_at(block_of(RTT_STAGES_ELF))) << "capture ends on the second block";
        terminal->finish();
        counted->finish();
        std::string text = terminal->snapshot().text;
        EXPECT_NE(text.find("stage 1 line 0\nstage 1 line 1\nstage 1 line 2\nstage 1 line 3\nstage 1 line 4\n"
                            "rtt test ready\n"),
                  std::string::npos)
            << text;
        stream_reader::view c = counted->snapshot();
        EXPECT_TRUE(c.faults.empty()) << joined(c.faults);
        EXPECT_TRUE(c.gaps.empty());
        ASSERT_EQ(control_.c.text("tarvex-rtt-stop " + std::to_string(control_.assoc) + "\n", &text), 0);
    }
}

TEST_P(RttStream, TwoStagesAreFollowedIntoTheSecondBlock)
{
    follow_stages(1);
}

// The first stage's block left behind, valid and still: capture moves to
// the live second block, which appeared after it, once the first has stayed
// still long enough to be looked beside.
TEST_P(RttStream, AStaleFirstStageBlockIsLeftForTheLiveSecond)
{
    follow_stages(0);
}

// 1000 bytes for down channel 0, whose buffer takes 31 at a time: the
// firmware's echo brings each back once, in order, on up channel 0.
TEST_P(RttStream, ALongInputIsEchoedOnceInOrder)
{
    ASSERT_NO_FATAL_FAILURE(load(RTT_TEST_ELF));
    auto terminal = reader(terminal_options(block_of(RTT_TEST_ELF)));
    ASSERT_TRUE(terminal->text_has("rtt test ready\n")) << why();
    std::string payload;
    for (int i = 0; i < 250; i++) {
        char piece[8];
        snprintf(piece, sizeof(piece), "%03d,", i);
        payload += piece;
    }
    ASSERT_EQ(payload.size(), 1000u);
    probe_conn writer; // the reader's connection belongs to its thread
    ASSERT_EQ(writer.open(server_.port), 0);
    int result = -1;
    ASSERT_EQ(tarvex::rtt_start(writer.c, writer.assoc, 0, RAM, RAM_SIZE, block_of(RTT_TEST_ELF), &result), 0);
    size_t sent = 0;
    ASSERT_TRUE(eventually([&] {
        uint32_t accepted = 0;
        EXPECT_EQ(tarvex::rtt_write(writer.c, writer.assoc, 0, reinterpret_cast<const uint8_t *>(payload.data()) + sent,
                                    payload.size() - sent, &result, &accepted),
                  0);
        EXPECT_EQ(result, 0);
        sent += accepted;
        return sent == payload.size();
    })) << "the server's queue took it all";
    // Some forty polls, each taking a buffer's worth in: the bound leaves
    // room for umockdev under the sanitizers on a loaded machine.
    ASSERT_TRUE(terminal->text_has(payload, 60000)) << terminal->snapshot().text << why();
    uint32_t echoed = tarvex_test::elf_symbol_of(RTT_TEST_ELF, "rtt_test_echoed").address;
    EXPECT_TRUE(eventually([&] { return target_word(echoed) == 1000; })) << target_word(echoed);
    terminal->finish();
    EXPECT_EQ(terminal->snapshot().text, "rtt test ready\n" + payload);
}

INSTANTIATE_TEST_SUITE_P(Transports, RttStream, ::testing::Values("fast", "umockdev"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace
