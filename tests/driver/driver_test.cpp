// The probe driver in this process, through the real libusb, against virtual
// probes in fast mode. The launcher's control channel shows what the probe
// saw (its command history) and injects faults.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "libusb1_common.h"
#include "list_tarvex.h"
#include "server_process.h"
#include "tarvex_api.h"
#include "tarvex_usb.h"

namespace
{

// Probes, in control-channel order.
enum probe_index { MODERN = 0, GEN3 = 1, OLD_FIRMWARE = 2, NO_TRACE = 3, PROBE_COUNT };

const char *const probe_options[PROBE_COUNT] = {
    "serial=7E5756500000000000000001",
    "serial=7E5756500000000000000002,gen=3",
    "serial=7E5756500000000000000003,jtag=12,trace=0",
    "serial=7E5756500000000000000004,trace=0",
};

constexpr uint32_t KEY = 0x1234;
constexpr uint32_t RAM = 0x20000000;

using block = std::vector<uint8_t>;

std::string control(const std::string &request)
{
    const char *path = getenv("TARVEX_VPROBE_CONTROL");
    return path != nullptr ? tarvex_test::vprobe_control(path, request) : "err no launcher";
}

block bytes_of(const std::string &hex)
{
    block out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

uint32_t u32_at(const block &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class Driver : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(tarvex_libusb_init(), 0);
        ASSERT_EQ(tarvex_init(), 1);
    }
    static void TearDownTestSuite() { tarvex_libusb_exit(); }
    void TearDown() override
    {
        for (tarvex_usb_handle_s *h : opened_)
            tarvex_usb_close(h);
    }

    // Opens the probe as the device API does, with its command history cleared.
    tarvex_usb_handle_s *open(probe_index i)
    {
        std::string serial = probe_options[i] + 7;
        serial = serial.substr(0, serial.find(','));
        tarvex_usb *entry = get_tarvex_by_serial_name(serial.c_str());
        EXPECT_NE(entry, nullptr) << serial;
        if (entry == nullptr)
            return nullptr;
        EXPECT_EQ(tarvex_libusb_real_open(entry), 0);
        EXPECT_EQ(tarvex_usb_open(entry), ERROR_OK);
        opened_.push_back(entry->dev);
        EXPECT_EQ(control("clear " + std::to_string(i)), "ok");
        return entry->dev;
    }
    // The blocks the probe received since the last clear, oldest first.
    static std::vector<block> history(probe_index i)
    {
        std::istringstream words(control("history " + std::to_string(i) + " 256"));
        std::string word;
        words >> word;
        std::vector<block> blocks;
        while (words >> word)
            blocks.insert(blocks.begin(), bytes_of(word));
        return blocks;
    }
    static unsigned blocks_seen(probe_index i)
    {
        return static_cast<unsigned>(strtoul(control("count " + std::to_string(i)).substr(3).c_str(), nullptr, 10));
    }
    static std::string state_field(probe_index i, const std::string &name)
    {
        std::istringstream words(control("state " + std::to_string(i)));
        std::string word;
        while (words >> word)
            if (word.rfind(name + "=", 0) == 0)
                return word.substr(name.size() + 1);
        return "";
    }
    // The (command, sub-command) pairs the probe saw, as "f2 30" words.
    static std::vector<std::string> commands(probe_index i)
    {
        std::vector<std::string> out;
        char text[8];
        for (const block &b : history(i)) {
            snprintf(text, sizeof(text), "%02x %02x", b[0], b[0] == 0xF2 || b[0] == 0xF3 || b[0] == 0xF4 ? b[1] : 0);
            out.push_back(text);
        }
        return out;
    }
    std::vector<tarvex_usb_handle_s *> opened_;
};

// ---- Memory ------------------------------------------------------------------

struct mem_command {
    uint8_t sub;
    uint32_t addr;
    uint32_t len;
    bool operator==(const mem_command &o) const { return sub == o.sub && addr == o.addr && len == o.len; }
};

std::ostream &operator<<(std::ostream &os, const mem_command &c)
{
    return os << std::hex << "{" << int(c.sub) << " " << c.addr << " " << std::dec << c.len << "}";
}

// The memory commands among the blocks (layout: 2..5 address, 6..7 length).
std::vector<mem_command> memory_commands(const std::vector<block> &blocks)
{
    std::vector<mem_command> out;
    for (const block &b : blocks)
        if (b[0] == 0xF2 && (b[1] == 0x07 || b[1] == 0x08 || b[1] == 0x0C || b[1] == 0x0D))
            out.push_back({b[1], u32_at(b, 2), static_cast<uint32_t>(b[6] | b[7] << 8)});
    return out;
}

// What every split must satisfy: contiguous, in order, 32-bit commands
// aligned and inside one 1024-byte block, byte commands of at most 64 bytes.
void expect_sound_split(const std::vector<mem_command> &seen, uint32_t addr, uint32_t len)
{
    uint32_t next = addr;
    for (const mem_command &c : seen) {
        EXPECT_EQ(c.addr, next) << c;
        bool words = c.sub == 0x07 || c.sub == 0x08;
        if (words) {
            EXPECT_EQ((c.addr | c.len) & 3, 0u) << c;
            EXPECT_EQ(c.addr / 1024, (c.addr + c.len - 1) / 1024) << "crosses a 1024-byte block: " << c;
        } else {
            EXPECT_LE(c.len, 64u) << c;
        }
        next = c.addr + c.len;
    }
    EXPECT_EQ(next, addr + len);
}

block pattern(uint32_t len, uint32_t seed)
{
    block data(len);
    for (uint32_t i = 0; i < len; i++)
        data[i] = static_cast<uint8_t>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return data;
}

TEST_F(Driver, MemoryRangesRoundTripInChunksTheProbeAccepts)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    struct range {
        uint32_t offset;
        uint32_t len;
        uint16_t size;
    };
    const range ranges[] = {
        {0x000, 1, 4},   {0x001, 1, 4},    {0x003, 2, 4},    {0x002, 8, 4},     {0x004, 4, 4},     {0x3FC, 8, 4},
        {0x3FE, 4, 4},   {0x3F0, 2048, 4}, {0x401, 1023, 4}, {0x7FF, 1026, 4},  {0x010, 4096, 4},  {0x003, 9000, 4},
        {0x000, 130, 1}, {0x3FF, 3, 1},    {0x005, 640, 2},  {0x000, 65536, 4}, {0x001, 65535, 4},
    };
    uint32_t seed = 0;
    for (const range &r : ranges) {
        uint32_t addr = RAM + r.offset;
        block data = pattern(r.len, ++seed);
        ASSERT_EQ(control("clear 0"), "ok");
        // Items of `size` bytes where they divide the length, else bytes.
        uint16_t size = r.len % r.size == 0 ? r.size : 1;
        uint32_t count = r.len / size;
        ASSERT_EQ(tarvex_usb_write_mem(h, addr, size, count, data.data(), 0, KEY), ERROR_OK) << r.offset;
        if (r.len <= 8192)
            expect_sound_split(memory_commands(history(MODERN)), addr, r.len);
        block back(r.len);
        ASSERT_EQ(control("clear 0"), "ok");
        ASSERT_EQ(tarvex_usb_read_mem(h, addr, size, count, back.data(), 0, KEY), ERROR_OK) << r.offset;
        EXPECT_EQ(back, data) << std::hex << addr << " " << std::dec << r.len;
        if (r.len <= 8192)
            expect_sound_split(memory_commands(history(MODERN)), addr, r.len);
    }
    // The probe's memory holds what the driver wrote last (at RAM + 1).
    block last = pattern(65535, seed);
    char hex[16];
    snprintf(hex, sizeof(hex), "ok %02x%02x%02x%02x", last[0], last[1], last[2], last[3]);
    EXPECT_EQ(control("mem 0 20000001 4"), hex);
}

