// SIGINT ends the server from its event loop. The handler itself only records
// the signal and wakes the loop; the loop then closes every socket, removes
// the Unix socket file and ends the process with status 2.
#pragma once

#include <csignal>

// Installs ctrl_handler for SIGINT and makes the descriptor it wakes the loop
// through; true when both are in place.
bool install_ctrl_handler();
void ctrl_handler(int sig, siginfo_t *siginfo, void *context);
// The descriptor (an eventfd) the loop watches for reading; -1 when none.
int ctrl_event_fd();
// The loop's part, when ctrl_event_fd is readable: ends the process when
// SIGINT was taken, else returns.
void ctrl_event_serve();
