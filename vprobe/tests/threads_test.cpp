// Several threads of one process drive virtual probes through the real
// libusb at once, on either transport (--transport=fast|umockdev; the binary
// starts itself again under the launcher): one thread per probe doing memory
// round trips whose every byte is checked, two threads sharing one probe, and
// a thread that enumerates, opens and closes every probe meanwhile. A probe's
// latency holds up that probe's commands and nobody else's.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"

namespace
{

// Probes in the launcher's order (see main): four without latency, four at
// 1 ms, one whose commands wait far longer than any test runs, and one at
// the launcher-wide default latency.
enum probe_index { QUICK = 0, TIMED = 4, STUCK = 8, SLOW = 9, PROBE_COUNT = 10 };
constexpr int GROUP = 4;
const char *const LAUNCHER_LATENCY = "200000";
const char *const GROUP_OPTIONS[] = {"latency=0", "latency=1000"};
const char *const STUCK_OPTIONS = "latency=60000000";

constexpr uint16_t VID = 0x7E57;
constexpr uint8_t CMD_OUT = 0x02; // generation-2 endpoints
constexpr uint8_t REPLY_IN = 0x81;
constexpr uint8_t TRACE_IN = 0x83;
constexpr uint8_t CMD_DEBUG = 0xF2;
constexpr uint8_t READ_MEM32 = 0x07;
constexpr uint8_t WRITE_MEM32 = 0x08;
constexpr uint8_t TRACE_ON = 0x40; // 2..3 buffer size (0: default), 4..7 baud rate
constexpr uint8_t TRACE_OFF = 0x41;
constexpr uint8_t STATUS_OK = 0x80;
constexpr size_t CMD_SIZE = 16;
constexpr uint32_t RAM = 0x20000000;
constexpr uint16_t CHUNK = 256;
constexpr unsigned GUARD_MS = 30000; // hang guard only, never a measure

using bytes = std::vector<uint8_t>;

std::string serial_of(int index)
{
    char text[32];
    snprintf(text, sizeof(text), "7E575650000000000000%04X", index + 1);
    return text;
}

std::string control(const std::string &request)
{
    const char *path = getenv("TARVEX_VPROBE_CONTROL");
    return path != nullptr ? tarvex_test::vprobe_control(path, request) : "err no launcher";
}

// Memory command block: 0 command, 1 sub-command, 2..5 address, 6..7
// length, 8 access point (0).
bytes mem_block(uint8_t sub, uint32_t addr, uint16_t len)
{
    bytes b(CMD_SIZE, 0);
    b[0] = CMD_DEBUG;
    b[1] = sub;
    tarvex::put_u32(&b, 2, addr);
    tarvex::put_u32(&b, 6, len);
    return b;
}

bytes pattern(uint32_t seed)
{
    bytes data(CHUNK);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 29 + seed * 151 + (seed >> 8));
    return data;
}

// The serial text of a device's hex-form descriptor (low byte of each unit).
std::string read_serial(libusb_device_handle *h)
{
    libusb_device_descriptor desc;
    uint8_t raw[64];
    if (libusb_get_device_descriptor(libusb_get_device(h), &desc) != 0)
        return "";
    int n = libusb_get_string_descriptor(h, desc.iSerialNumber, 0x0409, raw, sizeof raw);
    std::string text;
    char hex[3];
    for (int i = 2; i + 1 < n; i += 2) {
        snprintf(hex, sizeof hex, "%02X", raw[i]);
        text += hex;
    }
    return text;
}

class libusb_session
{
public:
    libusb_session() { libusb_init(&ctx_); }
    ~libusb_session()
    {
        if (ctx_ != nullptr)
            libusb_exit(ctx_);
    }
    libusb_session(const libusb_session &) = delete;
    libusb_session &operator=(const libusb_session &) = delete;
    libusb_context *get() const { return ctx_; }