TEST_F(Driver, SplitsOfThePartsExamples)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    struct split_case {
        uint32_t addr;
        uint16_t size;
        uint32_t count;
        std::vector<mem_command> expected;
    };
    const split_case cases[] = {
        {RAM + 0x002, 4, 2, {{0x0C, RAM + 0x002, 2}, {0x0C, RAM + 0x004, 6}}},
        {RAM + 0x3F0, 4, 512, {{0x07, RAM + 0x3F0, 16}, {0x07, RAM + 0x400, 1024}, {0x07, RAM + 0x800, 1008}}},
        {RAM, 1, 130, {{0x0C, RAM, 64}, {0x0C, RAM + 64, 64}, {0x0C, RAM + 128, 2}}},
        {RAM, 4, 0, {}},
    };
    for (const split_case &c : cases) {
        block buf(c.size * c.count + 1);
        ASSERT_EQ(control("clear 0"), "ok");
        EXPECT_EQ(tarvex_usb_read_mem(h, c.addr, c.size, c.count, buf.data(), 0, KEY), ERROR_OK);
        EXPECT_EQ(memory_commands(history(MODERN)), c.expected) << std::hex << c.addr;
    }
    // A one-byte read asks for two bytes and copies one.
    uint8_t one[2] = {0, 0xEE};
    ASSERT_EQ(control("poke 0 20000100 5a"), "ok");
    ASSERT_EQ(tarvex_usb_read_mem8(h, RAM + 0x100, 1, one, 0, KEY), ERROR_OK);
    EXPECT_EQ(one[0], 0x5A);
    EXPECT_EQ(one[1], 0xEE) << "only one byte copied";
}

