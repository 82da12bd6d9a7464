// The hand-off between the event loop and the probe workers, driven from the
// test's thread as the loop drives it: order per probe, probes side by side,
// every job back exactly once, the completion descriptor's wake-ups, the
// in-flight count and the end of a worker. A job that must stay in flight
// waits on a gate the test opens; nothing here waits on a delay.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "list_tarvex.h"
#include "probe_worker.h"
#include "server_process.h"

namespace
{

// Longest wait for a completion that must come: a hang fails the case.
constexpr int COMPLETION_WAIT_MS = 20000;

// Closed until opened; a job that waits on it stays in flight.
class gate
{
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Counts up; the test waits until a count is reached (a job has started).
class counter
{
public:
    void add()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        value_++;
        changed_.notify_all();
    }
    bool wait_for(int value)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(COMPLETION_WAIT_MS), [&] { return value_ >= value; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int value_ = 0;
};

// What the workers did, in the order they did it.
struct run_log {
    std::mutex mutex;
    std::vector<int> started;  // job ids as their run began
    std::vector<int> finished; // job ids as their run ended
    counter starts;
};

struct test_job {
    probe_job base; // first: the queues hold the probe_job
    int id;
    run_log *log;
    gate *holds; // null: runs straight through
    std::thread::id ran_on;
    pid_t ran_tid;
    bool signals_blocked; // SIGINT and SIGTERM in the worker's mask
    bool waited_before;   // others waited behind it as it began
    bool waited_after;    // and once its gate opened
};
static_assert(offsetof(test_job, base) == 0, "the hand-off passes the job as its probe_job");

bool thread_blocks(int sig)
{
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, sig) == 1;
}

void run_test_job(probe_job *base)
{
    auto *job = reinterpret_cast<test_job *>(base);
    job->ran_on = std::this_thread::get_id();
    job->ran_tid = static_cast<pid_t>(syscall(SYS_gettid));
    job->signals_blocked = thread_blocks(SIGINT) && thread_blocks(SIGTERM);
    job->waited_before = probe_worker_others_waiting(base);
    {
        std::lock_guard<std::mutex> lock(job->log->mutex);
        job->log->started.push_back(job->id);
    }
    job->log->starts.add();
    if (job->holds != nullptr)
        job->holds->wait();
    job->waited_after = probe_worker_others_waiting(base);
    std::lock_guard<std::mutex> lock(job->log->mutex);
    job->log->finished.push_back(job->id);
}

class ProbeWorker : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_GE(probe_worker_init(), 0); }

    void SetUp() override { ASSERT_EQ(probe_worker_in_flight(), 0u) << "a case before this one left jobs behind"; }

    // A failed case may leave jobs gated: they are let go and taken back
    // before the workers stop, as stopping requires.
    void TearDown() override
    {
        first_.open();
        second_.open();
        while (probe_worker_in_flight() > 0 && take_done(1) == 1)
            ;
        EXPECT_EQ(probe_worker_in_flight(), 0u);
        probe_worker_stop(&probe_a_);
        probe_worker_stop(&probe_b_);
        EXPECT_TRUE(out_.empty()) << out_.size() << " jobs submitted and never taken back";
    }

    // A job of ours, owned here until it comes back.
    test_job *submit(tarvex_usb *usb, int id, gate *holds = nullptr)
    {
        auto *job = new test_job{};
        job->base.run = run_test_job;
        job->id = id;
        job->log = &log_;
        job->holds = holds;
        EXPECT_TRUE(probe_worker_queue(usb, &job->base)) << "queued on a worker";
        out_[id] = job;
        returns_[id] = 0;
        return job;
    }

    // Takes back completed jobs as the loop does on each wake-up, until
    // `count` have come back or none comes for COMPLETION_WAIT_MS. Returns
    // how many came; their ids are appended to done_order_, and each is freed.
    int take_done(int count)
    {
        int taken = 0;
        while (taken < count) {
            probe_job *job = probe_worker_next_done();
            if (job == nullptr) {
                struct pollfd p = {probe_worker_event_fd(), POLLIN, 0};
                if (poll(&p, 1, COMPLETION_WAIT_MS) != 1)
                    break;
                drain_event_count();
                continue;
            }
            give_back(reinterpret_cast<test_job *>(job));
            taken++;
        }
        return taken;
    }

    void give_back(test_job *job)
    {
        int id = job->id;
        returns_[id]++;
        done_order_.push_back(id);
        ran_on_[id] = job->ran_on;
        ran_tid_[id] = job->ran_tid;
        blocked_[id] = job->signals_blocked;
        waited_[id] = {job->waited_before, job->waited_after};
        out_.erase(id);
        delete job;
    }

    // The completions signalled since the last call (the loop never reads the
    // counter; the test reads it to count the writes).
    static uint64_t drain_event_count()
    {
        eventfd_t value = 0;
        if (eventfd_read(probe_worker_event_fd(), &value) != 0)
            return 0;
        return value;
    }

    std::vector<int> started()
    {
        std::lock_guard<std::mutex> lock(log_.mutex);
        return log_.started;
    }
    std::vector<int> finished()
    {
        std::lock_guard<std::mutex> lock(log_.mutex);
        return log_.finished;
    }

    tarvex_usb probe_a_{};
    tarvex_usb probe_b_{};
    gate first_, second_;
    run_log log_;
    std::map<int, test_job *> out_; // submitted, not yet back
    std::map<int, int> returns_;    // times each job came back
    std::vector<int> done_order_;
    std::map<int, std::thread::id> ran_on_;
    std::map<int, pid_t> ran_tid_;
    std::map<int, bool> blocked_;
    std::map<int, std::pair<bool, bool>> waited_; // waited_before, waited_after
};

