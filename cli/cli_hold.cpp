#include "cli_hold.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli_run.h"
#include "target_hold.h"

namespace tarvex_cli
{

constexpr int STATUS_CANNOT_EXECUTE = 126;
constexpr int STATUS_NOT_FOUND = 127;
constexpr int FORWARDED[] = {SIGINT, SIGTERM, SIGHUP};

static volatile sig_atomic_t command_pid = 0;

// A signal sent to this process is passed on to the command; one the
// terminal raised (Ctrl-C) has reached the command already, as it shares
// the terminal's process group. Either way the hold lasts until the command
// has ended, so that a command that stops cleanly can still use it.
static void forward(int sig, siginfo_t *info, void *)
{
    if (info->si_code <= 0 && command_pid > 0)
        kill(command_pid, sig);
}

static void set_forwarding(bool on)
{
    struct sigaction sa = {};
    sa.sa_flags = on ? SA_SIGINFO | SA_RESTART : 0;
    if (on)
        sa.sa_sigaction = forward;
    else
        sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : FORWARDED)
        sigaction(sig, &sa, nullptr);
}

// In the child: the command's environment names the hold and the server.
[[noreturn]] static void exec_command(const cli_session &s, const std::string &ticket,
                                      const std::vector<std::string> &args)
{
    setenv(tarvex::HOLD_VARIABLE, ticket.c_str(), 1);
    setenv("TARVEX_HOST", s.opt.server.host.c_str(), 1);
    setenv("TARVEX_PORT", std::to_string(s.opt.server.port).c_str(), 1);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    int error = errno;
    fprintf(stderr, "tarvex-cli: hold: cannot run %s: %s\n", argv[0], strerror(error));
    _exit(error == ENOENT ? STATUS_NOT_FOUND : STATUS_CANNOT_EXECUTE);
}

static int wait_command(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return fail(RUN_STATUS_NOT_RUN, "hold: lost the command: %s", strerror(errno));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int run_under(cli_session &s, const std::string &ticket, const std::vector<std::string> &args)
{
    fflush(nullptr);
    set_forwarding(true);
    pid_t pid = fork();
    if (pid == 0)
        exec_command(s, ticket, args);
    if (pid < 0) {
        set_forwarding(false);
        return fail(RUN_STATUS_NOT_RUN, "hold: cannot start %s: %s", args[0].c_str(), strerror(errno));
    }
    command_pid = pid;
    int status = wait_command(pid);
    command_pid = 0;
    set_forwarding(false);
    return status;
}

// The session holds the probe already, as every probe command does, and
// gives the hold back when this returns.
int cmd_hold(cli_session &s, const std::vector<std::string> &args)
{
    std::string token;
    int rc = tarvex_target::hold_share(s.link, &token);
    if (rc != tarvex_target::TARGET_OK) {
        if (rc == tarvex_target::TARGET_LOST)
            lost_server(tarvex_wire::KW_SHARE_HOLD);
        else
            fail(EXIT_FAILED, "the server gives no token for the hold on probe %d", s.probe.index);
        return RUN_STATUS_NOT_RUN;
    }
    tarvex::hold_ticket ticket{s.probe.serial, token};
    return run_under(s, tarvex::hold_ticket_text(ticket), args);
}

} // namespace tarvex_cli