TEST_F(Driver, MemoryFailuresAndBounds)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    uint8_t buf[64] = {};
    unsigned before = blocks_seen(MODERN);
    EXPECT_EQ(tarvex_usb_read_mem(h, RAM, 4, 0x40000001, buf, 0, KEY), ERROR_FAIL) << "size x count above 32 bits";
    EXPECT_EQ(tarvex_usb_write_mem(h, RAM, 0xFFFF, 0x10002, buf, 0, KEY), ERROR_FAIL);
    EXPECT_EQ(tarvex_usb_read_mem8(h, RAM, 65, buf, 0, KEY), ERROR_FAIL);
    EXPECT_EQ(tarvex_usb_read_mem32(h, RAM + 2, 4, buf, 0, KEY), ERROR_ALIGNMENT);
    EXPECT_EQ(tarvex_usb_write_mem32(h, RAM, 6, buf, 0, KEY), ERROR_ALIGNMENT);
    for (uint32_t ap : {4u, 255u, 0x100u}) {
        EXPECT_EQ(tarvex_usb_read_mem(h, RAM, 4, 1, buf, ap, KEY), ERROR_FAIL) << ap;
        EXPECT_EQ(tarvex_usb_read_mem32(h, RAM, 4, buf, ap, KEY), ERROR_FAIL) << ap;
        EXPECT_EQ(tarvex_usb_read_regs(h, ap, KEY), ERROR_FAIL) << ap;
        uint32_t v = 0;
        EXPECT_EQ(tarvex_usb_read_debug_reg(h, 0xE000EDF0, &v, ap, KEY), ERROR_FAIL) << ap;
    }
    for (uint8_t ap : {4, 255})
        EXPECT_EQ(tarvex_usb_init_access_point(h, ap, KEY), ERROR_FAIL) << int(ap);
    EXPECT_EQ(blocks_seen(MODERN), before) << "refused before any transfer";
    // Flash is read-only on the bus; unmapped space faults.
    EXPECT_EQ(tarvex_usb_write_mem(h, 0x00000100, 4, 4, buf, 0, KEY), ERROR_FAIL);
    EXPECT_EQ(tarvex_usb_read_mem(h, 0x70000000, 4, 4, buf, 0, KEY), ERROR_FAIL);
}

