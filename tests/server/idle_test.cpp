// Connections that hold nothing and say nothing: each peer keeps at most
// --idle-max of them, and --idle-timeout closes them; the end of a normal
// connection is no error. On TCP and on the Unix socket, whose peers the
// server tells apart by address and by uid.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_process.h"

using tarvex_test::server_process;

namespace
{

class Idle : public ::testing::TestWithParam<const char *>
{
protected:
    bool on_unix() const { return std::string(GetParam()) == "unix"; }
    void start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--unix", server_.dir + "/tarvex.sock"});
        ASSERT_EQ(server_.start(args), 0);
        ASSERT_EQ(server_.wait_listening(), 0);
        // The other transport is another peer: its connections are not bounded
        // with those of the case.
        ASSERT_EQ(on_unix() ? checker_.open("127.0.0.1", server_.port) : checker_.open(unix_host(), 0), 0);
    }
    std::string unix_host() const { return "unix:" + server_.dir + "/tarvex.sock"; }
    // A connection on the transport of the case.
    tarvex::connection connect()
    {
        tarvex::connection c;
        EXPECT_EQ(on_unix() ? c.open(unix_host(), 0) : c.open("127.0.0.1", server_.port), 0);
        return c;
    }
    std::string ask(tarvex::connection &c, const std::string &request)
    {
        std::string reply;
        EXPECT_EQ(c.text(request, &reply), 0) << request;
        return reply;
    }
    // Waits until the server counts `clients` connections, the checker's included.
    void wait_clients(int clients)
    {
        std::string want = "1 " + std::to_string(clients) + "\n", reply;
        tarvex_test::eventually([&] { return (reply = ask(checker_, "get-nb-tcp-client\n")) == want; }, 5000);
        ASSERT_EQ(reply, want);
    }
    server_process server_;
    tarvex::connection checker_;
};

// A peer's connections that sent nothing past the grace count as idle; a
// new one beyond --idle-max closes the longest idle, and the others stay.
TEST_P(Idle, APeerKeepsAtMostIdleMaxSilentConnections)
{
    server_.timing = "idle_grace_ms=0";
    start({"--idle-max", "2"});
    std::vector<tarvex::connection> silent;
    for (int i = 0; i < 3; i++)
        silent.push_back(connect());
    wait_clients(4);
    tarvex::connection active = connect();
    EXPECT_EQ(ask(active, "get-nb-tcp-client\n"), "1 4\n") << "the oldest silent one went for the new one";
    EXPECT_TRUE(silent[0].wait_closed()) << "the longest idle is closed";
    for (int i = 1; i < 3; i++)
        EXPECT_EQ(ask(silent[i], "choose-tarvex 0\n"), "1 0 0\n") << i;
    std::string peer = on_unix() ? "closed an idle connection of uid " : "closed an idle connection of 127.0.0.1 ";
    EXPECT_TRUE(server_.wait_stderr(peer)) << server_.stderr_text();
    EXPECT_TRUE(server_.wait_stderr("the peer has more than 2 idle connections (--idle-max)"));
}

// Clients that spoke within the grace are busy, however many there are.
TEST_P(Idle, ConnectionsThatJustSpokeAreNotIdle)
{
    start({"--idle-max", "1"});
    std::vector<tarvex::connection> clients;
    for (int i = 0; i < 6; i++) {
        clients.push_back(connect());
        EXPECT_EQ(ask(clients.back(), "register-client job" + std::to_string(i) + "\n"), "1\n");
    }
    for (tarvex::connection &c : clients)
        EXPECT_EQ(ask(c, "get-nb-tcp-client\n"), "1 7\n");
    EXPECT_EQ(server_.stderr_text().find("closed an idle connection"), std::string::npos);
}

TEST_P(Idle, AnIdleConnectionIsClosedAfterTheIdleTimeout)
{
    server_.timing = "idle_grace_ms=0";
    start({"--idle-timeout", "0.2"});
    tarvex::connection named = connect();
    EXPECT_EQ(ask(named, "register-client forgotten\n"), "1\n");
    tarvex::connection silent = connect();
    EXPECT_TRUE(named.wait_closed());
    EXPECT_TRUE(silent.wait_closed());
    EXPECT_TRUE(server_.wait_stderr("forgotten): nothing sent and no probe open for 0 s (--idle-timeout)"))
        << server_.stderr_text();
    // The checker spoke last before both: it is idle too, and gone as well.
    EXPECT_TRUE(checker_.wait_closed());
    tarvex::connection later = connect();
    EXPECT_EQ(ask(later, "get-nb-tcp-client\n"), "1 1\n");
}

// A client's normal end is written at debug level only: at the default
// level nothing is said of it.
TEST_P(Idle, ANormalDisconnectIsNoError)
{
    start({});
    {
        tarvex::connection c = connect();
        EXPECT_EQ(ask(c, "get-nb-tcp-client\n"), "1 2\n");
    }
    wait_clients(1);
    EXPECT_EQ(server_.stderr_text().find("recv returned 0"), std::string::npos) << server_.stderr_text();
}

TEST_P(Idle, ANormalDisconnectIsADebugLine)
{
    start({"-d3"});
    {
        tarvex::connection c = connect();
        EXPECT_EQ(ask(c, "get-nb-tcp-client\n"), "1 2\n");
    }
    wait_clients(1);
    std::string err = server_.stderr_text();
    EXPECT_NE(err.find("Debug: "), std::string::npos);
    EXPECT_NE(err.find("recv returned 0. Remote side has closed gracefully. Good."), std::string::npos);
    EXPECT_EQ(err.find("Error: "), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Transports, Idle, ::testing::Values("tcp", "unix"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace
