// Holds: a client takes a probe for a multi-step job; other clients' requests
// on that probe wait in arrival order until the hold ends, whichever way it
// ends, while every other probe and the requests that need no probe are
// served as before. A request is known to wait when the holder query counts
// it; the cases assert replies, their order, bytes and the probe's command
// count, never durations. The hold logic is the loop's, the same on both
// transports, so the cases run on the fast one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

constexpr uint32_t RAM = 0x20000000;
// Slow enough that a read is still in flight when the next request comes.
const std::string SLOW_PROBE = "latency=20000";

// A byte-wise memory request line for `count` bytes at the start of RAM.
std::string mem_line(const char *keyword, uint32_t assoc, uint32_t count)
{
    return std::string(keyword) + " " + std::to_string(assoc) + " " + hex_key(RAM) + " 1 " + hex_key(count) + " 0\n";
}

class Hold : public UsbServer
{
protected:
    struct client {
        tarvex::connection c;
        uint32_t assoc = 0;
    };
    // A named client with an association on probe `index`.
    client join(const std::string &name, int index = 0)
    {
        client k;
        k.c = server_.connect();
        std::string reply;
        EXPECT_EQ(k.c.text("register-client " + name + "\n", &reply), 0);
        EXPECT_EQ(tarvex::open_device(k.c, key_of(default_serial(index)), &k.assoc), 0);
        EXPECT_NE(k.assoc, 0u);
        if (index == 0 && probe0_ == 0)
            probe0_ = k.assoc;
        return k;
    }
    int hold(client &k, int wait_ms = 0)
    {
        int result = 99;
        EXPECT_EQ(tarvex::hold_probe(k.c, k.assoc, wait_ms, &result), 0);
        return result;
    }
    int release(client &k)
    {
        int result = 99;
        EXPECT_EQ(tarvex::release_probe(k.c, k.assoc, &result), 0);
        return result;
    }
    // The hold on probe 0 (an association key names the probe), or on the
    // probe of another association.
    tarvex::probe_holder holder_of(uint32_t id = 0)
    {
        if (id == 0)
            id = probe0_;
        tarvex::probe_holder h;
        bool found = false;
        EXPECT_EQ(tarvex::probe_holder_of(client_, id, &h, &found), 0);
        EXPECT_TRUE(found);
        return h;
    }
    // Sends a request that must wait behind the hold on probe `position`,
    // and returns once the server counts it among the waiters.
    void send_waiting(tarvex::connection &c, const std::string &request)
    {
        int before = holder_of().waiters;
        ASSERT_EQ(c.send_bytes(request.data(), request.size()), 0);
        for (int i = 0; i < 5000 && holder_of().waiters == before; i++)
            usleep(1000);
        ASSERT_EQ(holder_of().waiters, before + 1) << request;
    }
    void send_waiting(tarvex::connection &c, const std::vector<uint8_t> &request)
    {
        send_waiting(c, std::string(request.begin(), request.end()));
    }
    std::string reply_line(tarvex::connection &c)
    {
        std::string line;
        EXPECT_EQ(c.recv_line(&line, 60000), 0);
        return line;
    }
    std::string ask(tarvex::connection &c, const std::string &request)
    {
        std::string reply;
        EXPECT_EQ(c.text(request, &reply, 60000), 0) << request;
        return reply;
    }
    std::string status_of(client &k) { return ask(k.c, "tarvex-usb-get-status " + std::to_string(k.assoc) + "\n"); }
    std::string blocks() { return server_.control("count 0"); }
    uint32_t probe0_ = 0; // the first association on probe 0
};

// The pass-through's read of the probe's version: 6 bytes after the status.
std::vector<uint8_t> version_passthrough(uint32_t assoc)
{
    uint8_t cmd[16] = {0xF1};
    return tarvex::request_send_usb_cmd(assoc, cmd, 1, 6);
}