TEST_F(ProbeWorker, OneProbesJobsRunOneAtATimeInSubmissionOrderOnItsOwnThread)
{
    const std::vector<int> ids = {7, 3, 9, 1, 4, 8, 2, 6, 5, 0};
    // The first is held so that all the others queue behind it.
    submit(&probe_a_, ids[0], &first_);
    for (size_t i = 1; i < ids.size(); i++)
        submit(&probe_a_, ids[i]);
    ASSERT_TRUE(log_.starts.wait_for(1));
    EXPECT_EQ(started(), std::vector<int>{ids[0]}) << "nothing overtakes a job that is still running";
    first_.open();
    ASSERT_EQ(take_done(static_cast<int>(ids.size())), static_cast<int>(ids.size()));
    EXPECT_EQ(started(), ids);
    EXPECT_EQ(finished(), ids);
    EXPECT_EQ(done_order_, ids) << "one worker: completion order is submission order";
    for (int id : ids) {
        EXPECT_EQ(ran_on_[id], ran_on_[ids[0]]) << "job " << id << " ran on another thread";
        EXPECT_TRUE(blocked_[id]) << "SIGINT is the loop's: a worker blocks it";
    }
    EXPECT_NE(ran_on_[ids[0]], std::this_thread::get_id()) << "ran on the submitter's thread";
}

// A running job sees the jobs queued behind it on its own worker, and only
// those: what a long poll asks before it goes on.
TEST_F(ProbeWorker, ARunningJobSeesWhatWaitsBehindItOnItsOwnWorkerOnly)
{
    submit(&probe_a_, 1, &first_);
    ASSERT_TRUE(log_.starts.wait_for(1));
    submit(&probe_a_, 2);
    submit(&probe_b_, 3, &second_);
    ASSERT_TRUE(log_.starts.wait_for(2)) << "probe B's job runs beside the held one";
    submit(&probe_b_, 4);
    first_.open();
    ASSERT_EQ(take_done(2), 2) << "probe A's jobs";
    second_.open();
    ASSERT_EQ(take_done(2), 2) << "probe B's jobs";
    const std::map<int, std::pair<bool, bool>> want = {
        {1, {false, true}}, {2, {false, false}}, {3, {false, true}}, {4, {false, false}}};
    EXPECT_EQ(waited_, want);
}

// A job held on probe A keeps its worker busy; probe B's job, submitted after
// it, runs and comes back meanwhile, and so comes back first.
TEST_F(ProbeWorker, TwoProbesRunSideBySideAndComeBackInCompletionOrder)
{
    submit(&probe_a_, 1, &first_);
    submit(&probe_a_, 2);
    ASSERT_TRUE(log_.starts.wait_for(1));
    submit(&probe_b_, 3);
    ASSERT_EQ(take_done(1), 1) << "probe B's job came back while probe A's was held";
    EXPECT_EQ(done_order_, std::vector<int>{3});
    EXPECT_EQ(started(), (std::vector<int>{1, 3})) << "probe A's second job waits behind its first";
    EXPECT_EQ(probe_worker_in_flight(), 2u);
    first_.open();
    ASSERT_EQ(take_done(2), 2);
    EXPECT_EQ(done_order_, (std::vector<int>{3, 1, 2}));
    EXPECT_NE(ran_on_[1], ran_on_[3]) << "each probe has a worker of its own";
    EXPECT_EQ(ran_on_[1], ran_on_[2]);
}

// The loop's stand-in forgets some jobs while they are in flight, as it does
// the request of a client that went: each still comes back exactly once and
// is freed there, once (a second free would be ASan's to see); the others
// are unaffected.
TEST_F(ProbeWorker, AJobWhoseSubmitterIsGoneComesBackOnceAndIsFreedOnce)
{
    const int count = 12;
    for (int id = 0; id < count; id++)
        submit(id % 2 == 0 ? &probe_a_ : &probe_b_, id, id == 0 ? &first_ : id == 1 ? &second_ : nullptr);
    ASSERT_TRUE(log_.starts.wait_for(2)) << "both probes' first jobs are running";
    std::vector<int> forgotten;
    for (int id = 0; id < count; id += 3) {
        out_.erase(id);
        forgotten.push_back(id);
    }
    second_.open();
    first_.open();
    ASSERT_EQ(take_done(count), count);
    for (int id = 0; id < count; id++)
        EXPECT_EQ(returns_[id], 1) << "job " << id;
    for (int id : forgotten)
        EXPECT_NE(std::find(done_order_.begin(), done_order_.end(), id), done_order_.end()) << id;
    EXPECT_EQ(probe_worker_next_done(), nullptr) << "nothing comes back twice";
    EXPECT_EQ(probe_worker_in_flight(), 0u);
}

