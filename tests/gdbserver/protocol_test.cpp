// The front end's protocol layer without GDB: raw bytes over its port, the
// replies compared byte for byte, and the effects checked through the
// server's own requests from another client.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "armv7m_debug.h"
#include "elf_lookup.h"
#include "gdb_fixture.h"
#include "tarvex_text.h"

namespace
{

using namespace armv7m;
using gdb_test::framed;
using gdb_test::raw_gdb;

constexpr size_t PACKET_SIZE = 31 * 1024 + 32; // as qSupported announces it

struct exchange {
    const char *what;
    std::vector<std::string> pieces; // sent one receive apart
    std::string reply;
};

std::string ack(const std::string &body)
{
    return "+" + framed(body);
}

std::string over_long(bool good_checksum)
{
    std::string p = framed(std::string(PACKET_SIZE + 16, 'a'));
    if (!good_checksum)
        p[p.size() - 1] = p[p.size() - 1] == '0' ? '1' : '0';
    return p;
}

// Waits (hang guard only) until the probe's association count is n.
bool clients_become(gdb_test::probe_client &p, int n)
{
    for (int i = 0; i < 500; i++) {
        if (p.clients_on_probe() == n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class Protocol : public gdb_test::GdbServer
{
protected:
    // A connection in no-ack mode, as GDB leaves it after its start.
    void open_no_ack(raw_gdb &g)
    {
        ASSERT_EQ(g.open(gdb_port_), 0);
        g.send(framed("QStartNoAckMode"));
        ASSERT_EQ(g.receive(7), "+$OK#9a");
    }
    // One packet and the reply it must get.
    static void ask(raw_gdb &g, const std::string &packet, const std::string &reply)
    {
        g.send(framed(packet));
        EXPECT_EQ(g.receive(framed(reply).size()), framed(reply)) << packet;
    }
    // A new connection gets a session: its "?" is answered with a stop reply.
    void expect_a_new_session()
    {
        raw_gdb next;
        ASSERT_EQ(next.open(gdb_port_), 0);
        next.send(framed("?"));
        std::string got = next.receive(framed("T05thread:1;").size() + 1);
        EXPECT_EQ(got.find("$T0"), 1u) << got << front_end_log();
    }
    void run_table(raw_gdb &g, const std::vector<exchange> &table)
    {
        for (const exchange &e : table) {
            for (const std::string &piece : e.pieces) {
                g.send(piece);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_EQ(g.receive(e.reply.size()), e.reply) << e.what;
        }
    }
};

TEST_F(Protocol, RawPacketTable)
{
    raw_gdb g;
    ASSERT_EQ(g.open(gdb_port_), 0);
    // "}" "#" "$" "*" go escaped as "}" and the byte XOR 0x20.
    std::string x_packet = framed(std::string("X20000040,4:") + "}\x5d}\x03}\x04}\x0a");
    const std::vector<exchange> table = {
        {"garbage before $ is skipped", {"+xyz\x01", "$?#3f"}, "+$T05thread:1;#d7"},
        {"qSupported announces the packet size",
         {framed("qSupported:multiprocess+;swbreak+;hwbreak+")},
         ack("PacketSize=7c20;qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;vContSupported+")},
        {"a bad checksum gets -", {"$?#00"}, "-"},
        {"a packet split over receives", {"$vMustRe", "plyEm", "pty#3a"}, "+$#00"},
        {"unsupported packets get the empty reply", {framed("qOffsets")}, "+$#00"},
        {"binary escapes in X", {x_packet}, "+$OK#9a"},
        {"the escaped bytes read back", {framed("m20000040,4")}, ack("7d23242a")},
        {"unaligned read across words", {framed("m20000041,6")}, ack("23242a000000")},
        {"a write into flash is refused", {framed("M100,4:01020304")}, ack("E0e")},
        {"an X into flash is refused", {framed("X0,1:a")}, ack("E0e")},
        {"a malformed read", {framed("mzz")}, ack("E16")},
        {"a register past fpscr", {framed("p28")}, ack("E16")},
        {"d0 of an FPU not turned on yet", {framed("p17")}, ack("xxxxxxxxxxxxxxxx")},
        {"an over-long packet is refused", {over_long(true)}, ack("E07")},
        {"an over-long packet with a bad checksum", {over_long(false)}, "-"},
        {"the target description's first bytes",
         {framed("qXfer:features:read:target.xml:0,15")},
         ack("m<?xml version=\"1.0\"?>")},
        {"no other annex", {framed("qXfer:features:read:other.xml:0,15")}, ack("E00")},
        {"the single thread",
         {framed("qfThreadInfo"), framed("qsThreadInfo"), framed("qC")},
         ack("m1") + ack("l") + ack("QC1")},
        {"attached to a running system", {framed("qAttached")}, ack("1")},
        {"resume actions", {framed("vCont?")}, ack("vCont;c;C;s;S;t")},
        {"Ctrl-C while halted is ignored", {"\x03" + framed("?")}, ack("T05thread:1;")},
        {"a nak sends the last packet again", {"-"}, framed("T05thread:1;")},
        {"no-ack mode starts after its OK", {framed("QStartNoAckMode")}, ack("OK")},
        {"no acknowledgement in no-ack mode", {"+" + framed("?")}, framed("T05thread:1;")},
        {"a bad checksum is dropped silently", {"$?#00" + framed("vMustReplyEmpty")}, framed("")},
        {"a monitor command", {framed("qRcmd,73706565642031383030")}, framed("53574420636c6f636b2031383030206b487a0a")},
        {"detach", {framed("D")}, framed("OK")},
    };
    run_table(g, table);
    EXPECT_TRUE(g.conn.wait_closed(10000)) << "the session ends after a detach";
    EXPECT_NE(front_end_log().find("refused a packet from GDB longer than"), std::string::npos) << front_end_log();
}

TEST_F(Protocol, RegistersAndMemoryMatchTheServer)
{
    probe_.set_debug_reg(DHCSR, DHCSR_HALT);
    for (unsigned n = 0; n <= 12; n++)
        probe_.set_core_reg(n, 0x11110000u * (n + 1) + n);
    probe_.set_core_reg(REGSEL_SPECIAL, 0x02018001); // CONTROL 2, FAULTMASK 1, BASEPRI 80, PRIMASK 1
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    g.send(framed("g"));
    // The core registers, then d0-d15 and fpscr: the FPU is there, but the
    // sample firmware (soft-float) leaves it off, so they have no value.
    const size_t fp_chars = 16 * 16 + 8;
    std::string reply = g.receive(4 + 23 * 8 + fp_chars);
    ASSERT_EQ(reply.size(), 4u + 23 * 8 + fp_chars) << reply;
    EXPECT_EQ(reply.substr(1 + 23 * 8, fp_chars), std::string(fp_chars, 'x'));
    // r0-r12, sp, lr, pc, xpsr, msp, psp, then the bytes of selector 20 from
    // PRIMASK up.
    uint32_t special = probe_.core_reg(REGSEL_SPECIAL);
    for (unsigned n = 0; n < 23; n++) {
        uint32_t v = n <= REGSEL_PSP ? probe_.core_reg(n) : (special >> (8 * (n - 19))) & 0xFF;
        char le[9];
        snprintf(le, sizeof(le), "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
        EXPECT_EQ(reply.substr(1 + 8 * n, 8), le) << "register " << n;
    }
    // P writes one register, G all of them, in the g packet's order.
    ask(g, "P3=efbeadde", "OK");
    EXPECT_EQ(probe_.core_reg(3), 0xdeadbeefu);
    ask(g, "P14=40000000", "OK"); // basepri
    EXPECT_EQ(probe_.core_reg(REGSEL_SPECIAL), 0x02014001u) << "the other fields kept";
    std::string all = reply.substr(1, 23 * 8 + fp_chars);
    all.replace(8 * 5, 8, "78563412");
    ask(g, "G" + all, "OK");
    EXPECT_EQ(probe_.core_reg(5), 0x12345678u);
    EXPECT_EQ(probe_.core_reg(3), 0x44440003u) << "G wrote the old value back";
    EXPECT_EQ(probe_.core_reg(REGSEL_SPECIAL), 0x02018001u);
    // A large binary write, then the same bytes through the server.
    std::string data;
    for (int i = 0; i < 4096; i++)
        data.push_back(static_cast<char>((i * 7 + 3) & 0xFF));
    std::string escaped;
    for (char c : data) {
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            escaped.push_back('}');
            c ^= 0x20;
        }
        escaped.push_back(c);
    }
    ask(g, "X20000103,1000:" + escaped, "OK");
    std::vector<uint8_t> back = probe_.memory(0x20000103, 4096);
    EXPECT_EQ(std::string(back.begin(), back.end()), data);
}

TEST_F(Protocol, BreakpointsAndWatchpointsOnTheDebugUnits)
{
    // What the target has: NUM_CODE of FP_CTRL, NUMCOMP of DWT_CTRL.
    uint32_t fp_ctrl = probe_.debug_reg(FP_CTRL);
    unsigned code = ((fp_ctrl >> 8) & 0x70) | ((fp_ctrl >> 4) & 0xF);
    unsigned data_comparators = probe_.debug_reg(DWT_CTRL) >> 28;
    ASSERT_GE(code, 2u);
    ASSERT_GE(data_comparators, 1u);

    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    ask(g, "Z1,200,2", "OK");
    ask(g, "Z1,202,2", "OK");
    ask(g, "Z1,202,2", "OK"); // inserting again changes nothing
    // The comparator values of both revisions are the target layer's unit
    // tests; here, that the packets reach the unit.
    EXPECT_NE(probe_.debug_reg(FP_COMP0), 0u);
    EXPECT_EQ(probe_.debug_reg(FP_CTRL) & 1, 1u) << "FPB enabled";
    ask(g, "z1,200,2", "OK");
    ask(g, "z1,202,2", "OK");
    EXPECT_EQ(probe_.debug_reg(FP_COMP0), 0u);
    EXPECT_EQ(probe_.debug_reg(FP_COMP0 + 4), 0u);
    // Every comparator taken, then one more: a clear error.
    for (unsigned n = 0; n < code; n++)
        ask(g, "Z1," + std::to_string(400 + 8 * n) + ",2", "OK");
    ask(g, "Z1,1000,2", "E1c");
    for (unsigned n = 0; n < code; n++)
        ask(g, "z1," + std::to_string(400 + 8 * n) + ",2", "OK");

    // A software breakpoint in RAM is a BKPT the server sees, GDB does not.
    probe_.set_debug_reg(DHCSR, DHCSR_HALT);
    ask(g, "M20000300,4:11223344", "OK");
    ask(g, "Z0,20000302,2", "OK");
    std::vector<uint8_t> planted = probe_.memory(0x20000300, 4);
    EXPECT_EQ(planted, (std::vector<uint8_t>{0x11, 0x22, 0x00, 0xBE}));
    ask(g, "m20000300,4", "11223344");
    ask(g, "M20000303,1:55", "OK"); // GDB writes under the BKPT: kept as the original
    ask(g, "z0,20000302,2", "OK");
    EXPECT_EQ(probe_.memory(0x20000300, 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x55}));

    // A write watchpoint on a word, with TRCENA on so the DWT answers.
    ask(g, "Z2,20000010,4", "OK");
    EXPECT_EQ(probe_.debug_reg(DWT_FUNCTION0) & 0xF, DWT_WATCH_WRITE);
    EXPECT_NE(probe_.debug_reg(DEMCR) & DEMCR_TRCENA, 0u);
    // 30 bytes from an odd address take eight exact blocks: refused, not
    // widened to a block that would also match its neighbours.
    ask(g, "Z2,20000101,1e", "E1c");
    for (unsigned n = 1; n < data_comparators; n++)
        ask(g, "Z4,2000" + std::to_string(1000 + n * 10) + ",4", "OK"); // word aligned: one comparator each
    ask(g, "Z3,20002000,4", "E1c");
    // Detach takes everything out, the BKPT included.
    ask(g, "Z0,20000300,2", "OK");
    ask(g, "D", "OK");
    EXPECT_TRUE(g.conn.wait_closed(10000));
    EXPECT_EQ(probe_.debug_reg(DWT_FUNCTION0) & 0xF, 0u);
    EXPECT_EQ(probe_.memory(0x20000300, 2), (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_FALSE(probe_.halted()) << "detach lets the core run";
}

// The sample firmware runs: "continue" leaves the core running.
class ProtocolOnFirmware : public Protocol
{
protected:
    ProtocolOnFirmware() { vprobe_args_ = {"--fast", "--probe", std::string("firmware=") + SAMPLE_ELF}; }
};

std::string hex_of(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof(text), "%x", v);
    return text;
}

// The stop replies of a running firmware, packet by packet: each signal and
// the watched address, and the PC where each stop left the core.
TEST_F(ProtocolOnFirmware, StopRepliesCarryTheSignal)
{
    uint32_t tick = tarvex_test::elf_symbol_of(SAMPLE_ELF, "sample_tick").address;
    uint32_t counter = tarvex_test::elf_symbol_of(SAMPLE_ELF, "sample_counter").address;
    ASSERT_NE(tick, 0u);
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    std::string pc_of_tick; // as p answers: target byte order
    for (int i = 0; i < 4; i++)
        pc_of_tick += hex_of(((tick >> (8 * i)) & 0xFF) | 0x100).substr(1);
    ask(g, "Z1," + hex_of(tick) + ",2", "OK");
    ask(g, "vCont;c", "T05thread:1;"); // the breakpoint
    ask(g, "pf", pc_of_tick);
    ask(g, "z1," + hex_of(tick) + ",2", "OK");
    ask(g, "vCont;s:1", "T05thread:1;"); // one step
    ask(g, "Z2," + hex_of(counter) + ",4", "OK");
    ask(g, "c", "T05watch:" + hex_of(counter) + ";thread:1;"); // the next store to the counter
    ask(g, "z2," + hex_of(counter) + ",4", "OK");
    g.send(framed("c"));
    // GDB's interrupt while the core runs.
    for (int i = 0; i < 500 && probe_.halted(); i++) // hang guard only
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g.send("\x03");
    EXPECT_EQ(g.receive(framed("T02thread:1;").size()), framed("T02thread:1;"));
    ask(g, "?", "T02thread:1;");
    // k ends the session without a reply; the other client keeps the probe
    // in debug mode.
    g.send(framed("k"));
    EXPECT_TRUE(g.conn.wait_closed(10000));
    EXPECT_TRUE(clients_become(probe_, 1));
    int result = -1;
    std::vector<std::string> mode;
    ASSERT_EQ(tarvex::assoc_request(probe_.conn, "tarvex-usb-current-mode", probe_.assoc, "", &result, &mode), 0);
    EXPECT_EQ(mode.size() > 2 ? mode[2] : "", "2") << "debug mode";
}

// Flash contents are kept while GDB holds the core and steps it, and read
// again once the core ran freely, was reset or GDB stored anything (a store
// may program flash through its controller): the launcher writes flash
// behind the front end's back to tell a kept word from one read anew.
TEST_F(ProtocolOnFirmware, FlashIsKeptWhileSteppingAndReadAgainAfterARunResetOrStore)
{
    const uint32_t addr = 0x3FF00; // erased flash, past the firmware
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    ask(g, "!", "OK");
    ask(g, "m3ff00,4", "ffffffff");
    const struct {
        const char *poke;
        std::vector<std::string> between; // packets, each answered with its stop reply (M: OK)
        const char *seen;
    } cases[] = {
        {"11223344", {}, "ffffffff"},
        {nullptr, {"vCont;s:1", "s"}, "ffffffff"},
        {nullptr, {"vCont;c", "\x03"}, "11223344"},
        {"55667788", {"vCont;s:1"}, "11223344"},
        {nullptr, {"vRun;"}, "55667788"},
        {"99aabbcc", {"M20000000,4:00000000"}, "99aabbcc"}, // a store may reach a flash controller
    };
    for (const auto &c : cases) {
        if (c.poke != nullptr) {
            ASSERT_EQ(server_.control("poke 0 " + hex_of(addr) + " " + c.poke), "ok");
        }
        for (const std::string &packet : c.between) {
            if (packet == "\x03") {
                for (int i = 0; i < 500 && probe_.halted(); i++) // hang guard only
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                g.send(packet);
                EXPECT_EQ(g.receive(framed("T02thread:1;").size()), framed("T02thread:1;"));
            } else if (packet == "vCont;c") {
                g.send(framed(packet));
            } else if (packet[0] == 'M') {
                ask(g, packet, "OK");
            } else {
                ask(g, packet, "T05thread:1;");
            }
        }
        ask(g, "m3ff00,4", c.seen);
    }
}

TEST_F(ProtocolOnFirmware, VanishingGdbReleasesTheProbe)
{
    const std::vector<std::string> last_words = {
        "$m2000",          // mid-packet
        framed("vCont;c"), // mid-run
        "+" + framed("?"), // between packets
    };
    for (const std::string &words : last_words) {
        raw_gdb g;
        ASSERT_EQ(g.open(gdb_port_), 0);
        g.send(framed("?"));
        ASSERT_EQ(g.receive(ack("T05thread:1;").size()), ack("T05thread:1;")) << words; // the session is open
        g.send("+" + words);
        bool resumed = words.find("vCont") != std::string::npos;
        for (int i = 0; i < 500 && resumed && probe_.halted(); i++) // hang guard only
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(probe_.halted(), !resumed) << words;
        g.conn.close();
        EXPECT_TRUE(clients_become(probe_, 1)) << "the front end kept its association after " << words;
    }
    expect_a_new_session();
}

// A refused connection: its first packet is answered with the reason as an
// error text, then the front end closes it. What came before the close.
std::string refusal(raw_gdb &g)
{
    g.send(framed("qSupported:multiprocess+;swbreak+"));
    std::string got = g.receive(4096); // up to the close (hang guard)
    EXPECT_TRUE(g.conn.wait_closed(10000)) << got;
    return got;
}

TEST_F(Protocol, SecondConnectionIsToldWhyAndTheFirstKeepsWorking)
{
    raw_gdb first;
    ASSERT_EQ(first.open(gdb_port_), 0);
    first.send(framed("?"));
    ASSERT_EQ(first.receive(ack("T05thread:1;").size()), ack("T05thread:1;"));
    raw_gdb second;
    ASSERT_EQ(second.open(gdb_port_), 0);
    EXPECT_EQ(refusal(second), ack("E.tarvex-gdbserver: probe 7E5756500000000000000001 already has a GDB connection"));
    first.send(framed("m20000000,4"));
    EXPECT_EQ(first.receive(13).substr(0, 2), "+$");
    EXPECT_NE(front_end_log().find("refused GDB from 127.0.0.1"), std::string::npos) << front_end_log();
}

// Packets sent without reading a reply until the front end takes no more
// of them: a GDB that stopped reading, its replies filling both sockets.
void stop_reading(raw_gdb &g)
{
    std::string burst;
    for (int i = 0; i < 64; i++)
        burst += framed("m20000000,3e00"); // 31 KiB of reply each
    size_t at = 0;
    for (int i = 0; i < 1000000; i++) { // hang guard only
        ssize_t n = send(g.conn.fd(), burst.data() + at, burst.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        ASSERT_GT(n, 0) << strerror(errno);
        at = (at + static_cast<size_t>(n)) % burst.size();
    }
    FAIL() << "the front end kept reading";
}

// Whether the front end closed the connection within timeout_ms, seen
// without reading from it (a read would take the stalled replies).
bool closed_unread(raw_gdb &g, int timeout_ms)
{
    struct pollfd pfd = {g.conn.fd(), POLLRDHUP, 0};
    return poll(&pfd, 1, timeout_ms) == 1 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// A GDB that stops reading holds up only its own session: the front end
// still answers others at once, tells a GDB that closed from one that
// stalled, and drops the stalled one after --send-timeout.
TEST_F(Protocol, GdbThatStopsReadingHoldsUpOnlyItself)
{
    raw_gdb stalled;
    ASSERT_EQ(stalled.open(gdb_port_), 0);
    ASSERT_NO_FATAL_FAILURE(stop_reading(stalled));
    raw_gdb other;
    ASSERT_EQ(other.open(gdb_port_), 0);
    other.send(framed("qSupported"));
    EXPECT_EQ(other.receive(3, 5000), "+$E") << "refused at once while the first is stalled";
    stalled.conn.close();
    ASSERT_TRUE(clients_become(probe_, 1)) << front_end_log();
    // The session lets its association go before the loop logs its end.
    EXPECT_TRUE(front_end_.wait_stderr("ended: GDB closed the connection", 5000)) << front_end_log();
    expect_a_new_session();

    tarvex_test::server_process short_wait;
    uint16_t port = start_front_end(short_wait, {"--send-timeout", "1"});
    ASSERT_NE(port, 0);
    ASSERT_EQ(stalled.open(port), 0);
    ASSERT_NO_FATAL_FAILURE(stop_reading(stalled));
    EXPECT_TRUE(closed_unread(stalled, 20000));
    std::string log = short_wait.stderr_text();
    EXPECT_NE(log.find("GDB stopped reading: "), std::string::npos) << log;
    EXPECT_NE(log.find("ended: GDB stopped reading its replies"), std::string::npos) << log;
    EXPECT_EQ(log.find("GDB closed the connection"), std::string::npos) << log;
    EXPECT_TRUE(clients_become(probe_, 1)) << "the stalled session kept its association";
}

struct failing_packet {
    const char *what;
    const char *fault; // the virtual probe's fault for the next command, or null
    std::string packet;
};

// A target access that fails reaches GDB as an error reply, never as data
// or as OK.
TEST_F(Protocol, FailedAccessesAnswerErrors)
{
    const failing_packet cases[] = {
        {"a read where nothing answers", nullptr, "m40000000,4"},
        {"a hex write there", nullptr, "M40000000,4:01020304"},
        {"a binary write there", nullptr, "X40000000,4:abcd"},
        {"a read the probe faults", "fault 0 fault 1", "m20000000,4"},
        {"a write the probe faults", "fault 0 fault 1", "M20000000,2:0102"},
        // The register file, then the single read it falls back to.
        {"the register file", "fault 0 fault 2", "g"},
        {"one register", "fault 0 fault 2", "p0"},
        {"a register write", "fault 0 fault 1", "P1=01000000"},
        {"all registers written", "fault 0 fault 1", "G" + std::string(23 * 8, '0') + std::string(16 * 16 + 8, 'x')},
    };
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    for (const failing_packet &c : cases) {
        if (c.fault != nullptr) {
            ASSERT_EQ(server_.control(c.fault), "ok") << c.what;
        }
        SCOPED_TRACE(c.what);
        ask(g, c.packet, "E05");
        server_.control("clear 0");
    }
    ask(g, "m20000000,2", "0000"); // the session goes on
}

// A register file the probe answers with a wait status (the register-file
// command is not retried) is read register by register, whose reads are:
// GDB gets the registers, not an error.
TEST_F(Protocol, ARegisterFileTheProbeMadeWaitIsReadRegisterByRegister)
{
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    auto le_hex = [](uint32_t v) {
        char text[16];
        snprintf(text, sizeof(text), "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
        return std::string(text);
    };
    std::string expected;
    for (unsigned sel = 0; sel <= REGSEL_PSP; sel++)
        expected += le_hex(probe_.core_reg(sel));
    uint32_t packed = probe_.core_reg(REGSEL_SPECIAL);
    for (unsigned shift = 0; shift < 32; shift += 8)
        expected += le_hex((packed >> shift) & 0xFF);
    expected += std::string(16 * 16 + 8, 'x'); // the FPU off: d0-d15 and fpscr without a value
    // The probe's first register file opens its access point first: done
    // by the other client, so that the wait falls on the register file.
    int result = -1;
    bool have = false;
    std::array<uint32_t, tarvex::REGISTER_FILE.size()> words{};
    ASSERT_EQ(tarvex::read_register_file(probe_.conn, probe_.assoc, &result, &words, &have), 0);
    ASSERT_TRUE(have);
    ASSERT_EQ(server_.control("fault 0 wait 1 10"), "ok");
    long before = atol(server_.control("count 0").substr(3).c_str());
    ask(g, "g", expected);
    long after = atol(server_.control("count 0").substr(3).c_str());
    EXPECT_EQ(after - before, 22) << "the register file, then its 20 selectors one by one, and CPACR";
}

// The witness of a session is the server's: a front end that names the
// server "localhost" is seen by one that names it 127.0.0.1, and a holder
// killed outright leaves nothing behind that refuses the next session.
TEST_F(Protocol, OneSessionPerProbeHoweverTheServerIsNamedUntilItsHolderEnds)
{
    tarvex_test::server_process other;
    uint16_t other_port = start_front_end(other, {"--host", "localhost"});
    ASSERT_NE(other_port, 0);
    raw_gdb held;
    ASSERT_EQ(held.open(other_port), 0);
    held.send(framed("?"));
    ASSERT_EQ(held.receive(ack("T05thread:1;").size()), ack("T05thread:1;")) << other.stderr_text();
    raw_gdb refused;
    ASSERT_EQ(refused.open(gdb_port_), 0);
    EXPECT_NE(refusal(refused).find("already has a GDB connection through another tarvex-gdbserver"),
              std::string::npos);
    EXPECT_NE(front_end_log().find("already has a GDB connection through another tarvex-gdbserver"), std::string::npos)
        << front_end_log();

    other.send_signal(SIGKILL);
    other.wait_exit(20000);
    ASSERT_TRUE(clients_become(probe_, 1)) << "the killed front end's association outlived it";
    expect_a_new_session();
}

// A front end killed outright leaves its BKPTs in RAM. The next session on
// the probe takes out each whose neighbourhood is as it was left (two side
// by side included), and leaves the one whose neighbourhood another client
// changed meanwhile: its saved halfword may belong to code no longer there.
TEST_F(Protocol, BkptsOfAKilledFrontEndTakenOutWhereTheRamIsAsItWasLeft)
{
    std::string code;
    for (int i = 0; i < 64; i++)
        code.push_back(static_cast<char>(i * 3 + 1));
    tarvex_test::server_process killed;
    uint16_t port = start_front_end(killed);
    ASSERT_NE(port, 0);
    raw_gdb g;
    ASSERT_EQ(g.open(port), 0);
    g.send(framed("QStartNoAckMode"));
    ASSERT_EQ(g.receive(7), "+$OK#9a");
    ask(g, "M20000100,40:" + gdb_test::hex_text(code), "OK");
    for (const char *at : {"20000104", "20000106", "20000124"})
        ask(g, std::string("Z0,") + at + ",2", "OK");
    // GDB takes a BKPT out and puts it back, as at each stop and resume,
    // writing beside it in between; and writes over another in place
    // (which makes what it wrote the instruction under that BKPT).
    ask(g, "z0,20000104,2", "OK");
    ask(g, "M20000108,2:abcd", "OK");
    ask(g, "Z0,20000104,2", "OK");
    ask(g, "M20000106,2:1234", "OK");
    code.replace(8, 2, "\xab\xcd");
    code.replace(6, 2, "\x12\x34");
    const std::vector<uint8_t> bkpt = {0x00, 0xbe};
    ASSERT_EQ(probe_.memory(0x20000124, 2), bkpt);
    ASSERT_EQ(server_.control("poke 0 2000012a 5a5a"), "ok"); // another client, near the third
    killed.send_signal(SIGKILL);
    killed.wait_exit(20000);
    ASSERT_TRUE(clients_become(probe_, 1));
    ASSERT_EQ(probe_.memory(0x20000104, 4), (std::vector<uint8_t>{0x00, 0xbe, 0x00, 0xbe})) << "left in RAM";

    expect_a_new_session();
    auto original = [&](uint32_t addr) {
        return std::vector<uint8_t>(code.begin() + (addr - 0x20000100), code.begin() + (addr - 0x20000100) + 2);
    };
    EXPECT_EQ(probe_.memory(0x20000104, 2), original(0x20000104));
    EXPECT_EQ(probe_.memory(0x20000106, 2), original(0x20000106));
    EXPECT_EQ(probe_.memory(0x20000124, 2), bkpt) << "left where the RAM around it changed";
    std::string log = front_end_log();
    EXPECT_NE(log.find("took out 2 BKPT instructions an earlier session left in RAM"), std::string::npos) << log;
    EXPECT_NE(log.find("left a BKPT of an earlier session at 0x20000124 in place"), std::string::npos) << log;
    EXPECT_NE(access((state_dir() + "/tarvex-gdbserver/7E5756500000000000000001.bkpt").c_str(), F_OK), 0)
        << "the record is gone once dealt with";
}

// Extended mode: kill keeps the session, run resets and stops at the reset
// vector, attach halts where the core is; each leaves a session the next
// packet can use.
TEST_F(ProtocolOnFirmware, ExtendedModeKillRunAndAttachKeepTheSession)
{
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    ask(g, "!", "OK");
    g.send(framed("vCont;c"));
    for (int i = 0; i < 500 && probe_.halted(); i++) // hang guard only
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ask(g, "vKill;1", "OK");
    EXPECT_TRUE(probe_.halted()) << "killed: halted where it was";
    ask(g, "vRun;", "T05thread:1;");
    EXPECT_TRUE(probe_.halted());
    uint32_t reset_pc = probe_.core_reg(REGSEL_PC);
    EXPECT_EQ(reset_pc, tarvex_test::elf_symbol_of(SAMPLE_ELF, "reset_handler").address & ~1u);
    g.send(framed("vCont;c"));
    for (int i = 0; i < 500 && probe_.halted(); i++) // hang guard only
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ask(g, "vAttach;1", "T02thread:1;");
    EXPECT_TRUE(probe_.halted());
    ask(g, "?", "T02thread:1;");
    ask(g, "p28", "E16"); // and the session answers as before
}

// Monitor commands that cannot run say why, as their output: a missing
// value gets the usage, an unknown command its text and the help.
TEST_F(Protocol, MonitorMistakesAreAnsweredAsSuch)
{
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    ask(g, "qRcmd," + gdb_test::hex_text("speed"),
        gdb_test::hex_text("usage: monitor speed KHZ (the SWD clock in kHz)\n"));
    g.send(framed("qRcmd," + gdb_test::hex_text("bogus")));
    std::string got;
    for (int i = 0; i < 4000 && got.find('#') == std::string::npos; i++) // hang guard only
        got += g.receive(1, 20);
    got += g.receive(2, 1000);
    std::string text = gdb_test::hex_text("unknown monitor command \"bogus\"\nmonitor reset ");
    EXPECT_EQ(got.find("$" + text), 0u) << got << ": the text as the reply";
    EXPECT_EQ(got.find("E16"), std::string::npos) << got;
}

// What arrives until a stop reply is complete (hang guard only).
std::string until_stop(raw_gdb &g)
{
    std::string got;
    for (int i = 0; i < 500; i++) {
        size_t stop = got.find("$T");
        if (stop != std::string::npos && got.find('#', stop) != std::string::npos &&
            got.size() >= got.find('#', stop) + 3)
            break;
        got += g.receive(1, 20);
    }
    return got;
}

// An unplugged probe: the running session gets a console line and a stop
// (GDB no longer waits at "Continuing." for ever), then errors; once the
// probe is back the next session attaches without anyone asking the
// server to rescan.
TEST_F(ProtocolOnFirmware, UnpluggedProbeStopsTheSessionAndTheNextAttachFindsItAgain)
{
    raw_gdb g;
    ASSERT_NO_FATAL_FAILURE(open_no_ack(g));
    g.send(framed("vCont;c"));
    for (int i = 0; i < 500 && probe_.halted(); i++) // hang guard only
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    std::string got = until_stop(g);
    std::string line = "does not answer (probe unplugged or target off?)";
    EXPECT_NE(got.find("$O"), std::string::npos) << got;
    EXPECT_NE(got.find(gdb_test::hex_text(line)), std::string::npos) << got;
    EXPECT_NE(got.find("$T0"), std::string::npos) << got;
    ask(g, "m20000000,4", "E05");
    ask(g, "D", "OK");
    EXPECT_TRUE(g.conn.wait_closed(10000)) << "detach ends the session";

    ASSERT_EQ(server_.control("plug 0"), "ok");
    expect_a_new_session();
    // The server finds the probe by itself; a front end that comes first asks it to rescan.
    EXPECT_TRUE(server_.stderr_text().find("plugged in again: found without a refresh") != std::string::npos ||
                front_end_log().find("asking the server to rescan the USB bus") != std::string::npos);
}

TEST_F(ProtocolOnFirmware, ServerGoingAwayEndsTheSession)
{
    raw_gdb g;
    ASSERT_EQ(g.open(gdb_port_), 0);
    g.send(framed("?"));
    ASSERT_EQ(g.receive(ack("T05thread:1;").size()), ack("T05thread:1;")); // the session is open
    g.send(framed("vCont;c"));
    for (int i = 0; i < 500 && probe_.halted(); i++) // hang guard only
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(probe_.halted()) << "the core runs";
    server_.send_signal(SIGTERM);
    EXPECT_TRUE(g.conn.wait_closed(20000)) << front_end_log();
    std::string log = front_end_log();
    size_t ended = log.find("GDB session on probe 7E5756500000000000000001 ended: tarvex-server");
    ASSERT_NE(ended, std::string::npos) << log;
    EXPECT_EQ(log.rfind("Error: ", ended), log.rfind("\n", ended) + 1) << "logged as an error";
}

} // namespace
