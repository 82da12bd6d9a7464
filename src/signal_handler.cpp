// Rules:
// - The handler runs on whichever thread the kernel chose (threads libusb
//   starts for itself do not block signals). It reads and writes nothing but
//   a sig_atomic_t and the eventfd, so it may interrupt the loop anywhere,
//   even in the middle of a list operation.
// - Everything else, the log line, the text on standard output and closing
//   the sockets, is done by the loop in ctrl_event_serve, the only thread
//   that may walk the connection list.
#include "signal_handler.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "listeners.h"
#include "result_codes.h"
#include "sock_info.h"
#include "tarvex_log.h"

static volatile sig_atomic_t taken_signal;
static int wake_fd = -1;

void ctrl_handler(int sig, siginfo_t *siginfo, void *context)
{
    (void)siginfo;
    (void)context;
    int saved = errno;
    taken_signal = sig;
    if (wake_fd >= 0)
        (void)eventfd_write(wake_fd, 1);
    errno = saved;
}

bool install_ctrl_handler()
{
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) {
        LOG_ERROR("Could not create the signal descriptor : %d", errno);
        return false;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = ctrl_handler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    int rc = sigaction(SIGINT, &action, nullptr);
    if (rc < 0) {
        LOG_ERROR("Could not set control handler : %d", rc);
        return false;
    }
    LOG_DEBUG("The posix signal handler is installed");
    return true;
}

int ctrl_event_fd()
{
    return wake_fd;
}

static void write_text(int fd, const char *text)
{
    ssize_t rc = write(fd, text, strlen(text));
    (void)rc;
}

// Without the debug lines destroy_listening_sockets writes: the end of a
// Ctrl-C has always been quiet past its one line.
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

void ctrl_event_serve()
{
    eventfd_t count;
    (void)eventfd_read(wake_fd, &count);
    int sig = taken_signal;
    if (sig != SIGINT)
        return;
    // The record keeps the handler's name, as operators' filters know it.
    log_signal_safe_lf(LOG_LVL_INFO, __FILE__, __LINE__, "ctrl_handler", "ctrl_handler ", sig);
    write_text(STDOUT_FILENO, "Ctrl-C event\n");
    close_all_sockets();
    listeners_remove_unix();
    // Workers may be inside a transfer: no destructor or atexit handler may
    // run beside them.
    _exit(TARVEX_EXIT_INTERRUPTED);
}
