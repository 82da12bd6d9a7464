// The probe model on its own: command blocks in, reply bytes out, the
// simulated target behind them, the fault channel and the shared bus.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "probe_bus.h"
#include "probe_model.h"

using namespace vprobe;

namespace
{

constexpr size_t BUS_SIZE = 8u << 20;

class Model : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(bus_create_private(bus_, BUS_SIZE), 0);
        probe_config cfg;
        config_defaults(cfg);
        configure(cfg);
        ASSERT_EQ(bus_add_probe(bus_, cfg), 0);
        v_ = bus_view(bus_, 0);
    }
    void TearDown() override { bus_close(bus_); }
    virtual void configure(probe_config &) {}

    // Sends a block (byte list, zero padded to 16) plus optional data phase;
    // returns the whole reply.
    std::vector<uint8_t> run(std::vector<uint8_t> block, const std::vector<uint8_t> &data = {})
    {
        block.resize(CMD_SIZE);
        EXPECT_EQ(probe_bulk_out(v_, block.data(), CMD_SIZE, 0).kind, IO_DONE);
        if (!data.empty())
            probe_bulk_out(v_, data.data(), static_cast<uint32_t>(data.size()), 0);
        std::vector<uint8_t> reply(probe_reply_pending(v_));
        probe_reply_take(v_, reply.data(), static_cast<uint32_t>(reply.size()));
        return reply;
    }
    static std::vector<uint8_t> mem_block(uint8_t sub, uint32_t addr, uint16_t len, uint8_t ap = 0)
    {
        return {CMD_DEBUG,
                sub,
                static_cast<uint8_t>(addr),
                static_cast<uint8_t>(addr >> 8),
                static_cast<uint8_t>(addr >> 16),
                static_cast<uint8_t>(addr >> 24),
                static_cast<uint8_t>(len),
                static_cast<uint8_t>(len >> 8),
                ap};
    }
    uint8_t rw_status() { return run({CMD_DEBUG, 0x3B})[0]; }

    probe_bus bus_{};
    probe_view v_{};
};

TEST_F(Model, IdentityRepliesCarryTheConfiguredValues)
{
    // Version word: hardware 2 in bits 15..12, jtag 40 in 11..6, vemo 7 in 5..0.
    EXPECT_EQ(run({CMD_GET_VERSION}), (std::vector<uint8_t>{0x2A, 0x07, 0x57, 0x7E, 0x02, 0x7A}));
    EXPECT_EQ(run({CMD_GET_TARGET_VOLTAGE}), (std::vector<uint8_t>{0xDC, 0x05, 0, 0, 0x72, 0x06, 0, 0}));
    EXPECT_EQ(run({CMD_GET_CURRENT_MODE}), (std::vector<uint8_t>{MODE_DFU, 0}));
    EXPECT_TRUE(run({CMD_GET_VERSION_V3}).size() == 2 && run({CMD_GET_VERSION_V3})[0] == STATUS_CMD_ERROR)
        << "generation 2 does not know the generation-3 version command";
}

TEST_F(Model, UnknownBlocksAnswerTheCommandErrorAndAreCounted)
{
    for (uint8_t cmd : {0x00, 0x42, 0xFF})
        EXPECT_EQ(run({cmd}), (std::vector<uint8_t>{STATUS_CMD_ERROR, 0})) << int(cmd);
    EXPECT_EQ(run({CMD_DEBUG, 0x99}), (std::vector<uint8_t>{STATUS_CMD_ERROR, 0}));
    EXPECT_EQ(v_.rec->st.counters.unknown, 4u);
    EXPECT_EQ(v_.rec->st.counters.blocks, 4u);
    uint8_t last[CMD_SIZE];
    ASSERT_EQ(probe_history(v_, 0, last), 0);
    EXPECT_EQ(last[1], 0x99);
}

TEST_F(Model, MemoryWritesLandInRamAndReadBack)
{
    std::vector<uint8_t> data(64);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_TRUE(run(mem_block(0x08, 0x20000100, 64), data).empty());
    EXPECT_EQ(rw_status(), STATUS_OK);
    EXPECT_EQ(run(mem_block(0x07, 0x20000100, 64)), data);
    EXPECT_EQ(run(mem_block(0x0C, 0x20000105, 3)), std::vector<uint8_t>(data.begin() + 5, data.begin() + 8));
    // A one-byte read answers two bytes.
    EXPECT_EQ(run(mem_block(0x0C, 0x20000100, 1)).size(), 2u);
}

