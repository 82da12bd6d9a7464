#pragma once

#include <csignal>

// Installs ctrl_handler for SIGINT; true when it is in place. Call it on
// the thread that runs the loop: the handler acts on that thread only.
bool install_ctrl_handler();
void ctrl_handler(int sig, siginfo_t *siginfo, void *context);
