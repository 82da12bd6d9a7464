// The life of one probe operation, from the loop to the probe's worker and
// back. The hand-off itself is probe_worker's; this is what rides on it.
//
// Rules:
// - Every probe operation is a probe_request submitted with
//   probe_request_submit; nothing sends a command to a probe any other way.
//   Its work part runs on the probe's worker thread, its finish part on the
//   loop's thread once the worker has handed it back (probe_request_complete,
//   called for each job the completion queue returns).
// - work touches only the probe's handle (`handle`, and the probe's own
//   registry entry `usb` where a driver call takes it) and buffers the job
//   owns or was lent for its life. It never reads a client's record, the
//   association list or the registry list: what it needs from them (a name
//   for log lines, a key) is copied into the job before submission.
// - finish turns the outcome into its effect: a reply into the owner's
//   buffer, an association kept or dropped, a sample stored.
// - The loop touches neither the job nor what it lent the job between
//   submission and finish.
// - What the probe's transfers did while the job ran (tarvex_usb_counters)
//   rides back in the job, and the loop adds it to the probe's statistics
//   (server_stats.h) when it takes the job back: the statistics have one
//   writer, the loop.
// - A job need not belong to a client: `owner` is then null and finish is
//   where its result goes. A timer-driven capture owns one record per probe:
//
//       struct capture_job { probe_request base; uint8_t block[1024]; uint32_t got; };
//       static void read_block(probe_request *j);  // worker: reads into block
//       static void keep_block(probe_request *j);  // loop: appends block to the capture
//       ...on its timer, when the previous one has come back:
//       job->base = {};
//       job->base.work = read_block;
//       job->base.finish = keep_block;
//       probe_request_bind(&job->base, usb);
//       if (!probe_request_submit(&job->base)) ...try again on the next tick
//
//   probe_request_complete then returns null and the loop has no client to
//   serve for it.
#pragma once

#include "probe_worker.h"
#include "tarvex_usb.h"

struct _sock_info;
struct tarvex_usb;
struct tarvex_usb_handle_s;

struct probe_request {
    probe_job base;                  // must stay first
    void (*work)(probe_request *);   // on the probe's worker
    void (*finish)(probe_request *); // on the loop, once the worker is done with it
    _sock_info *owner;               // loop only: the client whose request this is, or null
    tarvex_usb *usb;                 // the probe it acts on
    tarvex_usb_handle_s *handle;     // usb's handle as the loop saw it at submission
    const char *kind;                // loop: what the operation is, for the statistics; null: "other"
    uint64_t submitted_us;           // loop
    tarvex_usb_counters usb_delta;   // worker: what the handle's counters gained while it ran
};

// Loop: names the probe the job acts on (usb and its handle).
void probe_request_bind(probe_request *req, tarvex_usb *usb);
// Loop: queues the job on its probe's worker, starting the worker on first
// use. False when no worker thread can run it (none could be made, or the
// completion descriptor is missing): nothing ran, the error is logged, and
// the caller answers with the operation's failure.
bool probe_request_submit(probe_request *req);
// Loop: a job the completion queue handed back. Runs its finish part and
// returns its owner (null for a job without client).
_sock_info *probe_request_complete(probe_job *job);
