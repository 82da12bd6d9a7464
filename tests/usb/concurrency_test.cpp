// No client holds up another: probe work runs on a worker per probe while the
// loop keeps serving everyone else, a refresh waits for the work in flight,
// and clients that go, close or end the server mid-operation leave nothing
// behind. The virtual probe's gate keeps an operation in flight: the probe
// withholds a reply until the test opens the gate (the server gives up on a
// reply after 2 s, so a case opens it soon). The cases assert the order in
// which replies arrive, the bytes and the counts, never durations. Cases
// whose outcome hangs on the transport (threads on libusb, a device going,
// the end with a transfer pending) run on both; the loop's own order on the
// fast one only.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

constexpr uint32_t RAM = 0x20000000;
constexpr uint32_t LONG_READ = 16 * 1024;

std::string read_line_request(uint32_t assoc, uint32_t addr, uint32_t size, uint32_t count)
{
    char line[128];
    snprintf(line, sizeof(line), "tarvex-tcp-read-mem %u %x %x %x 0\n", assoc, addr, size, count);
    return line;
}

std::vector<uint8_t> pattern(size_t len, uint8_t seed)
{
    std::vector<uint8_t> bytes(len);
    for (size_t i = 0; i < len; i++)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

std::string hex_of(const std::vector<uint8_t> &bytes, size_t from, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = from; i < from + len; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

class Concurrency : public UsbServer
{
protected:
    // A client with its own association on probe `index`, in debug mode.
    struct session {
        tarvex::connection c;
        uint32_t assoc = 0;
    };
    session open_session(int index, bool enter_debug = true)
    {
        session s;
        s.c = server_.connect();
        EXPECT_EQ(tarvex::open_device(s.c, key_of(default_serial(index)), &s.assoc), 0);
        EXPECT_NE(s.assoc, 0u);
        std::string reply;
        if (enter_debug) {
            EXPECT_EQ(s.c.text("tarvex-usb-init-mode " + std::to_string(s.assoc) + " 0 1\n", &reply, 30000), 0);
            EXPECT_EQ(reply, "1 0\n");
        }
        return s;
    }
    // Target RAM of probe `index` set to bytes through the control channel.
    void fill(int index, uint32_t addr, const std::vector<uint8_t> &bytes)
    {
        for (size_t at = 0; at < bytes.size(); at += 1024) {
            char head[64];
            snprintf(head, sizeof(head), "poke %d %x ", index, addr + static_cast<uint32_t>(at));
            size_t len = bytes.size() - at < 1024 ? bytes.size() - at : 1024;
            ASSERT_EQ(server_.control(head + hex_of(bytes, at, len)), "ok");
        }
    }
    std::string probe_memory(int index, uint32_t addr, size_t len)
    {
        char request[64];
        snprintf(request, sizeof(request), "mem %d %x %zu", index, addr, len);
        return server_.control(request);
    }
    // Reads a memory read's header and its data.
    void take_read(tarvex::connection &c, int *result, std::vector<uint8_t> *data)
    {
        std::string header;
        ASSERT_EQ(c.recv_line(&header, 120000), 0) << "the read's reply";
        std::vector<std::string> fields = tarvex::reply_fields(header);
        ASSERT_EQ(fields.size(), 3u) << header;
        *result = static_cast<int>(tarvex::reply_number(fields, 1, 10, 99));
        data->resize(static_cast<size_t>(tarvex::reply_number(fields, 2, 10, 0)));
        ASSERT_EQ(c.recv_exact(data->data(), data->size(), 120000), 0);
    }
    // Takes a memory read's reply on c, which must succeed with `expected`.
    void expect_read(tarvex::connection &c, const std::vector<uint8_t> &expected)
    {
        int result = -1;
        std::vector<uint8_t> data;
        take_read(c, &result, &data);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(data, expected);
    }
    // Sends `request` on c and waits until probe 0 holds its first reply:
    // the request was dispatched and stays in flight until open_gate().
    void send_and_hold(tarvex::connection &c, const std::string &request)
    {
        ASSERT_EQ(server_.control("gate 0 hold"), "ok armed");
        ASSERT_EQ(c.send_bytes(request.data(), request.size()), 0);
        std::string gate;
        for (int i = 0; i < 5000 && (gate = server_.control("gate 0")) == "ok armed"; i++)
            usleep(1000);
        ASSERT_EQ(gate, "ok holding");
    }
    void open_gate() { ASSERT_EQ(server_.control("gate 0 open"), "ok open"); }
    // The long read of probe 0's RAM, in flight when this returns.
    void start_long_read(session &s) { send_and_hold(s.c, read_line_request(s.assoc, RAM, 4, LONG_READ / 4)); }
    std::string ask(tarvex::connection &c, const std::string &request)
    {
        std::string reply;
        EXPECT_EQ(c.text(request, &reply, 120000), 0) << request;
        return reply;
    }
};

// A long read held on probe 0; meanwhile another client's requests on the
// second probe and requests that need no probe are all answered, and the
// long read's bytes are right.
TEST_P(Concurrency, ALongReadOnOneProbeHoldsUpNoOtherProbeNorClient)
{
    start({"--probes", "2"});
    std::vector<uint8_t> expected = pattern(LONG_READ, 0x31);
    fill(0, RAM, expected);
    session a = open_session(0);
    session b = open_session(1);
    tarvex::connection c = server_.connect();
    start_long_read(a);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(ask(b.c, "tarvex-usb-get-status " + std::to_string(b.assoc) + "\n").substr(0, 2), "1 ");
        std::vector<uint8_t> word;
        int result = -1;
        std::string word_request = read_line_request(b.assoc, RAM, 4, 1);
        ASSERT_EQ(b.c.send_bytes(word_request.data(), word_request.size()), 0);
        take_read(b.c, &result, &word);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(ask(c, "get-nb-tarvex\n"), "1 2\n");
        EXPECT_EQ(ask(c, "get-nb-tcp-client\n"), "1 4\n");
    }
    EXPECT_FALSE(a.c.readable()) << "the others were answered while the long read was still running";
    open_gate();
    expect_read(a.c, expected);
}

// The probe goes away in the middle of a long read: the read fails with the
// length it announced, the other probe is untouched, a refresh drops the
// gone one.
TEST_P(Concurrency, AProbeUnpluggedMidOperation)
{
    start({"--probes", "2"});
    session a = open_session(0);
    session b = open_session(1);
    start_long_read(a);
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    int result = 0;
    std::vector<uint8_t> data;
    take_read(a.c, &result, &data);
    EXPECT_EQ(result, -4);
    EXPECT_EQ(data.size(), LONG_READ);
    EXPECT_EQ(ask(b.c, "tarvex-usb-get-status " + std::to_string(b.assoc) + "\n").substr(0, 2), "1 ");
    EXPECT_EQ(ask(b.c, "usb-refresh\n"), "1 0\n");
    EXPECT_EQ(ask(b.c, "get-nb-tarvex\n"), "1 1\n");
    EXPECT_EQ(ask(b.c, "get-nb-usb-client " + std::to_string(key_of(default_serial(0))) + "\n"), "1 0\n");
}

// The ways the server ends keep their statuses with an operation in flight.
TEST_P(Concurrency, ExitWithAnOperationInFlight)
{
    start({"--probes", "1"});
    session a = open_session(0);
    tarvex::connection b = server_.connect();
    start_long_read(a);
    ASSERT_EQ(b.send_bytes("tarvex-exit\n", 12), 0);
    EXPECT_EQ(server_.wait_exit(30000), 0);
}

TEST_P(Concurrency, InterruptWithAnOperationInFlight)
{
    start({"--probes", "1"});
    session a = open_session(0);
    start_long_read(a);
    server_.send_signal(SIGINT);
    EXPECT_EQ(server_.wait_exit(30000), 2);
    EXPECT_NE(server_.stdout_text().find("Ctrl-C event"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Transports, Concurrency, ::testing::Values("umockdev", "fast"), transport_name);

// The loop's own order, the same on either transport.
class LoopOrder : public Concurrency
{
};

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// A memory write whose payload trickles in and four clients that never read
// their 8 MiB replies: another client is served while they are pending, the
// readers that never read are dropped, the trickled write is dropped at its
// deadline without writing anything, and the counts come back. The
// deadlines are shortened to 2 s.
TEST_P(LoopOrder, PendingClientsHoldUpNobody)
{
    server_.timing = "send_s=2,payload_ms=2000";
    start({"--probes", "1"});
    std::vector<uint8_t> marker = pattern(256, 0x19);
    fill(0, 0x20000200, marker);
    session trickler = open_session(0, false);
    std::string line = "tarvex-tcp-write-mem " + std::to_string(trickler.assoc) + " 20000200 1 100 0\n";
    ASSERT_EQ(trickler.c.send_bytes((line + "A").data(), line.size() + 1), 0);
    std::vector<tarvex::connection> hogs;
    for (int i = 0; i < 4; i++) {
        hogs.push_back(server_.connect());
        // No association: answered on the loop with 8 MiB of zeros nobody reads.
        std::string request = read_line_request(999, RAM, 4, 0x200000);
        ASSERT_EQ(hogs.back().send_bytes(request.data(), request.size()), 0);
    }
    session b = open_session(0, false);
    EXPECT_EQ(ask(b.c, "get-nb-tarvex\n"), "1 1\n");
    EXPECT_EQ(ask(b.c, "get-nb-tcp-client\n"), "1 7\n");
    EXPECT_EQ(ask(b.c, "tarvex-usb-get-status " + std::to_string(b.assoc) + "\n").substr(0, 2), "1 ");
    ASSERT_EQ(trickler.c.send_bytes("B", 1), 0);
    EXPECT_EQ(ask(b.c, "get-version\n").substr(0, 14), "tarvex-server ");
    std::string log = server_.stderr_text();
    EXPECT_EQ(log.find("no data from socket"), std::string::npos) << "served before the trickler was dropped";
    EXPECT_EQ(log.find("client dropped"), std::string::npos) << "served before the readers were dropped";

    EXPECT_TRUE(server_.wait_stderr("tcp-write-mem : no data from socket", 60000));
    EXPECT_TRUE(trickler.c.wait_closed(30000));
    const std::string dropped = "made no progress for 2 s: client dropped";
    for (int i = 0; i < 3000 && occurrences(server_.stderr_text(), dropped) < 4; i++)
        usleep(10000);
    EXPECT_EQ(occurrences(server_.stderr_text(), dropped), 4u);
    EXPECT_EQ(probe_memory(0, 0x20000200, 256), "ok " + hex_of(marker, 0, 256)) << "nothing was written";
    EXPECT_EQ(ask(b.c, "get-nb-tcp-client\n"), "1 2\n");
    EXPECT_EQ(ask(b.c, "get-nb-usb-client " + std::to_string(key_of(default_serial(0))) + "\n"), "1 1\n");
}

// Two clients of one probe: a read sent while the other client's write is in
// flight is answered after it and sees the written bytes.
TEST_P(LoopOrder, OneProbeServesItsClientsInArrivalOrder)
{
    start({"--probes", "1"});
    session writer = open_session(0);
    session reader = open_session(0, false);
    for (uint8_t round = 1; round <= 3; round++) {
        std::vector<uint8_t> bytes = pattern(64, round);
        std::string line = "tarvex-tcp-write-mem " + std::to_string(writer.assoc) + " 20000100 1 40 0\n";
        // The write is held on the probe, so it was dispatched first.
        send_and_hold(writer.c, line + std::string(bytes.begin(), bytes.end()));
        std::string read = read_line_request(reader.assoc, 0x20000100, 1, 64);
        ASSERT_EQ(reader.c.send_bytes(read.data(), read.size()), 0);
        open_gate();
        int result = -1;
        std::vector<uint8_t> seen;
        take_read(reader.c, &result, &seen);
        EXPECT_EQ(seen, bytes) << "round " << int(round);
        std::string reply;
        ASSERT_EQ(writer.c.recv_line(&reply, 60000), 0);
        EXPECT_EQ(reply, "1 0\n");
    }
}

// A refresh waits for the probe work in flight, a request that arrives
// meanwhile waits behind it, and afterwards every session still works.
TEST_P(LoopOrder, RefreshWaitsForTheWorkInFlight)
{
    start({"--probes", "2"});
    std::vector<uint8_t> expected = pattern(LONG_READ, 0x52);
    fill(0, RAM, expected);
    session a = open_session(0);
    tarvex::connection b = server_.connect();
    tarvex::connection c = server_.connect();
    start_long_read(a);
    ASSERT_EQ(b.send_bytes("usb-refresh\n", 12), 0);
    ASSERT_EQ(c.send_bytes("get-nb-tarvex\n", 14), 0);
    EXPECT_FALSE(b.readable()) << "the refresh waits for the read";
    open_gate();
    std::string reply;
    ASSERT_EQ(b.recv_line(&reply, 60000), 0);
    EXPECT_EQ(reply, "1 0\n");
    EXPECT_TRUE(a.c.readable()) << "the read in flight ended before the refresh ran";
    ASSERT_EQ(c.recv_line(&reply, 60000), 0);
    EXPECT_EQ(reply, "1 2\n");
    expect_read(a.c, expected);
    std::string again = read_line_request(a.assoc, RAM, 4, 4);
    ASSERT_EQ(a.c.send_bytes(again.data(), again.size()), 0);
    int result = -1;
    std::vector<uint8_t> data;
    take_read(a.c, &result, &data);
    EXPECT_EQ(result, 0) << "the session survives the refresh";
    EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.begin() + 16), data);
}

// Input that arrives while a client's operation runs waits for its reply: a
// request sent early is answered after it, and a client that half-closes its
// end still gets the whole reply before the server closes.
TEST_P(LoopOrder, InputDuringAnOperationWaitsForItsReply)
{
    start({"--probes", "1"});
    std::vector<uint8_t> expected = pattern(LONG_READ, 0x5d);
    fill(0, RAM, expected);
    session a = open_session(0);
    tarvex::connection c = server_.connect();
    start_long_read(a);
    ASSERT_EQ(a.c.send_bytes("get-nb-tarvex\n", 14), 0);
    EXPECT_EQ(ask(c, "get-nb-tcp-client\n"), "1 3\n") << "the loop serves others meanwhile";
    open_gate();
    expect_read(a.c, expected);
    std::string reply;
    EXPECT_EQ(a.c.recv_line(&reply, 120000), 0);
    EXPECT_EQ(reply, "1 1\n") << "the early request, answered after the read";

    start_long_read(a);
    ASSERT_EQ(shutdown(a.c.fd(), SHUT_WR), 0);
    open_gate();
    expect_read(a.c, expected);
    EXPECT_TRUE(a.c.wait_closed(120000)) << "closed once the reply has gone";
    for (int i = 0; i < 500 && reply != "1 2\n"; i++, usleep(10000))
        reply = ask(c, "get-nb-tcp-client\n");
    EXPECT_EQ(reply, "1 2\n") << "the half-closed client has gone";
}

// A client that goes while its read runs: the read completes, then its
// association is released and, as the probe's last user, it takes the probe
// out of debug mode. Another probe's session is untouched.
TEST_P(LoopOrder, AClientThatGoesMidOperationIsReleasedAfterIt)
{
    start({"--probes", "2"});
    session b = open_session(1);
    uint32_t slow_key = key_of(default_serial(0));
    {
        session a = open_session(0);
        start_long_read(a);
    } // a's connection closes with its read in flight
    EXPECT_EQ(ask(b.c, "get-nb-usb-client " + std::to_string(slow_key) + "\n"), "1 1\n")
        << "released only after the read";
    open_gate();
    std::string reply;
    for (int i = 0; i < 3000 && reply != "1 0\n"; i++, usleep(10000))
        reply = ask(b.c, "get-nb-usb-client " + std::to_string(slow_key) + "\n");
    EXPECT_EQ(reply, "1 0\n");
    EXPECT_EQ(ask(b.c, "get-nb-tcp-client\n"), "1 2\n");
    EXPECT_EQ(server_.control("state 0").find("mode=2"), std::string::npos) << "the last user left debug mode";
    EXPECT_NE(server_.control("state 1").find("mode=2"), std::string::npos) << "the other probe's session stays";
    EXPECT_EQ(ask(b.c, "tarvex-usb-get-status " + std::to_string(b.assoc) + "\n").substr(0, 2), "1 ");
}

// Another client closes the association whose read is in flight: the close
// waits for the read, which completes with the right bytes.
TEST_P(LoopOrder, CloseFromAnotherClientWaitsForTheOperation)
{
    start({"--probes", "1"});
    std::vector<uint8_t> expected = pattern(LONG_READ, 0x77);
    fill(0, RAM, expected);
    session a = open_session(0);
    tarvex::connection b = server_.connect();
    start_long_read(a);
    std::string close = "close-device " + std::to_string(a.assoc) + "\n";
    ASSERT_EQ(b.send_bytes(close.data(), close.size()), 0);
    EXPECT_FALSE(b.readable()) << "the close waits for the read";
    open_gate();
    std::string reply;
    ASSERT_EQ(b.recv_line(&reply, 60000), 0);
    EXPECT_EQ(reply, "1\n");
    EXPECT_TRUE(a.c.readable()) << "the close was answered after the read";
    expect_read(a.c, expected);
    EXPECT_EQ(ask(b, "get-nb-usb-client " + std::to_string(key_of(default_serial(0))) + "\n"), "1 0\n");
}

// Auto-exit: the last client goes with its read in flight; the server ends
// with status 1 once the read has completed and the probe left debug mode.
TEST_P(LoopOrder, AutoExitAfterTheOperationInFlight)
{
    start({"--probes", "1"}, {"-d3", "-a"});
    {
        session a = open_session(0);
        // The fixture's client holds no association; with a's open it may go
        // without ending the server.
        client_.close();
        start_long_read(a);
    }
    open_gate();
    EXPECT_EQ(server_.wait_exit(120000), 1);
    EXPECT_NE(server_.stderr_text().find("E-MODE: 0x"), std::string::npos) << "the last user left debug mode";
}

INSTANTIATE_TEST_SUITE_P(Fast, LoopOrder, ::testing::Values("fast"), transport_name);

} // namespace