TEST_F(Driver, AccessPointOpensBeforeItsFirstWordAccess)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    uint8_t buf[8];
    ASSERT_EQ(tarvex_usb_read_mem32(h, RAM, 8, buf, 2, KEY), ERROR_OK);
    ASSERT_EQ(tarvex_usb_read_mem32(h, RAM, 8, buf, 2, KEY), ERROR_OK);
    std::vector<block> seen = history(MODERN);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(block(seen[0].begin(), seen[0].begin() + 4), (block{0xF2, 0x4B, 0x02, 0x01}));
    EXPECT_EQ(u32_at(seen[0], 12), KEY);
    EXPECT_EQ(commands(MODERN), (std::vector<std::string>{"f2 4b", "f2 07", "f2 3b", "f2 07", "f2 3b"}));
}

TEST_F(Driver, WaitStatusesAreRetriedAndCounted)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    uint8_t buf[2048];
    // A chunk whose status says wait is sent again until it passes; each
    // send is followed by its status query.
    ASSERT_EQ(tarvex_usb_read_mem(h, RAM, 4, 4, buf, 0, KEY), ERROR_OK); // opens access point 0
    ASSERT_EQ(control("clear 0"), "ok");
    ASSERT_EQ(control("fault 0 wait 3"), "ok");
    EXPECT_EQ(tarvex_usb_read_mem(h, RAM, 4, 4, buf, 0, KEY), ERROR_OK);
    std::vector<std::string> seen = commands(MODERN);
    EXPECT_GE(seen.size(), 4u) << "retried";
    for (size_t i = 0; i < seen.size(); i++)
        EXPECT_EQ(seen[i], i % 2 == 0 ? "f2 07" : "f2 3b") << i;
    // A register read answering wait twice is sent three times.
    ASSERT_EQ(control("clear 0"), "ok");
    ASSERT_EQ(control("fault 0 wait 2"), "ok");
    uint32_t value = 0;
    EXPECT_EQ(tarvex_usb_read_debug_reg(h, 0xE000EDF0, &value, 0, KEY), ERROR_OK);
    EXPECT_EQ(blocks_seen(MODERN), 3u);
    // A fault status ends the transfer at once, reported as failure.
    ASSERT_EQ(control("clear 0"), "ok");
    ASSERT_EQ(control("fault 0 fault 1"), "ok");
    EXPECT_EQ(tarvex_usb_read_mem(h, RAM, 4, 512, buf, 0, KEY), ERROR_FAIL);
    EXPECT_EQ(memory_commands(history(MODERN)).size(), 1u);
}

// ---- Registers and modes -------------------------------------------------------

TEST_F(Driver, RegisterCommandsCarryThePartsLayout)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(tarvex_usb_write_reg(h, 15, 0x08000101, 0, KEY), ERROR_OK);
    std::vector<block> seen = history(MODERN);
    ASSERT_EQ(seen.size(), 1u);
    block expected = {0xF2, 0x34, 0x0F, 0x01, 0x01, 0x00, 0x08, 0x00, 0x00, 0, 0, 0, 0x34, 0x12, 0, 0};
    EXPECT_EQ(seen[0], expected);
    uint32_t value = 0;
    ASSERT_EQ(tarvex_usb_read_reg(h, 15, &value, 0, KEY), ERROR_OK);
    EXPECT_EQ(value, 0x08000101u);
    // First register-file read for access point 1 opens it first.
    ASSERT_EQ(control("clear 0"), "ok");
    ASSERT_EQ(tarvex_usb_read_regs(h, 1, KEY), ERROR_OK);
    EXPECT_EQ(commands(MODERN), (std::vector<std::string>{"f2 4b", "f2 3a"}));
    EXPECT_EQ(h->databuf[0], 0x80);
    // An un-keyed command sends zeros in bytes 12..15.
    uint32_t idcode = 0;
    ASSERT_EQ(tarvex_usb_idcode(h, &idcode, KEY), ERROR_OK);
    EXPECT_EQ(idcode, 0x2BA01477u);
    EXPECT_EQ(u32_at(history(MODERN).back(), 12), 0u);
}

