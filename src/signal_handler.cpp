#include "signal_handler.h"

#include <unistd.h>

#include <cstring>

#include "listeners.h"
#include "tarvex_log.h"
#include "sock_info.h"

// Everything below runs in signal context: only write, close and _exit.
static void write_text(int fd, const char *text)
{
    ssize_t rc = write(fd, text, strlen(text));
    (void)rc;
}

// Closes every socket in the list without the logging destroy_listening_sockets
// does: formatting and flushing a log record is not safe in a signal handler.
static void close_all_sockets()
{
    list_for_each(pos, &connection_list)
    {
        _sock_info *psock_info = list_entry<_sock_info>(pos);
        if (psock_info->sock != -1) {
            close(psock_info->sock);
            psock_info->sock = -1;
        }
    }
}

void ctrl_handler(int sig, siginfo_t *siginfo, void *context)
{
    (void)siginfo;
    (void)context;
    log_signal_safe(LOG_LVL_INFO, "ctrl_handler ", sig);
    if (sig == SIGINT) {
        write_text(STDOUT_FILENO, "Ctrl-C event\n");
        close_all_sockets();
        listeners_remove_unix();
        _exit(2);
    }
}

bool install_ctrl_handler()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = ctrl_handler;
    action.sa_flags = SA_SIGINFO;
    int rc = sigaction(SIGINT, &action, nullptr);
    if (rc < 0) {
        LOG_ERROR("Could not set control handler : %d", rc);
        return false;
    }
    LOG_DEBUG("The posix signal handler is installed");
    return true;
}