    // Opens every probe on the bus, hands each open handle with its serial
    // to visit (which keeps it by returning true), closes the others.
    // Returns how many probes showed a readable serial.
    int each_probe(const std::function<bool(libusb_device_handle *, const std::string &)> &visit) const
    {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx_, &list);
        int seen = 0;
        for (ssize_t i = 0; i < n; i++) {
            libusb_device_descriptor desc;
            libusb_device_handle *h = nullptr;
            if (libusb_get_device_descriptor(list[i], &desc) != 0 || desc.idVendor != VID ||
                libusb_open(list[i], &h) != 0)
                continue;
            std::string serial = read_serial(h);
            seen += serial.empty() ? 0 : 1;
            if (!visit(h, serial))
                libusb_close(h);
        }
        if (n >= 0)
            libusb_free_device_list(list, 1);
        return seen;
    }

private:
    libusb_context *ctx_ = nullptr;
};

// One probe opened and claimed for command traffic.
class probe_link
{
public:
    probe_link(const libusb_session &usb, int index)
    {
        std::string want = serial_of(index);
        usb.each_probe([this, &want](libusb_device_handle *h, const std::string &serial) {
            if (serial != want || h_ != nullptr)
                return false;
            h_ = h;
            return true;
        });
        if (h_ != nullptr && libusb_claim_interface(h_, 0) != 0) {
            libusb_close(h_);
            h_ = nullptr;
        }
    }
    ~probe_link()
    {
        if (h_ == nullptr)
            return;
        libusb_release_interface(h_, 0);
        libusb_close(h_);
    }
    probe_link(const probe_link &) = delete;
    probe_link &operator=(const probe_link &) = delete;
    bool ok() const { return h_ != nullptr; }

    // One bulk transfer; the libusb result, or LIBUSB_ERROR_IO when short.
    // With got, a short transfer is fine and *got tells its length.
    int transfer(uint8_t ep, bytes *data, unsigned timeout_ms = GUARD_MS, int *got = nullptr)
    {
        int done = 0;
        int rc = libusb_bulk_transfer(h_, ep, data->data(), static_cast<int>(data->size()), &done, timeout_ms);
        if (got != nullptr)
            *got = done;
        else if (rc == 0 && done != static_cast<int>(data->size()))
            return LIBUSB_ERROR_IO;
        return rc;
    }
    // A command with a status reply; its status byte, or -1.
    int status_command(bytes block)
    {
        block.resize(CMD_SIZE);
        bytes reply(2);
        return transfer(CMD_OUT, &block) == 0 && transfer(REPLY_IN, &reply) == 0 ? reply[0] : -1;
    }
    // Writes a pattern to addr through the probe's command blocks, reads it
    // back the same way. Returns "" or what went wrong.
    std::string round_trip(uint32_t addr, uint32_t seed)
    {
        bytes write = mem_block(WRITE_MEM32, addr, CHUNK), data = pattern(seed);
        bytes read = mem_block(READ_MEM32, addr, CHUNK), back(CHUNK);
        int rc = transfer(CMD_OUT, &write);
        rc = rc != 0 ? rc : transfer(CMD_OUT, &data);
        rc = rc != 0 ? rc : transfer(CMD_OUT, &read);
        rc = rc != 0 ? rc : transfer(REPLY_IN, &back);
        if (rc != 0)
            return std::string("transfer failed: ") + libusb_error_name(rc);
        return back == data ? "" : "wrong bytes read back at seed " + std::to_string(seed);
    }

private:
    libusb_device_handle *h_ = nullptr;
};

// What one worker thread did.
struct tally {
    int rounds = 0;
    std::string error;
};

// rounds round trips at addr, each under lock when one is given.
void run_rounds(probe_link *link, std::mutex *lock, uint32_t addr, uint32_t seed, int rounds, tally *out)
{
    for (int i = 0; i < rounds && out->error.empty(); i++) {
        std::unique_lock<std::mutex> guard;
        if (lock != nullptr)
            guard = std::unique_lock<std::mutex>(*lock);
        out->error = link->round_trip(addr, seed + static_cast<uint32_t>(i));
        out->rounds += out->error.empty() ? 1 : 0;
    }
}

