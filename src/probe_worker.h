// The hand-off between the event loop and the probe workers: one thread per
// probe runs that probe's operations, one at a time, in the order the loop
// submitted them. The rules are at the top of probe_worker.cpp.
#pragma once

#include "list.h"

struct tarvex_usb;

// One operation on one probe. The submitter owns the record; it is handed to
// the worker by probe_worker_queue and back by probe_worker_next_done.
struct probe_job {
    list_head link; // must stay first: in the worker's queue, then the done queue
    // Runs on the probe's worker. It may touch the probe's handle and the
    // buffers the job points at, nothing the loop owns.
    void (*run)(probe_job *job);
    struct probe_worker *worker; // set by probe_worker_queue
};

// Creates the completion descriptor the loop watches, edge-triggered (it is
// never read: each completion is a new edge). Returns it, or -1 (errno
// set). Until this is called, no job can be queued.
int probe_worker_init();
// The completion descriptor (an eventfd), or -1 before probe_worker_init.
int probe_worker_event_fd();
// Queues the job on the worker of `usb`, creating the worker on first use.
// False when it cannot be queued (probe_worker_init not called or failed, or
// the thread could not be made): the job did not run and never comes back.
bool probe_worker_queue(tarvex_usb *usb, probe_job *job);
// Worker: whether other jobs wait behind `job`, the one this worker runs,
// so that long work can make way for them.
bool probe_worker_others_waiting(const probe_job *job);
// The next completed job, in completion order, or null. Loop thread only;
// call it until null on every wake-up of the completion descriptor.
probe_job *probe_worker_next_done();
// Jobs submitted and not yet taken back with probe_worker_next_done.
unsigned probe_worker_in_flight();
// Ends the worker of `usb` and waits for its thread; the entry no longer has
// one. REQUIRES: none of its jobs in flight.
void probe_worker_stop(tarvex_usb *usb);
