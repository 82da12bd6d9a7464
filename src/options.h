#pragma once

// Reads the command line once; returns 0 when the process is to go on. Does
// not return after a help (status 255) or version (status 0) request.
int parse_cmdline_args(void *cmd_ctx, int argc, char *argv[]);

// Fills the version text ("tarvex-server vREL-DESC (YYYY-MM-DD-HH:MM)"),
// writes it with a line end at output level and returns it.
const char *get_version();
void print_version();
