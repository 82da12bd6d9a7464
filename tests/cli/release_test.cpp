// tarvex-cli release --force: an administrator ends the hold of a holder
// that is stuck with its connection open. Root on the server's Unix socket
// may; over TCP nobody may, nor another uid on the Unix socket.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server_process.h"
#include "tarvex_api.h"

namespace
{

using tarvex_test::program_run;
using tarvex_test::server_process;

class Release : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(chmod(server_.dir.c_str(), 0711), 0); // another uid reaches the socket inside
        ASSERT_EQ(server_.start({"--unix", socket_path(), "--unix-mode", "0666"}, {"--fast", "--probes", "1"}, true),
                  0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        holder_ = server_.connect();
        std::string serial = "7E575650000000000000" + std::string("0001");
        char key[16];
        snprintf(key, sizeof(key), "%x", jenkins_one_at_a_time_hash(serial.data(), serial.size()));
        EXPECT_EQ(ask(holder_, "register-client stuck-job\n"), "1\n");
        EXPECT_EQ(ask(holder_, std::string("open-device ") + key + "\n"), "1 256\n");
        EXPECT_EQ(ask(holder_, "tarvex-tcp-hold 256 0\n"), "1 0\n");
    }
    std::string socket_path() const { return server_.dir + "/tarvex.sock"; }
    std::string ask(tarvex::connection &c, const std::string &request)
    {
        std::string reply;
        EXPECT_EQ(c.text(request, &reply), 0) << request;
        return reply;
    }
    // The CLI on the Unix socket or on TCP, as this uid or (uid non-zero) as another.
    program_run release(bool on_unix, uid_t uid = 0)
    {
        std::vector<std::string> argv;
        if (uid != 0)
            argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                    "--clear-groups"};
        argv.push_back(TARVEX_CLI_PATH);
        if (on_unix)
            argv.insert(argv.end(), {"--host", "unix:" + socket_path()});
        else
            argv.insert(argv.end(), {"--port", std::to_string(server_.port)});
        argv.insert(argv.end(), {"--probe", "0", "release", "--force"});
        program_run r;
        r.status = tarvex_test::run_to_end(argv, &r.out, &r.err, 30000);
        return r;
    }
    server_process server_;
    tarvex::connection holder_;
};

TEST_F(Release, RootOnTheUnixSocketEndsAnotherClientsHold)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the administrator here is root (CI runs as root)";
    program_run r = release(true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("released the hold of stuck-job on probe 0 (held for ", 0), 0u) << r.out;
    EXPECT_TRUE(server_.wait_stderr("hold on probe 0 (7E5756500000000000000001) released by tarvex-cli (uid 0) "
                                    "(held by stuck-job)"))
        << server_.stderr_text();
    EXPECT_TRUE(server_.wait_stderr("hold of stuck-job ended after"));
    EXPECT_EQ(ask(holder_, "tarvex-tcp-who-holds 0\n"), "1 - 0 0\n");
    EXPECT_EQ(ask(holder_, "tarvex-tcp-release 256\n"), "1 -4\n") << "the hold is gone; the holder goes on";
    EXPECT_EQ(ask(holder_, "tarvex-usb-idcode 256 0\n").substr(0, 4), "1 0 ");
    r = release(true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "probe 0 is not held\n");
}

struct refused_case {
    const char *name;
    bool on_unix;
    uid_t uid;
    const char *logged;
};

TEST_F(Release, OverTcpOrForAnotherUidTheHoldStays)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another uid (CI runs as root)";
    const refused_case cases[] = {
        {"root over TCP", false, 0,
         "tarvex-cli (uid unknown) may not release another client's hold: only on the "
         "Unix socket"},
        {"nobody on the Unix socket", true, 65534,
         "tarvex-cli (uid 65534) may not release another client's hold: only root, the server's user and members "
         "of its group root may"},
    };
    for (const refused_case &c : cases) {
        program_run r = release(c.on_unix, c.uid);
        EXPECT_EQ(r.status, 4) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find("releasing another client's hold on probe 0 needs root or the server's group, on the "
                             "server's Unix socket"),
                  std::string::npos)
            << c.name << ": " << r.err;
        EXPECT_TRUE(server_.wait_stderr(c.logged)) << c.name << ": " << server_.stderr_text();
        EXPECT_EQ(ask(holder_, "tarvex-tcp-who-holds 0\n").substr(0, 12), "1 stuck-job ") << c.name;
    }
}

TEST_F(Release, WithoutForceItIsAUsageError)
{
    program_run r;
    r.status =
        tarvex_test::run_to_end({TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "release"}, &r.out, &r.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("release needs --force"), std::string::npos) << r.err;
    EXPECT_EQ(ask(holder_, "tarvex-tcp-who-holds 0\n").substr(0, 12), "1 stuck-job ");
}

} // namespace