TEST_F(Driver, ModeScenarioWithReconnect)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    // The probe starts in DFU mode: left with F3 07, then SWD under reset.
    ASSERT_EQ(tarvex_usb_init_mode(h, true, HL_TRANSPORT_SWD, KEY), ERROR_OK);
    EXPECT_EQ(commands(MODERN),
              (std::vector<std::string>{"f5 00", "f3 07", "f5 00", "f7 00", "f2 3c", "f2 30", "f5 00"}));
    std::vector<block> seen = history(MODERN);
    EXPECT_EQ(seen[4][2], 0) << "reset line held";
    EXPECT_EQ(seen[5][2], 0xA3) << "SWD";
    EXPECT_EQ(state_field(MODERN, "mode"), "2");
    // Halt through DHCSR (key, C_HALT, C_DEBUGEN).
    ASSERT_EQ(tarvex_usb_write_debug_reg(h, 0xE000EDF0, 0xA05F0003, 0, KEY), ERROR_OK);
    EXPECT_EQ(tarvex_usb_state(h, KEY), TARGET_HALTED);
    ASSERT_EQ(tarvex_usb_read_regs(h, 0, KEY), ERROR_OK);
    ASSERT_EQ(tarvex_usb_reset_tap(h, KEY), ERROR_OK);
    EXPECT_NE(tarvex_usb_state(h, KEY), TARGET_UNKNOWN);
    // A failed state query makes the next one re-enter debug mode first.
    ASSERT_EQ(control("fault 0 fault 1"), "ok");
    EXPECT_EQ(tarvex_usb_state(h, KEY), TARGET_UNKNOWN);
    EXPECT_TRUE(h->reconnect_pending);
    ASSERT_EQ(control("clear 0"), "ok");
    EXPECT_NE(tarvex_usb_state(h, KEY), TARGET_UNKNOWN);
    EXPECT_EQ(commands(MODERN), (std::vector<std::string>{"f2 30", "f2 36"}));
    EXPECT_FALSE(h->reconnect_pending);
    // Exit: debug mode is left with F2 21.
    ASSERT_EQ(control("clear 0"), "ok");
    ASSERT_EQ(tarvex_exit_mode(h, KEY), ERROR_OK);
    EXPECT_EQ(commands(MODERN), (std::vector<std::string>{"f5 00", "f2 21", "f5 00"}));
    EXPECT_EQ(state_field(MODERN, "mode"), "1");
    // Mass storage is left with nothing, unknown transports are refused.
    ASSERT_EQ(control("clear 0"), "ok");
    EXPECT_EQ(tarvex_usb_init_mode(h, false, HL_TRANSPORT_UNKNOWN, KEY), ERROR_FAIL);
    EXPECT_EQ(tarvex_usb_init_mode(h, false, HL_TRANSPORT_VEMO, KEY), ERROR_FAIL);
    for (const std::string &c : commands(MODERN))
        EXPECT_TRUE(c == "f5 00" || c == "f7 00") << c;
    EXPECT_EQ(tarvex_usb_mode_enter(h, TARVEX_MODE_DFU, KEY), ERROR_FAIL);
    EXPECT_EQ(tarvex_usb_mode_leave(h, TARVEX_MODE_MASS, KEY), ERROR_FAIL);
}

// ---- Interface clock -------------------------------------------------------------

TEST_F(Driver, Generation2ClockTables)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    struct clock_case {
        hl_transports transport;
        int khz;
        bool query;
        int result;
        int divisor; // -1: no clock command
    };
    const clock_case cases[] = {
        {HL_TRANSPORT_SWD, 4000, false, 4000, 0},   {HL_TRANSPORT_SWD, 1000, false, 950, 3},
        {HL_TRANSPORT_SWD, 1, false, 5, 798},       {HL_TRANSPORT_SWD, 10000, false, 4000, 0},
        {HL_TRANSPORT_SWD, 1000, true, 950, -1},    {HL_TRANSPORT_JTAG, 3000, false, 2250, 16},
        {HL_TRANSPORT_JTAG, 100, false, 140, 256},  {HL_TRANSPORT_JTAG, 9000, true, 9000, -1},
        {HL_TRANSPORT_VEMO, 1234, false, 1234, -1},
    };
    for (const clock_case &c : cases) {
        h->transport = c.transport;
        ASSERT_EQ(control("clear 0"), "ok");
        EXPECT_EQ(tarvex_speed_v2(h, c.khz, c.query, KEY), c.result) << c.khz;
        std::vector<block> seen = history(MODERN);
        if (c.divisor < 0) {
            EXPECT_TRUE(seen.empty()) << c.khz;
            continue;
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0][1], c.transport == HL_TRANSPORT_JTAG ? 0x44 : 0x43);
        EXPECT_EQ(seen[0][2] | seen[0][3] << 8, c.divisor) << c.khz;
        EXPECT_EQ(u32_at(seen[0], 12), c.transport == HL_TRANSPORT_JTAG ? 0u : KEY);
    }
    // A clock the probe refused is not reported as in force.
    h->transport = HL_TRANSPORT_SWD;
    ASSERT_EQ(control("fault 0 fault 1"), "ok");
    EXPECT_EQ(tarvex_speed_v2(h, 1800, false, KEY), ERROR_FAIL);
}