TEST_P(Hold, OthersWaitInOrderWhileOtherProbesAndProbelessRequestsGoOn)
{
    start({"--probes", "2"});
    client a = join("alpha");
    client b1 = join("beta");
    client b2 = join("beta2");
    client other = join("gamma", 1);
    EXPECT_EQ(hold(a), 0);
    EXPECT_EQ(hold(a), 0) << "taking a hold one has changes nothing";
    tarvex::probe_holder h = holder_of();
    EXPECT_TRUE(h.held);
    EXPECT_EQ(h.name, "alpha");
    std::string before = blocks();
    send_waiting(b1.c, mem_line("tarvex-tcp-read-mem", b1.assoc, 16));
    send_waiting(b2.c, version_passthrough(b2.assoc));
    EXPECT_EQ(blocks(), before) << "nothing of the waiters reached the probe";
    EXPECT_EQ(status_of(other).substr(0, 2), "1 ") << "another probe is served";
    EXPECT_EQ(ask(client_, "get-nb-tarvex\n"), "1 2\n") << "a request without probe is served";
    EXPECT_EQ(status_of(a), "1 1\n") << "the holder is never made to wait";
    EXPECT_FALSE(b1.c.readable());
    EXPECT_FALSE(b2.c.readable());
    EXPECT_EQ(release(a), 0);
    EXPECT_EQ(release(a), -4) << "releasing what one does not hold";
    std::vector<uint8_t> reply(10);
    ASSERT_EQ(b2.c.recv_exact(reply.data(), reply.size(), 60000), 0);
    EXPECT_EQ(tarvex::get_u32(reply, 0), 1u);
    EXPECT_TRUE(b1.c.readable()) << "the read, first in the queue, was answered first";
    EXPECT_EQ(reply_line(b1.c), "1 0 16\n");
    EXPECT_FALSE(holder_of().held);
    EXPECT_NE(server_.stderr_text().find("hold of alpha ended after"), std::string::npos);
    EXPECT_NE(server_.stderr_text().find("(released)"), std::string::npos);
}

// A hold shared by its token: a client that joins with it goes as the
// holder does while others wait; a forged token, another probe's, or one of
// an ended hold gives nothing, and a member of an ended hold is refused
// while the waiter behind it is served.
TEST_P(Hold, ATokenSharesTheHoldAndDiesWithIt)
{
    start({"--probes", "2"});
    client a = join("alpha");
    client member = join("member");
    EXPECT_EQ(ask(a.c, "tarvex-tcp-share-hold " + std::to_string(a.assoc) + "\n"), "1 -4\n") << "no hold yet";
    ASSERT_EQ(hold(a), 0);
    client waiter = join("waiter");
    client elsewhere = join("elsewhere", 1);
    int result = 99;
    std::string token;
    ASSERT_EQ(tarvex::share_hold(a.c, a.assoc, &result, &token), 0);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(token.size(), 32u);
    std::string forged = token;
    forged[0] = forged[0] == 'a' ? 'b' : 'a';
    const std::string refused[] = {"tarvex-tcp-join-hold " + std::to_string(member.assoc) + " " + forged + "\n",
                                   "tarvex-tcp-join-hold " + std::to_string(member.assoc) + "\n",
                                   "tarvex-tcp-join-hold " + std::to_string(a.assoc) + " " + token + "\n",
                                   "tarvex-tcp-join-hold " + std::to_string(elsewhere.assoc) + " " + token + "\n",
                                   "tarvex-tcp-share-hold " + std::to_string(member.assoc) + "\n"};
    for (const std::string &r : refused)
        EXPECT_EQ(ask(member.c, r), "1 -4\n") << r;
    ASSERT_EQ(tarvex::join_hold(member.c, member.assoc, token, &result), 0);
    EXPECT_EQ(result, 0);
    send_waiting(waiter.c, mem_line("tarvex-tcp-read-mem", waiter.assoc, 16));
    EXPECT_EQ(status_of(member), "1 1\n") << "the member goes as the holder";
    EXPECT_EQ(hold(member), 0) << "and may ask for the hold it is in";
    EXPECT_EQ(release(member), 0);
    EXPECT_TRUE(holder_of().held) << "a member's release leaves the hold to its holder";
    EXPECT_EQ(holder_of().name, "alpha");
    EXPECT_FALSE(waiter.c.readable());

    a.c.close();
    EXPECT_EQ(reply_line(waiter.c), "1 0 16\n") << "the waiter is served once the holder has gone";
    std::vector<uint8_t> data(16);
    ASSERT_EQ(waiter.c.recv_exact(data.data(), data.size()), 0);
    EXPECT_EQ(status_of(member), "1 -6\n") << "the member of an ended hold is refused";
    EXPECT_EQ(ask(member.c, "tarvex-tcp-join-hold " + std::to_string(member.assoc) + " " + token + "\n"), "1 -4\n")
        << "the token died with its hold";
    EXPECT_EQ(status_of(waiter), "1 1\n");
    std::string log = server_.stderr_text();
    EXPECT_NE(log.find("member joined the hold of alpha"), std::string::npos) << log;
    EXPECT_NE(log.find("member presented a token that names no hold on it: refused"), std::string::npos);
    EXPECT_NE(log.find("the hold member worked under has ended: its request is refused"), std::string::npos);
}

