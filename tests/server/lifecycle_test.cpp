// Start-up, options and ways of ending, through the real server process.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "server_process.h"

using tarvex_test::run_server_to_end;
using tarvex_test::server_process;

namespace
{

const char help_text[] = "tarvex-server\n"
                         "--help       | -h\tdisplay this help\n"
                         "--version    | -v\tdisplay TARVEX-TCP version\n"
                         "--port       | -p\tset tcp listening port\n"
                         "--network    | -n\tset tcp listening address to INADDR_ANY\n"
                         "--debug      | -d\tset debug level <0-3>\n"
                         "--auto-exit  | -a\texit() when there is no more client\n"
                         "--log-output | -l\tredirect log output to file <name>\n";

const std::regex version_line("tarvex-server v[0-9]+\\.[0-9]+\\.[0-9]+-[^ ]+ \\([0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{2}:"
                              "[0-9]{2}\\)\n");

struct exit_case {
    std::vector<std::string> args;
    int status;
};

TEST(Lifecycle, HelpAndVersionEndTheProcessWithTheirStatuses)
{
    const exit_case cases[] = {
        {{"-h"}, 255}, {{"--help"}, 255}, {{"-h", "-v"}, 255}, {{"--he"}, 255}, {{"-v"}, 0}, {{"--version"}, 0},
    };
    for (const exit_case &c : cases) {
        std::string out, err;
        int status = run_server_to_end(c.args, &out, &err);
        EXPECT_EQ(status, c.status) << c.args[0];
        if (c.status == 255)
            EXPECT_EQ(err, help_text) << c.args[0];
        else
            EXPECT_TRUE(std::regex_match(err, version_line)) << err;
    }
}

TEST(Lifecycle, HelpGoesToTheLogFileNamedAnywhereOnTheLine)
{
    server_process scratch;
    std::string log = scratch.dir + "/help.log";
    std::string out, err;
    EXPECT_EQ(run_server_to_end({"-h", "-l", log}, &out, &err), 255);
    EXPECT_EQ(tarvex_test::read_file(log), help_text);
    EXPECT_EQ(err, "");
}

TEST(Lifecycle, SilentThresholdSuppressesEvenTheHelpText)
{
    std::string out, err;
    EXPECT_EQ(run_server_to_end({"-d-3", "-h"}, &out, &err), 255);
    EXPECT_EQ(err, "");
    EXPECT_EQ(run_server_to_end({"-d-2", "-v"}, &out, &err), 0);
    EXPECT_TRUE(std::regex_match(err, version_line)) << err;
}

TEST(Lifecycle, PortAlreadyTakenEndsWithStatus252)
{
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    std::string out, err;
    int status = run_server_to_end({"-p", std::to_string(ntohs(addr.sin_port))}, &out, &err);
    close(blocker);
    EXPECT_EQ(status, 252);
    EXPECT_NE(err.find("Error: bind failed. Error = 98, exit\n"), std::string::npos) << err;
}

// True when the thread's signal mask (SigBlk in its status) blocks sig.
bool blocks(const std::filesystem::path &task, int sig)
{
    std::ifstream status(task / "status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1) != 0;
    return true;
}

// A thread of the server other than the one running it that would take
// SIGINT (libusb starts such threads), or -1.
pid_t another_thread(pid_t pid)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        pid_t tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
        if (tid != pid && !blocks(entry.path(), SIGINT))
            return tid;
    }
    return -1;
}

TEST(Lifecycle, PortTextTheLookupRefusesEndsWithStatus252)
{
    std::string out, err;
    EXPECT_EQ(run_server_to_end({"-p", "no-such-service-name"}, &out, &err), 252);
    EXPECT_NE(err.find("Info : port par default : no-such-service-name\n"), std::string::npos) << err;
}

