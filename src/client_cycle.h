// One client's life, from its accept to the release of its associations: the
// phases of its request cycle, their deadlines, the gathering of a memory
// write's payload, the waits behind another client's hold and behind a
// refresh, and an RTT read's wait for bytes. Loop thread only. The transitions are in one switch (enter() in
// the .cpp), each phase with what the loop watches its socket for:
//
//   READING  --request-->        IN_FLIGHT | SENDING | GATHERING | HOLD_WAIT | IDLE_WAIT | RTT_WAIT
//   READING  --refresh waits-->  BEHIND_REFRESH --refresh ran--> READING
//   GATHERING --payload in-->    as READING's request
//   IN_FLIGHT --job back-->      SENDING | READING (all sent at once)
//   HOLD_WAIT --hold ended-->    as READING's request;  --wait limit--> SENDING | READING
//   IDLE_WAIT --no work left-->  as READING's request
//   RTT_WAIT --bytes, stop, probe gone, wait passed--> as READING's request
//   SENDING  --all sent-->       READING
//   any      --hang-up, failure, deadline--> RELEASING --associations released--> freed
#pragma once

#include <cstdint>

struct _sock_info;

enum client_phase : uint8_t {
    CLIENT_READING = 0,    // waits for a request
    CLIENT_GATHERING,      // a memory write's payload is still arriving (deadline: all of it)
    CLIENT_IN_FLIGHT,      // its request runs on a probe worker, which has its buffer meanwhile
    CLIENT_SENDING,        // its reply waits for the socket to take it (deadline: next progress)
    CLIENT_HOLD_WAIT,      // its request waits behind another client's hold (probe_hold.h)
    CLIENT_IDLE_WAIT,      // its refresh waits for the probe work in flight to end
    CLIENT_BEHIND_REFRESH, // a request came while a refresh waited: read once it has run
    CLIENT_RELEASING,      // the connection ended; its associations are being released
    CLIENT_RTT_WAIT,       // its RTT read waits for bytes (deadline: the read's own wait)
};

// A connection just accepted and watched for input.
void client_cycle_start(_sock_info *c);
// The client's socket is ready (epoll events).
void client_cycle_serve(_sock_info *c, uint32_t events);
// The connection is over: the socket goes at once and the record leaves the
// client list; the record itself goes once its associations are released.
void client_cycle_end(_sock_info *c);
// The probe workers' completion descriptor woke the loop.
void client_cycle_complete_jobs();
// After serving any ready descriptor: the requests that waited behind a hold
// that has ended are presented again, in their order, before any other.
void client_cycle_resume_hold_waiters();
// After each loop cycle: the RTT reads waiting for bytes are presented again
// when capture may have an answer for them (bytes, a stop, a probe gone).
void client_cycle_resume_rtt_readers();
// A refresh waits for the probe work in flight to end: nothing new goes to a worker.
bool client_cycle_refresh_waits();
// The deadlines passed at now: payloads and replies that took too long,
// waits behind holds, holds past --hold-max, RTT reads whose wait passed,
// idle connections.
void client_cycle_expire(uint64_t now);
// The nearest deadline of a client (gathering, sending, waiting behind a
// hold or for RTT bytes, idle), or UINT64_MAX.
uint64_t client_cycle_next_deadline_ms();