// A hold is taken through the client's own association only, and a hold
// request that may not wait is refused at once.
TEST_P(Hold, RefusalsAnswerTheHoldStatus)
{
    start({"--probes", "1"});
    client a = join("alpha");
    client b = join("beta");
    std::string reply;
    EXPECT_EQ(ask(b.c, "tarvex-tcp-hold " + std::to_string(a.assoc) + " 0\n"), "1 -4\n");
    EXPECT_EQ(ask(b.c, "tarvex-tcp-release " + std::to_string(a.assoc) + "\n"), "1 -4\n");
    EXPECT_EQ(hold(a), 0);
    EXPECT_EQ(hold(b, 0), tarvex_wire::RESULT_PROBE_HELD);
    EXPECT_EQ(release(b), -4) << "b holds nothing";
    EXPECT_EQ(ask(client_, "tarvex-tcp-who-holds 0\n").substr(0, 10), "1 alpha 0 ") << "by registry position";
    EXPECT_EQ(ask(client_, "tarvex-tcp-who-holds 7\n"), "0\n");
    EXPECT_EQ(ask(client_, "tarvex-tcp-who-holds " + std::to_string(b.assoc) + "\n").substr(0, 8), "1 alpha ");
    EXPECT_NE(server_.stderr_text().find("probe 7E575650000000000000"
                                         "0001 held by alpha: request of beta refused"),
              std::string::npos);
}

// B's requests reach their wait limit: each is answered with its failure
// form, nothing of B's reached the probe, and B's connection still works.
TEST_P(Hold, AWaiterAtItsLimitIsAnsweredWithItsFailure)
{
    start({"--probes", "1"}, {"-d3", "--hold-wait", "0.2"});
    client a = join("alpha");
    client b = join("beta");
    EXPECT_EQ(hold(a), 0);
    std::string before = blocks();
    struct refusal {
        std::string request;
        std::string reply;
    };
    const refusal table[] = {
        {mem_line("tarvex-tcp-read-mem", b.assoc, 16), "1 -6 0\n"},
        {"tarvex-usb-get-status " + std::to_string(b.assoc) + "\n", "1 -6\n"},
        {"tarvex-usb-idcode " + std::to_string(b.assoc) + "\n", "1 -6 0\n"},
        {"tarvex-tcp-hold " + std::to_string(b.assoc) + " 100\n", "1 -6\n"},
        {mem_line("tarvex-tcp-write-mem", b.assoc, 4) + "abcd", "1 -6\n"},
    };
    for (const refusal &r : table)
        EXPECT_EQ(ask(b.c, r.request), r.reply) << r.request;
    std::vector<uint8_t> reply;
    ASSERT_EQ(b.c.binary(version_passthrough(b.assoc), 10, &reply, 60000), 0);
    EXPECT_EQ(tarvex::get_u32(reply, 0), 4u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 4, reply.end()), std::vector<uint8_t>(6, 0));
    EXPECT_EQ(blocks(), before) << "nothing of beta's reached the probe";
    EXPECT_NE(server_.stderr_text().find("held by alpha: request of beta refused after waiting"), std::string::npos);
    EXPECT_EQ(release(a), 0);
    EXPECT_EQ(status_of(b), "1 1\n") << "beta's connection still works";
}

