// The server's HTTP side (--http): GET /metrics, /healthz, /status.json and
// the status page at /. Off unless asked. libmicrohttpd runs without threads
// of its own: its epoll descriptor sits in the loop's epoll set and the loop
// calls http_side_run when it is readable or its time-out has come, so every
// answer is made on the loop's thread from state the loop owns.
#pragma once

#include <cstdint>

// --http ADDR:PORT ("PORT" or ":PORT" alone: loopback); false (logged) when
// the text names no address and port.
bool http_side_set_address(const char *text);
// --busy-limit SECONDS; false (logged) when the text is not a number > 0.
bool http_side_set_busy_limit(const char *text);

// After the probe port's sockets: starts listening when --http was given.
// 0 (also when off), or -1 when the address cannot be listened on (logged).
int http_side_start();
// The descriptor the loop watches for reading, or -1 when off.
int http_side_event_fd();
// Serves what is ready (the descriptor was readable, or the deadline came).
void http_side_run();
// When libmicrohttpd next wants to run (a connection's time-out), or UINT64_MAX.
uint64_t http_side_next_deadline_ms();
// At the end of the process.
void http_side_stop();
