// tarvex-cli hold against the real server and the virtual probe, over TCP
// and over the server's Unix socket: a job's commands run under one hold
// and no other client's request lands between them; queued jobs get the
// probe in the order they asked; the exit statuses; a token that is stale
// or made up gives nothing. Jobs are sh scripts that wait on a FIFO, so a
// case knows where a job is without sleeping.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"
#include "tarvex_text.h"

namespace
{

using tarvex_test::eventually;
using tarvex_test::read_file;
using tarvex_test::write_file;

const std::string CLI = TARVEX_CLI_PATH;
const std::string SERIAL = "7E5756500000000000000001";

std::string scratch(const std::string &name)
{
    return tarvex_test::scratch_path("tarvex-hold-test", name);
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

int exit_status(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A line into a FIFO the job reads (blocks until the job opens it).
void release_job(const std::string &fifo)
{
    write_file(fifo, "go\n");
}

class CliHold : public ::testing::TestWithParam<const char *>
{
protected:
    void SetUp() override
    {
        socket_ = server_.dir + "/hold.sock";
        ASSERT_EQ(server_.start({"--unix", socket_}, {"--fast", "--probes", "1"}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        ASSERT_TRUE(eventually([&] { return exists(socket_); }));
        watcher_ = server_.connect();
    }
    void TearDown() override
    {
        for (const std::string &p : made_)
            unlink(p.c_str());
    }
    // The CLI with the server named as the case's transport does.
    std::vector<std::string> cli_argv(const std::vector<std::string> &args, const std::string &env = "")
    {
        std::vector<std::string> argv = {"/usr/bin/env"};
        if (!env.empty())
            argv.push_back(env);
        argv.push_back(CLI);
        if (std::string(GetParam()) == "unix")
            argv.insert(argv.end(), {"--host", "unix:" + socket_});
        else
            argv.insert(argv.end(), {"--port", std::to_string(server_.port)});
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    tarvex_test::program_run cli(const std::vector<std::string> &args, const std::string &env = "")
    {
        tarvex_test::program_run r;
        r.status = tarvex_test::run_to_end(cli_argv(args, env), &r.out, &r.err, 60000);
        return r;
    }
    // A job under hold: sh running script, its output in files.
    pid_t job(const std::string &script, const std::string &name, const std::vector<std::string> &hold_options = {})
    {
        std::vector<std::string> args = {"hold"};
        args.insert(args.end(), hold_options.begin(), hold_options.end());
        args.insert(args.end(), {"--", "/bin/sh", "-c", script});
        return tarvex_test::spawn_program(cli_argv(args), file(name + ".out"), file(name + ".err"));
    }
    std::string file(const std::string &name)
    {
        std::string path = scratch(name);
        made_.push_back(path);
        return path;
    }
    std::string fifo(const std::string &name)
    {
        std::string path = file(name);
        unlink(path.c_str());
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        return path;
    }
    tarvex::probe_holder holder()
    {
        tarvex::probe_holder h;
        bool found = false;
        EXPECT_EQ(tarvex::probe_holder_of(watcher_, 0, &h, &found), 0);
        return h;
    }
    // A client of the test's own with an association on the probe.
    struct client {
        tarvex::connection c;
        uint32_t assoc = 0;
    };
    client open_client(const std::string &name)
    {
        client k;
        k.c = server_.connect();
        std::string reply;
        tarvex::probe_entry probe;
        bool found = false;
        EXPECT_EQ(k.c.text("register-client " + name + "\n", &reply), 0);
        EXPECT_EQ(tarvex::describe_probe(k.c, 0, &probe, &found), 0);
        EXPECT_EQ(tarvex::open_device(k.c, probe.key, &k.assoc), 0);
        return k;
    }
    tarvex_test::server_process server_;
    std::string socket_;
    tarvex::connection watcher_;
    std::vector<std::string> made_;
};

// The job writes AAAA, then another client asks to write BBBB there and
// waits; the job reads back its own AAAA, ends with its own status, and
// only then the other write lands.
TEST_P(CliHold, TheJobsCommandsRunTogetherAndOthersWaitForItsEnd)
{
    std::string mine = file("mine.bin"), got = file("got.bin"), mark = file("in"), gate = fifo("gate");
    write_file(mine, "AAAA");
    unlink(got.c_str());
    unlink(mark.c_str());
    std::string script = CLI + " write 0x20000000 " + mine + " && echo in > " + mark + " && read line < " + gate +
                         " && " + CLI + " read 0x20000000 4 -o " + got + " && exit 3";
    pid_t pid = job(script, "job");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return exists(mark); })) << read_file(scratch("job.err"));
    EXPECT_EQ(holder().name, "tarvex-cli");

    std::atomic<int> other_result{99};
    std::thread other([&] {
        client k = open_client("other");
        int mode = 0, result = 0;
        const uint8_t bytes[4] = {'B', 'B', 'B', 'B'};
        tarvex::mem_request r;
        r.assoc = k.assoc;
        r.addr = 0x20000000;
        r.count = 4;
        EXPECT_EQ(tarvex::ensure_debug_mode(k.c, k.assoc, &mode), 0);
        EXPECT_EQ(tarvex::write_mem(k.c, r, bytes, &result, 60000), 0);
        other_result = result;
    });
    EXPECT_TRUE(eventually([&] { return holder().waiters == 1; })) << "the other client waits";
    release_job(gate);
    EXPECT_EQ(exit_status(pid), 3) << read_file(scratch("job.err"));
    other.join();
    EXPECT_EQ(read_file(got), "AAAA") << "the job read its own bytes back";
    EXPECT_EQ(other_result, 0);
    EXPECT_EQ(server_.control("mem 0 20000000 4"), "ok 42424242") << "the other write came after the job";
    EXPECT_FALSE(holder().held);
    EXPECT_NE(server_.stderr_text().find("(released)"), std::string::npos) << "given back, not dropped";
}

struct status_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *err; // in standard error
    std::string env = "";
};

TEST_P(CliHold, ExitStatuses)
{
    std::string plain = file("not-executable");
    write_file(plain, "data\n");
    client other = open_client("holder-test");
    const status_case cases[] = {
        {"the command's status", {"hold", "--", "/bin/sh", "-c", "exit 7"}, 7, ""},
        {"the command's signal", {"hold", "--", "/bin/sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, ""},
        {"no such command", {"hold", "--", "/nonexistent/job"}, 127, "cannot run /nonexistent/job"},
        {"not executable", {"hold", "--", plain}, 126, "cannot run"},
        {"without --", {"hold", "/bin/true"}, 125, "usage: tarvex-cli hold"},
        {"no command", {"hold", "--"}, 125, "usage: tarvex-cli hold"},
        {"no such probe", {"--probe", "7", "hold", "--", "/bin/true"}, 125, "no probe 7"},
        {"malformed TARVEX_HOLD", {"halt"}, 1, "TARVEX_HOLD is not", "TARVEX_HOLD=nonsense"},
        {"made-up token", {"halt"}, 4, "has ended", "TARVEX_HOLD=" + SERIAL + ":0123456789abcdef0123456789abcdef"},
    };
    for (const status_case &c : cases) {
        tarvex_test::program_run r = cli(c.args, c.env);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << ": " << r.err;
    }
    int result = 99;
    ASSERT_EQ(tarvex::hold_probe(other.c, other.assoc, 0, &result), 0);
    ASSERT_EQ(result, 0);
    tarvex_test::program_run held = cli({"hold", "--wait", "0.3", "--", "/bin/true"});
    EXPECT_EQ(held.status, 125) << held.err;
    EXPECT_NE(held.err.find("held by holder-test"), std::string::npos) << held.err;
}

// A token names its hold only while it lasts: not after the job ended,
// not after the hold's process was killed.
TEST_P(CliHold, AStaleTokenGivesNothing)
{
    std::string token_file = file("token"), status_file = file("status"), gate = fifo("stale-gate");
    ASSERT_EQ(cli({"hold", "--", "/bin/sh", "-c", "echo $TARVEX_HOLD > " + token_file}).status, 0);
    std::string ticket = read_file(token_file);
    ticket.pop_back();
    ASSERT_EQ(ticket.rfind(SERIAL + ":", 0), 0u) << ticket;
    tarvex_test::program_run after = cli({"halt"}, "TARVEX_HOLD=" + ticket);
    EXPECT_EQ(after.status, 4) << after.err;
    EXPECT_NE(after.err.find("has ended: nothing was done"), std::string::npos) << after.err;

    unlink(status_file.c_str());
    // The hold is taken before its command starts: the command says when
    // it runs, so that the FIFO has its reader when the test writes it.
    std::string started = file("stale-started");
    unlink(started.c_str());
    pid_t pid =
        job("touch " + started + "; read line < " + gate + "; " + CLI + " regs; echo $? > " + status_file, "killed");
    ASSERT_TRUE(eventually([&] { return exists(started); }));
    ASSERT_TRUE(holder().held);
    kill(pid, SIGKILL);
    EXPECT_EQ(exit_status(pid), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return !holder().held; })) << "the hold ended with its process";
    release_job(gate);
    ASSERT_TRUE(eventually([&] { return read_file(status_file) != ""; }));
    EXPECT_EQ(read_file(status_file), "4\n") << "the job's next command did nothing";
}

// Five jobs queue behind a holder, each started once the one before says
// it waits; each job's hold request keeps its place, so they get the probe
// in the order they asked for it.
TEST_P(CliHold, QueuedJobsGetTheProbeInTheOrderTheyAsked)
{
    client gatekeeper = open_client("gate-keeper");
    int result = 99;
    ASSERT_EQ(tarvex::hold_probe(gatekeeper.c, gatekeeper.assoc, 0, &result), 0);
    ASSERT_EQ(result, 0);
    std::string order = file("order");
    unlink(order.c_str());
    std::vector<pid_t> jobs;
    for (int i = 1; i <= 5; i++) {
        std::string name = "queued" + std::to_string(i);
        jobs.push_back(job("echo " + std::to_string(i) + " >> " + order, name));
        ASSERT_TRUE(eventually([&] {
            return read_file(scratch(name + ".err")).find("waiting for probe 0, held by gate-keeper for ") !=
                   std::string::npos;
        })) << name;
    }
    EXPECT_EQ(holder().waiters, 5);
    ASSERT_EQ(tarvex::release_probe(gatekeeper.c, gatekeeper.assoc, &result), 0);
    for (size_t i = 0; i < jobs.size(); i++)
        EXPECT_EQ(exit_status(jobs[i]), 0) << read_file(scratch("queued" + std::to_string(i + 1) + ".err"));
    EXPECT_EQ(read_file(order), "1\n2\n3\n4\n5\n");
}

std::string transport_name(const ::testing::TestParamInfo<const char *> &info)
{
    return info.param;
}

INSTANTIATE_TEST_SUITE_P(Transports, CliHold, ::testing::Values("tcp", "unix"), transport_name);

} // namespace
