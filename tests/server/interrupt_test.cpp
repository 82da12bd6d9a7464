// SIGINT ends the server from its event loop, whatever the loop was doing
// when the signal came: a request in flight on a probe worker, clients
// connecting and leaving. The status (2), the one line on standard output
// and the closed sockets are what a service manager and a shell see.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "server_process.h"

using tarvex_test::server_process;

namespace
{

// What an instrumented build writes when it finds a fault.
bool sanitizer_report(const std::string &err)
{
    for (const char *mark : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
        if (err.find(mark) != std::string::npos)
            return true;
    return false;
}

void expect_interrupted_end(server_process &server)
{
    EXPECT_EQ(server.wait_exit(30000), 2);
    EXPECT_EQ(server.stdout_text(), "Ctrl-C event\n");
    EXPECT_NE(server.stderr_text().find("Info : ctrl_handler 2\n"), std::string::npos) << server.stderr_text();
    EXPECT_FALSE(sanitizer_report(server.stderr_text())) << server.stderr_text();
}

#ifdef TARVEX_HAVE_VPROBE
// "1 KEY VID PID SERIAL\n": the key, as open-device takes it.
std::string first_probe_key(tarvex::connection &c)
{
    std::string reply;
    EXPECT_EQ(c.text("get-tarvex-descriptor 0\n", &reply), 0);
    EXPECT_EQ(reply.substr(0, 2), "1 ") << reply;
    return reply.substr(2, reply.find(' ', 2) - 2);
}

// The probe withholds the reply to the read until its gate opens, which it
// never does: the request is on the worker, inside a transfer, when SIGINT
// comes. The loop ends the process without waiting for the worker.
TEST(Interrupt, WithARequestInFlightOnAGatedProbe)
{
    server_process server;
    ASSERT_EQ(server.start({}, {"--fast", "--probes", "1"}, true), 0);
    ASSERT_EQ(server.wait_listening(), 0) << server.stderr_text();
    tarvex::connection c = server.connect();
    ASSERT_TRUE(c.is_open());
    std::string reply;
    ASSERT_EQ(c.text("open-device " + first_probe_key(c) + "\n", &reply), 0);
    ASSERT_EQ(reply, "1 256\n");
    ASSERT_EQ(c.text("tarvex-usb-init-mode 256 0 1\n", &reply, 30000), 0);
    ASSERT_EQ(reply, "1 0\n");
    ASSERT_EQ(server.control("gate 0 hold"), "ok armed");
    const std::string read = "tarvex-tcp-read-mem 256 20000000 4 400 0\n";
    ASSERT_EQ(c.send_bytes(read.data(), read.size()), 0);
    std::string gate;
    for (int i = 0; i < 5000 && (gate = server.control("gate 0")) == "ok armed"; i++)
        usleep(1000);
    ASSERT_EQ(gate, "ok holding");
    server.send_signal(SIGINT);
    expect_interrupted_end(server);
    EXPECT_TRUE(c.wait_closed(2000)) << "the client in flight saw its socket closed";
}
#endif

// Clients connect, ask and leave without pause while the signal comes, so
// that it lands while the loop adds and removes records: the handler no
// longer walks the list the loop is changing.
TEST(Interrupt, WhileClientsComeAndGo)
{
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        server_process server;
        ASSERT_EQ(server.start({}), 0);
        ASSERT_EQ(server.wait_listening(), 0);
        std::atomic<int> served{0};
        std::atomic<bool> stop{false};
        std::thread churn([&] {
            while (!stop) {
                tarvex::connection c = server.connect();
                std::string reply;
                if (!c.is_open() || c.text("get-nb-tcp-client\n", &reply, 2000) != 0)
                    return; // the server has gone
                served++;
            }
        });
        while (served < 50 && !stop)
            std::this_thread::yield();
        server.send_signal(SIGINT);
        int status = server.wait_exit(30000);
        stop = true;
        churn.join();
        EXPECT_EQ(status, 2);
        EXPECT_EQ(server.stdout_text(), "Ctrl-C event\n");
        EXPECT_FALSE(sanitizer_report(server.stderr_text())) << server.stderr_text();
    }
}

// Before the loop runs its first cycle the signal waits in the descriptor;
// sent at once after start-up it still ends the server the same way.
TEST(Interrupt, AsSoonAsTheServerListens)
{
    server_process server;
    ASSERT_EQ(server.start({}), 0);
    ASSERT_EQ(server.wait_listening(), 0);
    server.send_signal(SIGINT);
    expect_interrupted_end(server);
}

} // namespace