// Sent to the process, and to a thread other than the loop's: the kernel
// may hand a signal sent to the process to any thread that does not block
// it, and the handler passes it to the loop's thread, the only one that
// may walk the sockets.
TEST(Lifecycle, SigintPrintsOnStandardOutputAndEndsWithStatus2)
{
    for (bool elsewhere : {false, true}) {
        SCOPED_TRACE(elsewhere ? "to another thread" : "to the process");
        server_process server;
        ASSERT_EQ(server.start({}), 0);
        ASSERT_EQ(server.wait_listening(), 0);
        tarvex::connection client = server.connect();
        ASSERT_TRUE(client.is_open());
        std::string reply;
        ASSERT_EQ(client.text("get-nb-tarvex\n", &reply), 0) << "the loop runs, libusb started";
        pid_t other = elsewhere ? another_thread(server.pid) : -1;
        if (elsewhere && other < 0)
            GTEST_SKIP() << "no other thread of the server takes SIGINT here";
        if (elsewhere)
            ASSERT_EQ(syscall(SYS_tgkill, server.pid, other, SIGINT), 0);
        else
            server.send_signal(SIGINT);
        EXPECT_EQ(server.wait_exit(), 2);
        EXPECT_EQ(server.stdout_text(), "Ctrl-C event\n");
        EXPECT_NE(server.stderr_text().find("Info : ctrl_handler 2\n"), std::string::npos) << server.stderr_text();
        // The handler closed the client socket before ending.
        EXPECT_TRUE(client.wait_closed(2000));
    }
}

TEST(Lifecycle, ExitCommandEndsWithStatus0WithoutReply)
{
    server_process server;
    ASSERT_EQ(server.start({}), 0);
    tarvex::connection client = server.connect();
    ASSERT_TRUE(client.is_open());
    ASSERT_EQ(client.send_bytes("tarvex-exit\n", 12), 0);
    EXPECT_TRUE(client.wait_closed());
    EXPECT_EQ(server.wait_exit(), 0);
}

// The first run's connections end in TIME_WAIT on its port: the second run
// must bind it all the same.
TEST(Lifecycle, RestartWithClientsConnectedBindsThePortAtOnce)
{
    server_process first;
    ASSERT_EQ(first.start({}), 0);
    std::vector<tarvex::connection> clients;
    for (int i = 0; i < 3; i++) {
        clients.push_back(first.connect());
        ASSERT_TRUE(clients.back().is_open());
        std::string reply;
        ASSERT_EQ(clients.back().text("get-nb-tarvex\n", &reply), 0);
    }
    first.send_signal(SIGTERM);
    ASSERT_GE(first.wait_exit(), 0);
    for (tarvex::connection &c : clients)
        EXPECT_TRUE(c.wait_closed());
    clients.clear();

    server_process second;
    second.port = first.port;
    ASSERT_EQ(second.start({}), 0);
    ASSERT_EQ(second.wait_listening(1000), 0) << second.stderr_text();
    tarvex::connection client = second.connect();
    ASSERT_TRUE(client.is_open());
    std::string reply;
    EXPECT_EQ(client.text("get-nb-tarvex\n", &reply), 0);
}

TEST(Lifecycle, ListensOnLoopbackUnlessTheNetworkOptionIsGiven)
{
    server_process local;
    ASSERT_EQ(local.start({}), 0);
    ASSERT_EQ(local.wait_listening(), 0);
    EXPECT_TRUE(tarvex_test::port_listening(local.port, false));
    EXPECT_FALSE(tarvex_test::port_listening(local.port, true));

    for (const char *option : {"--network", "--network-enable", "--protocol_familly"}) {
        server_process any;
        ASSERT_EQ(any.start({option}), 0);
        ASSERT_EQ(any.wait_listening(), 0);
        EXPECT_TRUE(tarvex_test::port_listening(any.port, true)) << option;
        EXPECT_NE(any.stderr_text().find("Info : Remote address: 0.0.0.0\n"), std::string::npos) << option;
        EXPECT_NE(any.stderr_text().find("accepts connections from any host without authentication"), std::string::npos)
            << option;
    }
    EXPECT_EQ(local.stderr_text().find("without authentication"), std::string::npos) << "loopback only by default";
}

