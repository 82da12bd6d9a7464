// Inside the target layer only: its modules beyond the core's link
// (attaching, the probe's own requests, holds) send their requests on the
// link's connection and settle their replies as the link's own are, so
// lost() and last_result() speak for them too. The front ends never see
// the connection through a link.
#pragma once

#include "target_link.h"

namespace tarvex_target
{

struct link_access {
    static tarvex::connection &conn(server_link &l) { return *l.conn_; }
    // rc the client library's, result the reply's RESULT, failed whether
    // that result is a failure for this request.
    static int settle(server_link &l, int rc, int result, bool failed) { return l.settle(rc, result, failed); }
    // A request whose result is not the probe's word on the core: a reply
    // that came is all it settles, and last_result keeps what the core's
    // requests left in it.
    static int settle(server_link &l, int rc)
    {
        if (rc == 0)
            return TARGET_OK;
        l.mark_lost();
        return TARGET_LOST;
    }
};

} // namespace tarvex_target
