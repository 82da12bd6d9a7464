// Runs the real tarvex-server (optionally under the virtual-probe launcher)
// as a child process on a free loopback port, for tests and benchmarks.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tarvex_client.h"

namespace tarvex_test
{

// A port nobody listens on right now.
uint16_t free_port();

class server_process
{
public:
    server_process();
    ~server_process();
    server_process(const server_process &) = delete;
    server_process &operator=(const server_process &) = delete;

    // Starts the server with "-p PORT" and extra_args; with vprobe_args
    // non-empty (or use_vprobe) it runs under tarvex-vprobe with those
    // arguments and a control socket. Does not wait for the port. The port
    // is a free one unless set before the call.
    int start(const std::vector<std::string> &extra_args, const std::vector<std::string> &vprobe_args = {},
              bool use_vprobe = false);
    // Waits until the port is listening (no connection is made, so the
    // auto-exit rule is not disturbed). 0 when it is.
    int wait_listening(int timeout_ms = 10000);
    // Exit status (128 + signal when killed), or -1 if still running.
    int wait_exit(int timeout_ms = 10000);
    void send_signal(int sig);

    // A new client connection to the server.
    tarvex::connection connect();
    std::string stdout_text() const;
    std::string stderr_text() const;
    // The last lines of standard error, at most `bytes` of them: what a
    // failed wait prints, where the whole log would be cut in the middle.
    std::string stderr_tail(size_t bytes = 4000) const;
    // Waits until the server's standard error holds text; false after timeout_ms.
    bool wait_stderr(const std::string &text, int timeout_ms = 30000) const;
    // The control socket of the virtual probe launcher.
    const std::string &control_path() const { return control_path_; }
    // One request on the launcher's control channel; the reply line.
    std::string control(const std::string &request);

    uint16_t port = 0;
    pid_t pid = -1;
    std::string dir;
    // TARVEX_TEST_TIMING of the server start() runs (shortened waits); empty: the real ones.
    std::string timing;
    // A program and its arguments that start() runs the server under
    // ("prlimit --nofile=32:32 --"); empty: none.
    std::vector<std::string> launcher;

private:
    std::string control_path_;
    int status_ = -1;
};

// Runs a program (argv[0] a path) to its end, standard input /dev/null;
// returns its exit status (128 + signal when killed, -1 still running after
// timeout_ms) and the text it wrote.
int run_to_end(const std::vector<std::string> &argv, std::string *out, std::string *err, int timeout_ms = 10000);

// Starts a program (argv[0] a path) with standard input /dev/null and its
// output in the files out and err; the child's pid, -1 when fork failed.
pid_t spawn_program(const std::vector<std::string> &argv, const std::string &out, const std::string &err);
// A program (argv[0] a path) whose standard input is a pipe the test holds,
// so that its input ends only when the test closes it, and whose output
// goes into files the test reads while it runs. Killed when destroyed.
struct piped_child {
    pid_t pid = -1;
    int input = -1; // the pipe's write end
    std::string out, err;

    piped_child() = default;
    piped_child(const piped_child &) = delete;
    piped_child &operator=(const piped_child &) = delete;
    ~piped_child();
    // tag makes the output files' names unique. 0, or -1 when it failed.
    int start(const std::vector<std::string> &argv, const std::string &tag);
    std::string stdout_text() const;
    std::string stderr_text() const;
    // Waits until its standard output holds text; false after timeout_ms.
    bool printed(const std::string &text, int timeout_ms = 20000) const;
    // The exit status after SIGINT; -1 when it did not end in time or did
    // not exit by itself.
    int interrupt(int timeout_ms = 10000);
};

// Starts a program on a new pseudo-terminal, whose master side goes into
// *master; the child's pid, -1 when forkpty failed.
pid_t spawn_on_terminal(const std::vector<std::string> &argv, int *master);

// Runs the server binary with args to its end; returns its exit status and
// the text it wrote.
int run_server_to_end(const std::vector<std::string> &args, std::string *out, std::string *err, int timeout_ms = 10000);

// Whether this host has the IPv6 loopback address (a container may not).
bool ipv6_loopback_available();

// Whether 127.0.0.1:port (or 0.0.0.0:port) is in LISTEN state.
bool port_listening(uint16_t port, bool any_address = false);

// Polls every 5 ms until ready() holds: true, or false after timeout_ms.
// For waiting on an event another process shows only by its effects.
bool eventually(const std::function<bool()> &ready, int timeout_ms = 20000);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
// A file name in the temporary directory, unique to this process.
std::string scratch_path(const std::string &prefix, const std::string &name);

// What a program run to its end left.
struct program_run {
    int status = -1;
    std::string out;
    std::string err;
};

// Open descriptors and resident memory (KiB) of a process, -1 when unknown.
long open_descriptors(pid_t pid);
// "N -> target" for each open descriptor of a process, sorted.
std::vector<std::string> descriptor_targets(pid_t pid);
long resident_kib(pid_t pid);

// One request on a virtual probe launcher's control socket; the reply line.
std::string vprobe_control(const std::string &socket_path, const std::string &request);

// Unless this process already runs under the virtual probe launcher, runs
// argv again as `tarvex-vprobe VPROBE_ARGS -- argv...`; does not return then.
void reexec_under_vprobe(char **argv, const std::vector<std::string> &vprobe_args);

} // namespace tarvex_test