// An armed gate lets a write's data phase through (no reply, nothing to
// hold), then withholds the next reply whole until it opens.
TEST_F(Model, GateWithholdsTheNextReplyUntilItOpens)
{
    std::vector<uint8_t> data(64, 0x5a);
    v_.rec->st.gate = GATE_ARMED;
    EXPECT_TRUE(run(mem_block(0x08, 0x20000100, 64), data).empty());
    EXPECT_EQ(v_.rec->st.gate, GATE_ARMED);
    EXPECT_TRUE(run(mem_block(0x07, 0x20000100, 64)).empty()) << "the reply endpoint NAKs";
    EXPECT_EQ(v_.rec->st.gate, GATE_HOLDING);
    v_.rec->st.gate = GATE_OPEN;
    std::vector<uint8_t> reply(probe_reply_pending(v_));
    probe_reply_take(v_, reply.data(), static_cast<uint32_t>(reply.size()));
    EXPECT_EQ(reply, data);
}

TEST_F(Model, FlashIsReadOnlyAndOtherSpaceFaults)
{
    std::vector<uint8_t> vectors = run(mem_block(0x07, 0x00000000, 8));
    EXPECT_EQ(vectors, (std::vector<uint8_t>{0x00, 0x00, 0x02, 0x20, 0x01, 0x01, 0, 0}))
        << "initial stack at the top of RAM, reset handler in flash";
    run(mem_block(0x08, 0x00000080, 4), {1, 2, 3, 4}); // past the vector table
    EXPECT_EQ(rw_status(), STATUS_SWD_FAULT);
    EXPECT_EQ(run(mem_block(0x07, 0x00000080, 4)), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    run(mem_block(0x07, 0x60000000, 4));
    EXPECT_EQ(rw_status(), STATUS_SWD_FAULT);
    run(mem_block(0x07, 0x20000001, 4));
    EXPECT_EQ(rw_status(), STATUS_ALIGNMENT);
    run(mem_block(0x07, 0x20000000, 4, 4));
    EXPECT_EQ(rw_status(), STATUS_BAD_AP);
}

TEST_F(Model, DataPhaseMayArriveInPieces)
{
    std::vector<uint8_t> block = mem_block(0x08, 0x20000000, 8);
    block.resize(CMD_SIZE);
    probe_bulk_out(v_, block.data(), CMD_SIZE, 0);
    const uint8_t first[3] = {1, 2, 3}, rest[5] = {4, 5, 6, 7, 8};
    probe_bulk_out(v_, first, 3, 0);
    probe_bulk_out(v_, rest, 5, 0);
    EXPECT_EQ(run(mem_block(0x07, 0x20000000, 8)), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(v_.rec->st.counters.data_phases, 1u);
}

TEST_F(Model, InjectedFaultsCountDown)
{
    struct fault_case {
        int kind;
        std::vector<uint8_t> block;
        size_t reply_len; // with the fault armed
        uint8_t status;   // first reply byte, when reply_len > 0
    };
    const fault_case cases[] = {
        {FAULT_WAIT, {CMD_DEBUG, 0x49}, 2, STATUS_AP_WAIT},
        {FAULT_FAIL, {CMD_DEBUG, 0x49}, 2, STATUS_SWD_FAULT},
        {FAULT_SHORT, {CMD_GET_VERSION}, 5, 0x2A},
        {FAULT_TIMEOUT, {CMD_GET_VERSION}, 0, 0},
    };
    for (const fault_case &c : cases) {
        ASSERT_EQ(probe_set_fault(v_, c.kind, 2, 0), 0);
        for (int i = 0; i < 2; i++) {
            std::vector<uint8_t> reply = run(c.block);
            ASSERT_EQ(reply.size(), c.reply_len) << c.kind;
            if (c.reply_len > 0) {
                EXPECT_EQ(reply[0], c.status) << c.kind;
            }
        }
        std::vector<uint8_t> normal = run(c.block);
        EXPECT_TRUE(normal.size() == 2 ? normal[0] == STATUS_OK : normal.size() == 6) << "spent after two: " << c.kind;
    }
    EXPECT_EQ(probe_set_fault(v_, FAULT_KINDS, 1, 0), -1);
}

TEST_F(Model, GoneFaultDropsTheBlockBeforeTheProbeSeesIt)
{
    ASSERT_EQ(probe_set_fault(v_, FAULT_GONE, 1, 0), 0);
    uint8_t block[CMD_SIZE] = {CMD_GET_VERSION};
    EXPECT_EQ(probe_bulk_out(v_, block, CMD_SIZE, 0).kind, IO_NODEV);
    EXPECT_EQ(v_.rec->st.counters.blocks, 0u);
    EXPECT_EQ(probe_bulk_out(v_, block, CMD_SIZE, 0).kind, IO_DONE);
    EXPECT_EQ(probe_reply_pending(v_), 6u);
}

TEST_F(Model, DebugModeEntryAndExit)
{
    EXPECT_EQ(run({CMD_DEBUG, 0x30, 0xA3}), (std::vector<uint8_t>{STATUS_OK, 0}));
    EXPECT_EQ(run({CMD_GET_CURRENT_MODE})[0], MODE_DEBUG);
    EXPECT_EQ(v_.rec->st.transport, TRANSPORT_SWD);
    EXPECT_TRUE(run({CMD_DEBUG, 0x21}).empty());
    EXPECT_EQ(run({CMD_GET_CURRENT_MODE})[0], MODE_MASS);
    EXPECT_EQ(run({CMD_DEBUG, 0x30, 0x55})[0], STATUS_CMD_ERROR);
}

TEST_F(Model, ResetStatusShowsInTheFirstDhcsrReadOnly)
{
    // S_RESET_ST is bit 25: in the word's top byte, which the read that
    // clears it must still carry.
    const std::vector<uint8_t> read_dhcsr = {CMD_DEBUG, 0x36, 0xF0, 0xED, 0x00, 0xE0};
    EXPECT_EQ(run({CMD_DEBUG, 0x32})[0], STATUS_OK);
    std::vector<uint8_t> first = run(read_dhcsr), second = run(read_dhcsr);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(first[0], STATUS_OK);
    EXPECT_TRUE(first[7] & 0x02) << "S_RESET_ST after the reset";
    EXPECT_FALSE(second[7] & 0x02) << "and clear once read";
}

TEST_F(Model, HistoryKeepsTheLatestBlocks)
{
    for (uint32_t i = 0; i < HISTORY_DEPTH + 10; i++)
        run({CMD_GET_VERSION, static_cast<uint8_t>(i)});
    uint8_t block[CMD_SIZE];
    ASSERT_EQ(probe_history(v_, 0, block), 0);
    EXPECT_EQ(block[1], static_cast<uint8_t>(HISTORY_DEPTH + 9));
    ASSERT_EQ(probe_history(v_, HISTORY_DEPTH - 1, block), 0);
    EXPECT_EQ(block[1], 10);
    EXPECT_EQ(probe_history(v_, HISTORY_DEPTH, block), -1);
    probe_clear(v_);
    EXPECT_EQ(probe_history(v_, 0, block), -1);
}

class Generation3 : public Model
{
    void configure(probe_config &cfg) override { config_set_generation(cfg, GEN_3); }
};

TEST_F(Generation3, VersionAndIdentity)
{
    std::vector<uint8_t> reply = run({CMD_GET_VERSION_V3});
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply[0], 3) << "hardware version";
    EXPECT_EQ(v_.rec->cfg.pid, TARVEX_V3_PID);
}

TEST(Bus, ProbesHaveTheirOwnTargetsAndAddresses)
{
    probe_bus bus{};
    ASSERT_EQ(bus_create_private(bus, BUS_SIZE), 0);
    probe_config cfg;
    config_defaults(cfg);
    ASSERT_EQ(bus_add_probe(bus, cfg), 0);
    ASSERT_EQ(bus_add_probe(bus, cfg), 1);
    probe_view a = bus_view(bus, 0), b = bus_view(bus, 1);
    const uint8_t word[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(target_poke(a, 0x20000000, word, 4), 0);
    uint8_t seen[4];
    ASSERT_EQ(target_peek(b, 0x20000000, seen, 4), 0);
    EXPECT_EQ(std::memcmp(seen, word, 4) == 0, false) << "probe 1 has RAM of its own";
    bus_set_plugged(bus, 0, true);
    bus_set_plugged(bus, 1, true);
    uint32_t first = bus.hdr->slots[0].devnum;
    EXPECT_EQ(bus_find_devnum(bus, first), 0);
    EXPECT_EQ(bus_find_devnum(bus, bus.hdr->slots[1].devnum), 1);
    bus_set_plugged(bus, 0, false);
    EXPECT_EQ(bus_find_devnum(bus, first), -1);
    bus_set_plugged(bus, 0, true);
    EXPECT_NE(bus.hdr->slots[0].devnum, first) << "a re-plugged probe gets a new address";
    bus_close(bus);
}

TEST(Bus, RefusesProbesPastItsMemory)
{
    probe_bus bus{};
    EXPECT_EQ(bus_create_private(bus, sizeof(bus_header) / 2), -EINVAL) << "smaller than its own header";
    ASSERT_EQ(bus_create_private(bus, 4u << 20), 0);
    probe_config cfg;
    config_defaults(cfg);
    cfg.ram_size = 4u << 20;
    EXPECT_EQ(bus_add_probe(bus, cfg), -1);
    EXPECT_EQ(bus.hdr->probe_count, 0u);
    bus_close(bus);
}

} // namespace
