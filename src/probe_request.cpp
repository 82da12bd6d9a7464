#include "probe_request.h"

#include <cstddef>

#include "list_tarvex.h"
#include "server_stats.h"
#include "tarvex_log.h"
#include "time_support_common.h"

static_assert(offsetof(probe_request, base) == 0, "the worker hands back the job's address");

static tarvex_usb_counters gained(const tarvex_usb_counters &before, const tarvex_usb_counters &after)
{
    return {after.transfer_failures - before.transfer_failures,
            after.timeouts - before.timeouts,
            after.wait_retries - before.wait_retries,
            after.bytes_read - before.bytes_read,
            after.bytes_written - before.bytes_written,
            after.state_reads - before.state_reads,
            after.last_state};
}

static void run_work(probe_job *job)
{
    auto *req = reinterpret_cast<probe_request *>(job);
    tarvex_usb_counters before = req->handle != nullptr ? req->handle->counters : tarvex_usb_counters{};
    req->work(req);
    req->usb_delta = req->handle != nullptr ? gained(before, req->handle->counters) : tarvex_usb_counters{};
}

void probe_request_bind(probe_request *req, tarvex_usb *usb)
{
    req->usb = usb;
    req->handle = usb != nullptr ? usb->dev : nullptr;
}

bool probe_request_submit(probe_request *req)
{
    req->base.run = run_work;
    req->submitted_us = monotonic_us();
    if (probe_worker_queue(req->usb, &req->base)) {
        stats_job_submitted(req->usb);
        return true;
    }
    LOG_ERROR("probe %s: no worker thread to run the operation: it fails",
              req->usb != nullptr ? req->usb->serial : "?");
    return false;
}

_sock_info *probe_request_complete(probe_job *job)
{
    auto *req = reinterpret_cast<probe_request *>(job);
    _sock_info *owner = req->owner;
    stats_job_done(req);
    req->finish(req);
    return owner;
}