// Every way a hold ends lets the waiter go on.
enum class ending { release, sigkill, drop_mid_operation, close_association, unplug, hold_max };

struct ending_case {
    const char *name;
    ending how;
    const char *reason; // in the info line
};

const ending_case endings[] = {
    {"Release", ending::release, "(released)"},
    {"SigkillOfTheHolder", ending::sigkill, "(the holder's connection closed)"},
    {"HolderDropsMidOperation", ending::drop_mid_operation, "(the holder's connection closed)"},
    {"HolderClosesItsAssociation", ending::close_association, "(the holder's association closed)"},
    {"ProbeUnpluggedAndRefreshed", ending::unplug, "(the probe left the registry)"},
    {"HoldMax", ending::hold_max, "(held longer than --hold-max)"},
};

class HoldEnds : public Hold
{
protected:
    // A holder in a child process of its own, killed with SIGKILL.
    pid_t hold_in_child()
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            client a = join("alpha");
            int result = -1;
            tarvex::hold_probe(a.c, a.assoc, 0, &result);
            char byte = result == 0 ? 'h' : 'x';
            if (write(ready[1], &byte, 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char byte = 0;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        EXPECT_EQ(byte, 'h');
        close(ready[0]);
        return pid;
    }
};

TEST_P(HoldEnds, TheWaiterGoesOn)
{
    const ending_case &e = endings[std::stoi(GetParam()) % 6];
    SCOPED_TRACE(e.name);
    std::vector<std::string> server_args = {"-d3"};
    if (e.how == ending::hold_max)
        server_args = {"-d3", "--hold-max", "0.3"};
    start({"--fast", "--probe", e.how == ending::drop_mid_operation ? SLOW_PROBE : "latency=0"}, server_args);
    client b = join("beta");
    client a;
    pid_t child = -1;
    if (e.how == ending::sigkill)
        child = hold_in_child();
    else {
        a = join("alpha");
        EXPECT_EQ(hold(a), 0);
    }
    send_waiting(b.c, "tarvex-usb-get-status " + std::to_string(b.assoc) + "\n");
    std::string expected = "1 1\n";
    switch (e.how) {
    case ending::release:
        EXPECT_EQ(release(a), 0);
        break;
    case ending::sigkill:
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        break;
    case ending::drop_mid_operation: {
        std::string blocks_before = blocks();
        std::string read = mem_line("tarvex-tcp-read-mem", a.assoc, 512);
        ASSERT_EQ(a.c.send_bytes(read.data(), read.size()), 0);
        for (int i = 0; i < 5000 && blocks() == blocks_before; i++)
            usleep(1000);
        a.c.close();
        break;
    }
    case ending::close_association:
        EXPECT_EQ(ask(a.c, "close-device " + std::to_string(a.assoc) + "\n"), "1\n");
        break;
    case ending::unplug:
        ASSERT_EQ(server_.control("unplug 0"), "ok");
        EXPECT_EQ(ask(client_, "usb-refresh\n"), "1 0\n");
        expected = "1 0\n"; // as for any request whose probe has gone
        break;
    case ending::hold_max:
        break;
    }
    EXPECT_EQ(reply_line(b.c), expected);
    EXPECT_TRUE(server_.wait_stderr(e.reason, 5000)) << server_.stderr_text();
    if (e.how == ending::drop_mid_operation) {
        std::string log = server_.stderr_text();
        size_t read_done = log.find("tarvex-tcp-read-mem : (alpha) : data returned");
        ASSERT_NE(read_done, std::string::npos);
        EXPECT_LT(read_done, log.find("hold of alpha ended")) << "the read in flight completed first";
    }
}

std::string ending_name(const ::testing::TestParamInfo<const char *> &info)
{
    return endings[std::stoi(info.param) % 6].name;
}

// The fixture's transport parameter carries the case: the server is always
// started on the fast transport.
INSTANTIATE_TEST_SUITE_P(Endings, HoldEnds, ::testing::Values("0", "1", "2", "3", "4", "5"), ending_name);

// Waiters for the hold are served in arrival order, one hold after another.
TEST_P(Hold, SeveralWaitersInArrivalOrder)
{
    start({"--probes", "1"});
    client a = join("alpha");
    std::vector<client> waiters;
    for (const char *name : {"w1", "w2", "w3"})
        waiters.push_back(join(name));
    EXPECT_EQ(hold(a), 0);
    for (client &w : waiters)
        send_waiting(w.c, "tarvex-tcp-hold " + std::to_string(w.assoc) + " 60000\n");
    EXPECT_EQ(holder_of().waiters, 3);
    EXPECT_EQ(release(a), 0);
    for (size_t i = 0; i < waiters.size(); i++) {
        EXPECT_EQ(reply_line(waiters[i].c), "1 0\n") << i;
        tarvex::probe_holder h = holder_of();
        EXPECT_EQ(h.name, "w" + std::to_string(i + 1));
        EXPECT_EQ(h.waiters, static_cast<int>(waiters.size() - i - 1));
        for (size_t later = i + 1; later < waiters.size(); later++)
            EXPECT_FALSE(waiters[later].c.readable()) << later;
        EXPECT_EQ(release(waiters[i]), 0);
    }
    EXPECT_FALSE(holder_of().held);
}

// A hold request behind another client's long read is answered after it.
TEST_P(Hold, AHoldBeginsAfterTheOperationInFlight)
{
    start({"--probe", SLOW_PROBE});
    client reader = join("reader");
    client a = join("alpha");
    std::string before = blocks();
    std::string read = mem_line("tarvex-tcp-read-mem", reader.assoc, 1024);
    ASSERT_EQ(reader.c.send_bytes(read.data(), read.size()), 0);
    for (int i = 0; i < 5000 && blocks() == before; i++)
        usleep(1000);
    EXPECT_EQ(hold(a, 0), 0);
    EXPECT_TRUE(reader.c.readable()) << "the read was answered before the hold";
    EXPECT_EQ(reply_line(reader.c), "1 0 1024\n");
}

// The ways the server ends keep their statuses with a hold and a waiter.
class HoldExit : public Hold
{
protected:
    enum way { exit_request, interrupt, auto_exit };
    void end_with(way how, int status)
    {
        start({"--probes", "1"},
              how == auto_exit ? std::vector<std::string>{"-d3", "-a"} : std::vector<std::string>{"-d3"});
        client a = join("alpha");
        client b = join("beta");
        EXPECT_EQ(hold(a), 0);
        send_waiting(b.c, "tarvex-usb-get-status " + std::to_string(b.assoc) + "\n");
        if (how == exit_request) {
            ASSERT_EQ(client_.send_bytes("tarvex-exit\n", 12), 0);
        } else if (how == interrupt) {
            server_.send_signal(SIGINT);
        } else {
            client_.close();
            a.c.close();
            EXPECT_EQ(reply_line(b.c).substr(0, 2), "1 ") << "the waiter was served before the end";
            b.c.close();
        }
        EXPECT_EQ(server_.wait_exit(30000), status);
    }
};

TEST_P(HoldExit, ExitRequest)
{
    end_with(exit_request, 0);
}

TEST_P(HoldExit, Interrupt)
{
    end_with(interrupt, 2);
}

TEST_P(HoldExit, AutoExit)
{
    end_with(auto_exit, 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, HoldExit, ::testing::Values("fast"), transport_name);

INSTANTIATE_TEST_SUITE_P(Transports, Hold, ::testing::Values("fast"), transport_name);

} // namespace
