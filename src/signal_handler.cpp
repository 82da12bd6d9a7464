#include "signal_handler.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "listeners.h"
#include "tarvex_log.h"
#include "sock_info.h"

// Everything below runs in signal context: only write, close, _exit and
// pthread_kill.
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

// The loop's thread, the only one that may walk the connection list. A
// signal sent to the process can land on any thread that does not block it,
// and threads libusb starts for itself do not: the handler passes it on.
static pthread_t loop_thread;

void ctrl_handler(int sig, siginfo_t *siginfo, void *context)
{
    (void)siginfo;
    (void)context;
    if (!pthread_equal(pthread_self(), loop_thread)) {
        pthread_kill(loop_thread, sig);
        return;
    }
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
    loop_thread = pthread_self();
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