TEST_F(Driver, OldFirmwareKeepsItsClock)
{
    tarvex_usb_handle_s *h = open(OLD_FIRMWARE);
    ASSERT_NE(h, nullptr);
    for (hl_transports t : {HL_TRANSPORT_SWD, HL_TRANSPORT_JTAG}) {
        h->transport = t;
        EXPECT_EQ(tarvex_speed_v2(h, 1000, false, KEY), 1000);
    }
    EXPECT_EQ(blocks_seen(OLD_FIRMWARE), 0u);
}

TEST_F(Driver, Generation3FrequencyList)
{
    tarvex_usb_handle_s *h = open(GEN3);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->jtag_api, TARVEX_JTAG_API_V3);
    uint32_t freq[TARVEX_COM_FREQ_SLOTS];
    ASSERT_EQ(tarvex_get_com_freq(h, 0, freq), ERROR_OK);
    EXPECT_EQ(std::vector<uint32_t>(freq, freq + TARVEX_COM_FREQ_SLOTS),
              (std::vector<uint32_t>{24000, 8000, 3300, 1000, 480, 100, 25, 5, 0, 0}));
    struct freq_case {
        int khz;
        bool query;
        int result;
    };
    const freq_case cases[] = {
        {24000, false, 24000}, {4000, false, 3300}, {1, false, 5}, {30000, false, 24000}, {600, true, 480}};
    for (const freq_case &c : cases) {
        ASSERT_EQ(control("clear 1"), "ok");
        EXPECT_EQ(tarvex_speed_v3(h, freq, c.khz, c.query, KEY), c.result) << c.khz;
        std::vector<block> seen = history(GEN3);
        if (c.query) {
            EXPECT_TRUE(seen.empty());
            continue;
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0][1], 0x61);
        EXPECT_EQ(u32_at(seen[0], 4), static_cast<uint32_t>(c.result)) << "the frequency in kHz";
        EXPECT_EQ(state_field(GEN3, "mode").empty(), false);
    }
    ASSERT_EQ(control("fault 1 fault 1"), "ok");
    EXPECT_EQ(tarvex_speed_v3(h, freq, 1000, false, KEY), ERROR_FAIL);
    const uint32_t none[TARVEX_COM_FREQ_SLOTS] = {};
    EXPECT_EQ(tarvex_speed_v3(h, none, 1000, false, KEY), ERROR_FAIL) << "no frequency reported";
}

// ---- Trace -------------------------------------------------------------------------

