#include "probe_request.h"

#include <cstddef>

#include "list_tarvex.h"
#include "tarvex_log.h"

static_assert(offsetof(probe_request, base) == 0, "the worker hands back the job's address");

static void run_work(probe_job *job)
{
    auto *req = reinterpret_cast<probe_request *>(job);
    req->work(req);
}

void probe_request_bind(probe_request *req, tarvex_usb *usb)
{
    req->usb = usb;
    req->handle = usb != nullptr ? usb->dev : nullptr;
}

bool probe_request_submit(probe_request *req)
{
    req->base.run = run_work;
    if (probe_worker_queue(req->usb, &req->base))
        return true;
    LOG_ERROR("probe %s: no worker thread to run the operation: it fails",
              req->usb != nullptr ? req->usb->serial : "?");
    return false;
}

_sock_info *probe_request_complete(probe_job *job)
{
    auto *req = reinterpret_cast<probe_request *>(job);
    _sock_info *owner = req->owner;
    req->finish(req);
    return owner;
}