TEST_F(ProbeWorker, InFlightCountsUntilTheLoopTakesTheJobBack)
{
    EXPECT_EQ(probe_worker_in_flight(), 0u);
    drain_event_count();
    submit(&probe_a_, 1, &first_);
    submit(&probe_b_, 2);
    submit(&probe_b_, 3);
    EXPECT_EQ(probe_worker_in_flight(), 3u);
    // Probe B's two jobs complete; they stay counted until taken back.
    uint64_t signalled = 0;
    for (int i = 0; i < 100 && signalled < 2; i++) {
        struct pollfd p = {probe_worker_event_fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, COMPLETION_WAIT_MS), 1);
        signalled += drain_event_count();
    }
    ASSERT_EQ(signalled, 2u) << "one write of the descriptor per completion";
    EXPECT_EQ(probe_worker_in_flight(), 3u) << "completed is not yet taken back";
    ASSERT_EQ(take_done(1), 1);
    EXPECT_EQ(probe_worker_in_flight(), 2u);
    ASSERT_EQ(take_done(1), 1);
    EXPECT_EQ(probe_worker_in_flight(), 1u) << "the held job is still in flight";
    EXPECT_EQ(probe_worker_next_done(), nullptr);
    first_.open();
    ASSERT_EQ(take_done(1), 1);
    EXPECT_EQ(probe_worker_in_flight(), 0u);
    EXPECT_EQ(done_order_, (std::vector<int>{2, 3, 1}));
}

// poll, as a level-triggered watcher, sees the descriptor readable once a job
// has completed and not before.
TEST_F(ProbeWorker, TheCompletionDescriptorBecomesReadableAtACompletion)
{
    drain_event_count();
    struct pollfd p = {probe_worker_event_fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 0) << "nothing has completed yet";
    submit(&probe_a_, 1, &first_);
    ASSERT_TRUE(log_.starts.wait_for(1));
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the job is running, not complete";
    EXPECT_EQ(probe_worker_next_done(), nullptr);
    first_.open();
    ASSERT_EQ(poll(&p, 1, COMPLETION_WAIT_MS), 1);
    EXPECT_TRUE(p.revents & POLLIN);
    probe_job *job = probe_worker_next_done();
    ASSERT_NE(job, nullptr) << "readable means a job is there to take";
    give_back(reinterpret_cast<test_job *>(job));
}

// The loop watches the descriptor edge-triggered and never reads it: every
// completion must be an edge of its own, or a job handed back after the
// first would never wake the loop.
TEST_F(ProbeWorker, EachCompletionWakesAnEdgeTriggeredWatcherThatNeverReads)
{
    int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epoll_fd, 0);
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = probe_worker_event_fd();
    ASSERT_EQ(epoll_ctl(epoll_fd, EPOLL_CTL_ADD, probe_worker_event_fd(), &ev), 0);
    struct epoll_event got[1];
    epoll_wait(epoll_fd, got, 1, 0); // an edge left by an earlier case
    for (int id = 1; id <= 3; id++) {
        submit(&probe_a_, id);
        ASSERT_EQ(epoll_wait(epoll_fd, got, 1, COMPLETION_WAIT_MS), 1) << "completion " << id << " woke nobody";
        probe_job *job = probe_worker_next_done();
        ASSERT_NE(job, nullptr);
        give_back(reinterpret_cast<test_job *>(job));
        EXPECT_EQ(epoll_wait(epoll_fd, got, 1, 0), 0) << "no new completion, no new edge";
    }
    close(epoll_fd);
    EXPECT_EQ(done_order_, (std::vector<int>{1, 2, 3}));
}

bool task_exists(pid_t tid)
{
    return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

TEST_F(ProbeWorker, StopWhileIdleEndsTheThreadAndAStoppedProbeGetsANewOne)
{
    probe_worker_stop(&probe_a_); // never used: nothing to stop
    EXPECT_EQ(probe_a_.worker, nullptr);
    submit(&probe_a_, 1);
    ASSERT_EQ(take_done(1), 1);
    ASSERT_NE(probe_a_.worker, nullptr);
    pid_t first_tid = ran_tid_[1];
    EXPECT_TRUE(task_exists(first_tid)) << "the idle worker waits for more";
    probe_worker_stop(&probe_a_);
    EXPECT_EQ(probe_a_.worker, nullptr);
    // The thread was joined; its task entry goes as the kernel reaps it.
    EXPECT_TRUE(tarvex_test::eventually([&] { return !task_exists(first_tid); }));
    probe_worker_stop(&probe_a_); // twice: harmless
    EXPECT_EQ(probe_a_.worker, nullptr);

    submit(&probe_a_, 2);
    ASSERT_EQ(take_done(1), 1);
    EXPECT_NE(ran_tid_[2], first_tid) << "a new worker, not the stopped one";
    EXPECT_NE(ran_on_[2], std::this_thread::get_id());
}

} // namespace