TEST_F(Driver, TraceConfigureReadAndStop)
{
    tarvex_usb_handle_s *h = open(MODERN);
    ASSERT_NE(h, nullptr);
    uint32_t freq = 0;
    ASSERT_EQ(tarvex_config_trace(h, true, TPIU_PIN_PROTOCOL_ASYNC_UART, 1, &freq, KEY), ERROR_OK);
    EXPECT_EQ(freq, 2000000u);
    EXPECT_TRUE(h->trace.enabled);
    EXPECT_EQ(state_field(MODERN, "trace_hz"), "2000000");
    uint32_t too_fast = 2000001;
    EXPECT_EQ(tarvex_config_trace(h, true, TPIU_PIN_PROTOCOL_ASYNC_UART, 1, &too_fast, KEY), ERROR_FAIL);
    uint32_t ok_freq = 1000000;
    EXPECT_EQ(tarvex_config_trace(h, true, TPIU_PIN_PROTOCOL_SYNC, 1, &ok_freq, KEY), ERROR_FAIL);
    EXPECT_EQ(tarvex_config_trace(h, true, TPIU_PIN_PROTOCOL_ASYNC_MANCHESTER, 1, &ok_freq, KEY), ERROR_FAIL);
    EXPECT_EQ(state_field(MODERN, "trace"), "1") << "the running capture was not touched";
    EXPECT_EQ(state_field(MODERN, "trace_hz"), "2000000");

    // The source produces consecutive byte values; a read stays one byte
    // short of a full buffer.
    uint8_t buf[256];
    uint32_t got = 0;
    for (int i = 0; i < 500 && got < 255; i++) {
        got = sizeof(buf);
        ASSERT_EQ(tarvex_usb_trace_read(h, buf, &got, KEY), ERROR_OK);
        if (got < 255)
            usleep(2000);
    }
    ASSERT_EQ(got, 255u);
    for (uint32_t i = 1; i < got; i++)
        ASSERT_EQ(static_cast<uint8_t>(buf[i - 1] + 1), buf[i]) << i;
    uint32_t none = 0;
    EXPECT_EQ(tarvex_usb_trace_read(h, buf, &none, KEY), ERROR_OK);
    EXPECT_EQ(none, 0u);

    // A reset restarts the capture.
    ASSERT_EQ(control("clear 0"), "ok");
    ASSERT_EQ(tarvex_usb_reset_tap(h, KEY), ERROR_OK);
    EXPECT_EQ(commands(MODERN), (std::vector<std::string>{"f2 32", "f2 41", "f2 40"}));
    uint32_t ignored = 0;
    EXPECT_EQ(tarvex_config_trace(h, false, TPIU_PIN_PROTOCOL_SYNC, 1, &ignored, KEY), ERROR_OK);
    EXPECT_FALSE(h->trace.enabled);
    EXPECT_EQ(state_field(MODERN, "trace"), "0");
    got = sizeof(buf);
    EXPECT_EQ(tarvex_usb_trace_read(h, buf, &got, KEY), ERROR_OK);
    EXPECT_EQ(got, 0u) << "nothing to read once stopped";
}

TEST_F(Driver, TraceNeedsFirmwareThatHasIt)
{
    tarvex_usb_handle_s *old = open(OLD_FIRMWARE);
    ASSERT_NE(old, nullptr);
    uint32_t freq = 0;
    EXPECT_EQ(tarvex_config_trace(old, true, TPIU_PIN_PROTOCOL_ASYNC_UART, 1, &freq, KEY), ERROR_FAIL);
    uint8_t buf[64];
    uint32_t size = sizeof(buf);
    EXPECT_EQ(tarvex_usb_trace_read(old, buf, &size, KEY), ERROR_FAIL);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(tarvex_usb_trace_disable(old, KEY), ERROR_FAIL);
    EXPECT_EQ(blocks_seen(OLD_FIRMWARE), 0u) << "no transfer without trace firmware";
    // A probe that refuses the start is not reported as recording.
    tarvex_usb_handle_s *refusing = open(NO_TRACE);
    ASSERT_NE(refusing, nullptr);
    EXPECT_EQ(tarvex_config_trace(refusing, true, TPIU_PIN_PROTOCOL_ASYNC_UART, 1, &freq, KEY), ERROR_FAIL);
    EXPECT_FALSE(refusing->trace.enabled);
}

} // namespace

int main(int argc, char **argv)
{
    bool listing = false;
    for (int i = 1; i < argc; i++)
        listing = listing || strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    if (!listing) {
        std::vector<std::string> args = {"--fast"};
        for (const char *options : probe_options) {
            args.push_back("--probe");
            args.push_back(options);
        }
        tarvex_test::reexec_under_vprobe(argv, args);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
