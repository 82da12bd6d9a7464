#pragma once

// Reads the command line once; returns 0 when the process is to go on. Does
// not return after a help (status 255) or version (status 0) request.
int parse_cmdline_args(void *cmd_ctx, int argc, char *argv[]);

// The version text ("tarvex-server vREL-DESC (YYYY-MM-DD-HH:MM)").
const char *get_version();
// Writes the version text with a line end at output level (for --version,
// and for every get-version request, as log readers expect) and returns it.
const char *print_version();