class Threads : public ::testing::Test
{
protected:
    static uint64_t blocks_seen(int index)
    {
        std::string reply = control("count " + std::to_string(index));
        return reply.rfind("ok ", 0) == 0 ? strtoull(reply.c_str() + 3, nullptr, 10) : ~0ull;
    }
    libusb_session usb_;
};

// One thread on each of three probes, two threads taking turns on a fourth,
// and an enumerator opening and closing every probe (those four included)
// until they finish: every reply's bytes are right, nothing is lost.
TEST_F(Threads, ConcurrentRoundTripsAndEnumerationKeepEveryByte)
{
    constexpr int ROUNDS = 40;
    for (int first : {QUICK, TIMED}) {
        SCOPED_TRACE(GROUP_OPTIONS[first / GROUP]);
        std::vector<std::unique_ptr<probe_link>> links;
        for (int i = 0; i < GROUP; i++) {
            links.push_back(std::make_unique<probe_link>(usb_, first + i));
            ASSERT_TRUE(links.back()->ok()) << serial_of(first + i);
        }
        std::mutex shared;
        std::vector<tally> tallies(GROUP + 1);
        std::vector<std::thread> workers;
        for (int i = 0; i <= GROUP; i++) {
            int probe = i < GROUP ? i : GROUP - 1; // the last two threads share a probe
            workers.emplace_back(run_rounds, links[static_cast<size_t>(probe)].get(),
                                 probe == GROUP - 1 ? &shared : nullptr, RAM + 0x1000u * static_cast<uint32_t>(i),
                                 static_cast<uint32_t>(1000 * i), ROUNDS, &tallies[static_cast<size_t>(i)]);
        }
        std::atomic<bool> finished{false};
        std::vector<int> enumerated;
        std::thread enumerator([&] {
            while (!finished && enumerated.size() < 500)
                enumerated.push_back(
                    usb_.each_probe([](libusb_device_handle *, const std::string &) { return false; }));
        });
        for (std::thread &t : workers)
            t.join();
        finished = true;
        enumerator.join();
        for (size_t i = 0; i < tallies.size(); i++) {
            EXPECT_EQ(tallies[i].error, "") << "thread " << i;
            EXPECT_EQ(tallies[i].rounds, ROUNDS) << "thread " << i;
        }
        ASSERT_FALSE(enumerated.empty());
        for (int seen : enumerated)
            EXPECT_EQ(seen, PROBE_COUNT) << "every probe opens and shows its serial while others work";
    }
}

// While one thread's round trips wait out a long latency, another thread
// finishes many on a probe without latency: the quick thread ends first.
// With no latency the slow thread would end first; with a latency that held
// a lock others need, the quick one would wait for each slow command.
TEST_F(Threads, LatencyOfOneProbeHoldsUpNoOther)
{
    constexpr int SLOW_ROUNDS = 4; // three commands each at the default latency
    constexpr int QUICK_ROUNDS = 30;
    probe_link slow(usb_, SLOW), quick(usb_, QUICK);
    ASSERT_TRUE(slow.ok() && quick.ok());
    std::atomic<int> slow_rounds{0};
    std::atomic<bool> slow_started{false};
    std::string slow_error;
    std::thread slow_thread([&] {
        slow_started = true;
        for (int i = 0; i < SLOW_ROUNDS && slow_error.empty(); i++) {
            slow_error = slow.round_trip(RAM, static_cast<uint32_t>(i));
            slow_rounds++;
        }
    });
    while (!slow_started)
        std::this_thread::yield();
    tally fast;
    run_rounds(&quick, nullptr, RAM + 0x100, 7, QUICK_ROUNDS, &fast);
    int slow_when_quick_ended = slow_rounds;
    slow_thread.join();
    EXPECT_EQ(fast.error, "");
    EXPECT_EQ(fast.rounds, QUICK_ROUNDS);
    EXPECT_EQ(slow_error, "");
    EXPECT_EQ(slow_rounds, SLOW_ROUNDS);
    EXPECT_LT(slow_when_quick_ended, SLOW_ROUNDS);
}

