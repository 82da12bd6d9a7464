// tarvex-cli rtt: streams the firmware's RTT up channels while the server
// captures them, and feeds down channel 0; and the RTT steps of flash and
// run after they loaded an image.
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"
#include "target_rtt.h"

namespace tarvex_cli
{

int cmd_rtt(cli_session &s, const std::vector<std::string> &args);

// "rtt: channel N: COUNT bytes lost" on standard error when the output has a loss.
void rtt_report_loss(const tarvex_target::rtt_output &o);

// After an image was loaded: when it has an RTT control block, the server
// is told where it lies (no capture is asked for), so a capture under way
// looks there at once. Silent when the server has no RTT.
void rtt_place_image(cli_session &s, const std::vector<uint8_t> &image);

} // namespace tarvex_cli
