#include "target_attach.h"

#include "link_access.h"

namespace tarvex_target
{

int attach_register(server_link &l, const char *client_name)
{
    return link_access::settle(l, tarvex::register_client(link_access::conn(l), client_name));
}

int attach_find(server_link &l, const std::string &selector, tarvex::probe_entry *probe)
{
    bool found = false;
    int rc = link_access::settle(l, tarvex::find_probe(link_access::conn(l), selector, probe, &found));
    return rc == TARGET_OK && !found ? TARGET_NO_PROBE : rc;
}

int attach_open(server_link &l, const tarvex::probe_entry &probe)
{
    uint32_t assoc = 0;
    int rc = link_access::settle(l, tarvex::open_device(link_access::conn(l), probe.key, &assoc));
    l.set_assoc(assoc);
    return rc == TARGET_OK && assoc == 0 ? TARGET_FAILED : rc;
}

int attach_debug_mode(server_link &l)
{
    int result = 0;
    int rc = tarvex::ensure_debug_mode(link_access::conn(l), l.assoc(), &result);
    return link_access::settle(l, rc, result, result < 0);
}

int attach_count(server_link &l, const tarvex::probe_entry &probe, const char *client_name, int *count)
{
    return link_access::settle(l, tarvex::usb_client_count(link_access::conn(l), probe.key, count, client_name));
}

int attach_rescan(server_link &l)
{
    return link_access::settle(l, tarvex::usb_refresh(link_access::conn(l)));
}

void detach(server_link &l)
{
    if (l.assoc() != 0 && !l.lost() && link_access::conn(l).is_open())
        tarvex::close_device(link_access::conn(l), l.assoc());
    l.set_assoc(0);
}

} // namespace tarvex_target
