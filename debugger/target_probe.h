// What a front end asks of the probe behind a link beyond its core: its
// firmware, the target's voltage and IDCODE, the SWD clock, and SWO trace.
// Every function answers a target_result; TARGET_FAILED leaves what the
// probe answered in the link's last_result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarvex_text.h"
#include "target_link.h"

namespace tarvex_target
{

int probe_firmware(server_link &l, tarvex::probe_firmware *fw);
int probe_voltage(server_link &l, double *volts);
// The debug port's IDCODE; TARGET_OK with 0 when no target answered.
int probe_idcode(server_link &l, uint32_t *idcode);
// Sets the SWD clock nearest khz the probe has; *now_khz is the one in force.
int probe_clock(server_link &l, uint32_t khz, uint32_t *now_khz);

// SWO capture as UART at hz, then off again (the stop's failure is of no
// use to anyone: nothing is reported).
int trace_start(server_link &l, uint32_t hz);
void trace_stop(server_link &l);
// The captured bytes, up to max; the reply does not state its length, so
// it ends after quiet_ms without more. TARGET_FAILED when the probe's
// *result is negative. A trace read runs beside the core's requests (while
// a semihosted image runs, after it ended): it leaves last_result to them.
int trace_take(server_link &l, size_t max, std::vector<uint8_t> *data, int *result, int quiet_ms = 50);

} // namespace tarvex_target
