// The only place where the server's threads meet.
//
// Rules:
// - The event loop's thread owns every socket, the socket list, the
//   associations and the probe registry. Nothing here reads or writes them.
// - Each registry entry that has had work gets one worker thread. A worker
//   runs the jobs of its own probe, one at a time, in submission order, so
//   access to one probe is serialised as it always was, while probes proceed
//   side by side. A job's run() touches only its probe's handle and the
//   buffers the job points at; the loop does not touch those until the job
//   comes back to it.
// - Hand-off and hand-back go through two queues under their own mutexes;
//   neither mutex is ever held while a job runs, so no lock but the probe's
//   own worker is held across a USB transfer. A worker sleeps on a semaphore
//   that counts its queued jobs (plus one for the stop request). A finished
//   job is appended to the done queue and the loop is woken through an
//   eventfd in its epoll set.
// - A worker is stopped only when none of its jobs is in flight (the probe's
//   entry is being released), so stopping never waits on a transfer.
// - A running job may ask whether others wait behind it on its worker (a
//   look at the queue under its mutex), and nothing more of the queue.
// - Workers block every signal: SIGINT is taken on the loop's thread.
#include "probe_worker.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "list_tarvex.h"
#include "tarvex_log.h"

struct probe_worker {
    pthread_t thread;
    pthread_mutex_t lock; // queue
    // Posted once per queued job and once to stop. A semaphore rather than a
    // condition: a woken condition waiter takes the lock back marked as
    // contended, and its unlock then costs a futex call every job.
    sem_t wake;
    list_head queue; // jobs not yet started, in submission order
};

struct done_queue {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    list_head jobs = LIST_HEAD_INIT(jobs);
    int event_fd = -1;
    unsigned in_flight = 0; // loop thread only
};

static done_queue done;

int probe_worker_init()
{
    if (done.event_fd < 0)
        done.event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return done.event_fd;
}

int probe_worker_event_fd()
{
    return done.event_fd;
}

static void hand_back(probe_job *job)
{
    pthread_mutex_lock(&done.lock);
    list_add_tail(&job->link, &done.jobs);
    pthread_mutex_unlock(&done.lock);
    // The loop watches the eventfd edge-triggered and never reads it: every
    // write is a wake-up of its own, and a job handed back while the loop
    // drains the queue wakes it again. The count would take centuries of
    // writes to saturate; a saturated one still wakes.
    if (eventfd_write(done.event_fd, 1) < 0 && errno != EAGAIN)
        LOG_ERROR("probe worker: cannot signal a completion. Error = %d", errno);
}

// The next job of the worker, or null once it is asked to stop: a post with
// nothing queued can only be the stop request, which comes after every job.
static probe_job *next_job(probe_worker *w)
{
    while (sem_wait(&w->wake) != 0)
        ; // EINTR: workers block every signal, but a debugger may still interrupt
    pthread_mutex_lock(&w->lock);
    probe_job *job = nullptr;
    if (!list_empty(&w->queue)) {
        job = list_entry<probe_job>(w->queue.next);
        list_del(&job->link);
    }
    pthread_mutex_unlock(&w->lock);
    return job;
}

static void *worker_main(void *arg)
{
    auto *w = static_cast<probe_worker *>(arg);
    for (probe_job *job = next_job(w); job != nullptr; job = next_job(w)) {
        job->run(job);
        hand_back(job);
    }
    return nullptr;
}

static probe_worker *start_worker()
{
    auto *w = static_cast<probe_worker *>(calloc(1, sizeof(probe_worker)));
    if (w == nullptr)
        return nullptr;
    pthread_mutex_init(&w->lock, nullptr);
    sem_init(&w->wake, 0, 0);
    init_list_head(&w->queue);
    // The new thread inherits the signal mask in force here.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int rc = pthread_create(&w->thread, nullptr, worker_main, w);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc == 0)
        return w;
    LOG_ERROR("probe worker: cannot start a thread (error %d)", rc);
    sem_destroy(&w->wake);
    pthread_mutex_destroy(&w->lock);
    free(w);
    return nullptr;
}

static void enqueue(probe_worker *w, probe_job *job)
{
    job->worker = w;
    done.in_flight++;
    pthread_mutex_lock(&w->lock);
    list_add_tail(&job->link, &w->queue);
    pthread_mutex_unlock(&w->lock);
    // Posted after the unlock: a worker woken while the loop still held the
    // lock would only block on it again, two more thread switches a request
    // when both share a CPU.
    sem_post(&w->wake);
}

static probe_worker *worker_of(tarvex_usb *usb)
{
    if (done.event_fd >= 0 && usb->worker == nullptr)
        usb->worker = start_worker();
    return usb->worker;
}

bool probe_worker_queue(tarvex_usb *usb, probe_job *job)
{
    probe_worker *w = usb != nullptr ? worker_of(usb) : nullptr;
    if (w == nullptr)
        return false;
    enqueue(w, job);
    return true;
}

bool probe_worker_others_waiting(const probe_job *job)
{
    probe_worker *w = job->worker;
    pthread_mutex_lock(&w->lock);
    bool waiting = !list_empty(&w->queue);
    pthread_mutex_unlock(&w->lock);
    return waiting;
}

static probe_job *take_done()
{
    pthread_mutex_lock(&done.lock);
    probe_job *job = nullptr;
    if (!list_empty(&done.jobs)) {
        job = list_entry<probe_job>(done.jobs.next);
        list_del(&job->link);
    }
    pthread_mutex_unlock(&done.lock);
    return job;
}

probe_job *probe_worker_next_done()
{
    probe_job *job = take_done();
    if (job != nullptr)
        done.in_flight--;
    return job;
}

unsigned probe_worker_in_flight()
{
    return done.in_flight;
}

void probe_worker_stop(tarvex_usb *usb)
{
    probe_worker *w = usb->worker;
    if (w == nullptr)
        return;
    usb->worker = nullptr;
    sem_post(&w->wake);
    pthread_join(w->thread, nullptr);
    sem_destroy(&w->wake);
    pthread_mutex_destroy(&w->lock);
    free(w);
}
