// Attaching a front end to a probe through tarvex-server, step by step in
// the order both front ends take them: name the connection, find the probe,
// open an association with it, put it into debug mode; and detaching. Each
// step answers a target_result; TARGET_LOST means no reply came (the link
// is lost from then on), and a probe that refused debug mode leaves its
// answer in the link's last_result.
#pragma once

#include <string>

#include "tarvex_text.h"
#include "target_link.h"

namespace tarvex_target
{

// Registers the link's connection under client_name: the server counts
// associations and logs clients by it.
int attach_register(server_link &l, const char *client_name);
// The probe a selector names as the command-line tools take it (a short
// all-digit index, else a serial): TARGET_OK, TARGET_LOST, TARGET_NO_PROBE.
int attach_find(server_link &l, const std::string &selector, tarvex::probe_entry *probe);
// Opens an association with the probe and makes it the link's: TARGET_OK,
// TARGET_LOST, or TARGET_FAILED when the server refused (the link's
// association then stays 0).
int attach_open(server_link &l, const tarvex::probe_entry &probe);
// SWD debug mode unless the probe already is in a debug mode (another client
// may be using it as it is): TARGET_OK, TARGET_LOST, or TARGET_FAILED with
// the mode change's result in last_result.
int attach_debug_mode(server_link &l);
// How many associations clients registered under client_name hold on the
// probe, this link's own included.
int attach_count(server_link &l, const tarvex::probe_entry &probe, const char *client_name, int *count);
// Asks the server to rescan the USB bus: a probe plugged back is listed,
// and works, only after that.
int attach_rescan(server_link &l);
// Closes the link's association, if it has one and the server still answers.
void detach(server_link &l);

} // namespace tarvex_target