// A trace reader polls the trace endpoint of a probe (no capture running:
// every read times out and is cancelled) while another thread does command
// round trips on it for as long as the reader goes on: cancelling a trace
// read leaves the command replies alone.
TEST_F(Threads, CancelledTraceReadsLeaveCommandRepliesAlone)
{
    constexpr int TRACE_READS = 150;
    for (int index : {QUICK + 2, TIMED + 2}) {
        SCOPED_TRACE(serial_of(index));
        probe_link link(usb_, index);
        ASSERT_TRUE(link.ok());
        std::atomic<int> trace_reads{0};
        int unexpected = 0;
        std::thread reader([&] {
            bytes buf(64);
            for (; trace_reads < TRACE_READS; trace_reads++)
                unexpected += link.transfer(TRACE_IN, &buf, 1) == LIBUSB_ERROR_TIMEOUT ? 0 : 1;
        });
        tally commands;
        while (trace_reads < TRACE_READS && commands.error.empty() && commands.rounds < 100000)
            run_rounds(&link, nullptr, RAM + 0x2000, static_cast<uint32_t>(commands.rounds), 1, &commands);
        reader.join();
        EXPECT_EQ(commands.error, "") << "after " << commands.rounds << " round trips";
        EXPECT_GT(commands.rounds, 0);
        EXPECT_EQ(unexpected, 0) << "no trace data without a capture";
    }
}

// Trace reads that find no data wait, and complete once the capture brings
// some, with no other traffic on the probe to wake them. At 1000 baud a byte
// comes every 10 ms, so the reads after the first find nothing at first.
TEST_F(Threads, WaitingTraceReadsCompleteWhenDataComes)
{
    probe_link link(usb_, QUICK + 3);
    ASSERT_TRUE(link.ok());
    bytes start = {CMD_DEBUG, TRACE_ON};
    tarvex::put_u32(&start, 4, 1000);
    ASSERT_EQ(link.status_command(start), STATUS_OK);
    bytes data(64);
    int next = 0;
    for (int read = 0; read < 4; read++) {
        int got = 0;
        ASSERT_EQ(link.transfer(TRACE_IN, &data, GUARD_MS, &got), 0) << "read " << read;
        ASSERT_GT(got, 0);
        for (int i = 0; i < got; i++, next++)
            ASSERT_EQ(data[static_cast<size_t>(i)], next & 0xFF) << "the capture's bytes count up from 0";
    }
    EXPECT_EQ(link.status_command({CMD_DEBUG, TRACE_OFF}), STATUS_OK);
}

// A command cancelled while it waits out its latency never reaches the
// probe, and its probe and the others go on.
TEST_F(Threads, CommandCancelledDuringItsLatencyNeverArrives)
{
    probe_link stuck(usb_, STUCK), quick(usb_, QUICK + 1);
    ASSERT_TRUE(stuck.ok() && quick.ok());
    uint64_t before = blocks_seen(STUCK);
    ASSERT_NE(before, ~0ull);
    bytes read = mem_block(READ_MEM32, RAM, 4);
    EXPECT_EQ(stuck.transfer(CMD_OUT, &read, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(blocks_seen(STUCK), before);
    EXPECT_EQ(quick.round_trip(RAM, 3), "");
}

} // namespace

int main(int argc, char **argv)
{
    bool listing = false, fast = false;
    for (int i = 1; i < argc; i++) {
        listing = listing || strncmp(argv[i], "--gtest_list_tests", 18) == 0;
        fast = fast || strcmp(argv[i], "--transport=fast") == 0;
    }
    if (!listing) {
        std::vector<std::string> args = {"--latency", LAUNCHER_LATENCY};
        if (fast)
            args.insert(args.begin(), "--fast");
        for (int i = 0; i < STUCK; i++)
            args.insert(args.end(), {"--probe", GROUP_OPTIONS[i / GROUP]});
        args.insert(args.end(), {"--probe", STUCK_OPTIONS, "--probes", "1"});
        tarvex_test::reexec_under_vprobe(argv, args);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
