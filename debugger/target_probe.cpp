#include "target_probe.h"

#include "link_access.h"

namespace tarvex_target
{

int probe_firmware(server_link &l, tarvex::probe_firmware *fw)
{
    int result = 0;
    int rc = tarvex::read_probe_firmware(link_access::conn(l), l.assoc(), &result, fw);
    return link_access::settle(l, rc, result, result < 0);
}

int probe_voltage(server_link &l, double *volts)
{
    int result = 0;
    int rc = tarvex::read_voltage(link_access::conn(l), l.assoc(), &result, volts);
    return link_access::settle(l, rc, result, result < 0);
}

int probe_idcode(server_link &l, uint32_t *idcode)
{
    int result = 0;
    int rc = tarvex::read_idcode(link_access::conn(l), l.assoc(), &result, idcode);
    return link_access::settle(l, rc, result, result < 0);
}

// The reply's RESULT is the clock now in force, 0 when the probe refused.
int probe_clock(server_link &l, uint32_t khz, uint32_t *now_khz)
{
    int result = 0;
    int rc = tarvex::set_swd_clock(link_access::conn(l), l.assoc(), khz, &result);
    *now_khz = result > 0 ? static_cast<uint32_t>(result) : 0;
    return link_access::settle(l, rc, result, result <= 0);
}

int trace_start(server_link &l, uint32_t hz)
{
    int result = 0;
    int rc = tarvex::config_trace(link_access::conn(l), l.assoc(), true, hz, &result);
    return link_access::settle(l, rc, result, result != 0);
}

void trace_stop(server_link &l)
{
    int result = 0;
    link_access::settle(l, tarvex::config_trace(link_access::conn(l), l.assoc(), false, 0, &result));
}

int trace_take(server_link &l, size_t max, std::vector<uint8_t> *data, int *result, int quiet_ms)
{
    int rc = link_access::settle(l, tarvex::trace_read(link_access::conn(l), l.assoc(), max, result, data, quiet_ms));
    return rc == TARGET_OK && *result < 0 ? TARGET_FAILED : rc;
}

} // namespace tarvex_target