TEST(Lifecycle, AutoExitAfterAListOnlyClientLeavesWithStatus1)
{
    for (const char *option : {"-a", "--auto-kill", "--auto"}) {
        server_process server;
        ASSERT_EQ(server.start({option}), 0);
        ASSERT_EQ(server.wait_listening(), 0);
        {
            tarvex::connection client = server.connect();
            std::string reply;
            ASSERT_EQ(client.text("get-nb-tcp-client\n", &reply), 0);
            EXPECT_EQ(reply, "1 1\n");
        }
        EXPECT_EQ(server.wait_exit(), 1) << option;
    }
}

TEST(Lifecycle, WithoutAutoExitTheServerOutlivesItsClients)
{
    server_process server;
    ASSERT_EQ(server.start({"-d3"}), 0);
    {
        tarvex::connection client = server.connect();
        ASSERT_TRUE(client.is_open());
    }
    tarvex::connection second = server.connect();
    std::string reply;
    ASSERT_EQ(second.text("get-nb-tcp-client\n", &reply), 0);
    EXPECT_EQ(reply, "1 1\n");
    EXPECT_EQ(server.wait_exit(0), -1);
    EXPECT_NE(server.stderr_text().find("not ask to exit() because 0"), std::string::npos);
}

TEST(Lifecycle, DebugLevelShowsStartUpDebugLinesInTheLongForm)
{
    server_process server;
    std::string log = server.dir + "/server.log";
    ASSERT_EQ(server.start({"-d", "-l", log}), 0);
    ASSERT_EQ(server.wait_listening(), 0);
    {
        tarvex::connection client = server.connect();
        std::string reply;
        ASSERT_EQ(client.text("get-nb-tarvex\n", &reply), 0);
    }
    server.send_signal(SIGINT);
    EXPECT_EQ(server.wait_exit(), 2);
    std::string text = tarvex_test::read_file(log);
    for (const char *line : {"create_listening_sockets\n", "non_blocking_accept_main\n",
                             "create_listening_sockets(): port par default : ", "get-nb-tarvex : command received"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_TRUE(std::regex_search(text, std::regex("Debug: [0-9]+ -?[0-9]+ main\\.cpp:[0-9]+ main\\(\\): "
                                                   "create_listening_sockets\n")))
        << text;
    // Records written before "-l" was read went to standard error, the rest to the file.
    EXPECT_NE(server.stderr_text().find("--log_output " + log + "2\n"), std::string::npos);
    EXPECT_EQ(server.stderr_text().find("create_listening_sockets"), std::string::npos);
}

TEST(Lifecycle, DefaultThresholdWritesShortInfoLinesOnly)
{
    server_process server;
    ASSERT_EQ(server.start({}), 0);
    ASSERT_EQ(server.wait_listening(), 0);
    server.send_signal(SIGINT);
    ASSERT_EQ(server.wait_exit(), 2);
    std::string err = server.stderr_text();
    EXPECT_NE(err.find("Info : port par default : " + std::to_string(server.port) + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Info : Remote address: 127.0.0.1\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("Debug"), std::string::npos) << err;
}

// Every cycle's wait has a limit (30 seconds; 1 here); an idle server says
// so at debug level and does nothing else. A test timing it cannot take is
// said and ignored.
TEST(Lifecycle, IdleServerLogsItsHeartBeat)
{
    server_process server;
    server.timing = "heartbeat_s=1,send_s=0";
    ASSERT_EQ(server.start({"-d3"}), 0);
    ASSERT_EQ(server.wait_listening(), 0);
    const std::string line = "No connections/data in the last 1 seconds.\n";
    for (int i = 0; i < 3000 && server.stderr_text().find(line) == std::string::npos; i++)
        usleep(10000);
    EXPECT_NE(server.stderr_text().find(line), std::string::npos);
    EXPECT_NE(server.stderr_text().find("TARVEX_TEST_TIMING: 'send_s=0' ignored"), std::string::npos);
    EXPECT_EQ(server.wait_exit(0), -1);
}

} // namespace
