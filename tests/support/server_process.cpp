#include "server_process.h"

#include <dirent.h>
#include <pty.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef TARVEX_SERVER_PATH
#error "TARVEX_SERVER_PATH must name the server binary"
#endif
#ifndef TARVEX_VPROBE_PATH
#define TARVEX_VPROBE_PATH ""
#endif

namespace tarvex_test
{

// Whether a listening socket could be bound to port on the loopback address
// of one family now.
static bool port_bindable(int family, uint16_t port)
{
    int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0)
        return family == AF_INET6; // no IPv6 here: nothing to collide with
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    int rc;
    if (family == AF_INET) {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        rc = bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a));
    } else {
        struct sockaddr_in6 a = {};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        rc = bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a));
        if (rc != 0 && errno == EADDRNOTAVAIL)
            rc = 0; // IPv6 without a loopback address
    }
    close(fd);
    return rc == 0;
}

// Ports for servers under test come from below the kernel's ephemeral range
// (32768 and up): a port taken from that range by binding port 0 may become
// some test's outgoing connection's local port before the server binds it,
// and the server then fails to listen while wait_listening sees another
// server's socket. Each process starts at a place of its own in the range.
constexpr uint16_t TEST_PORT_FIRST = 20480;
constexpr uint16_t TEST_PORT_COUNT = 12288;

uint16_t free_port()
{
    static uint32_t next = static_cast<uint32_t>(getpid()) * 131u;
    for (uint32_t tries = 0; tries < TEST_PORT_COUNT; tries++) {
        uint16_t port = static_cast<uint16_t>(TEST_PORT_FIRST + next++ % TEST_PORT_COUNT);
        if (port_bindable(AF_INET, port) && port_bindable(AF_INET6, port))
            return port;
    }
    return 0;
}

std::string scratch_path(const std::string &prefix, const std::string &name)
{
    const char *dir = getenv("TEST_TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + prefix + "-" + std::to_string(getpid()) +
           "-" + name;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool ipv6_loopback_available()
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in6 addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0;
    if (fd >= 0)
        close(fd);
    return bound;
}

bool eventually(const std::function<bool()> &ready, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (ready())
            return true;
        usleep(5000);
    }
    return ready();
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// /proc/net/tcp lists "sl local_address rem_address st ..." with addresses
// as hex IP:PORT in host byte order of the kernel; state 0A is LISTEN.
bool port_listening(uint16_t port, bool any_address)
{
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char wanted[32];
    snprintf(wanted, sizeof(wanted), "%s:%04X", any_address ? "00000000" : "0100007F", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, state;
        fields >> sl >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

server_process::server_process()
{
    char tmpl[] = "/tmp/tarvex-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        dir = tmpl;
}

server_process::~server_process()
{
    if (pid > 0 && status_ < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (!dir.empty() && getenv("TARVEX_TEST_KEEP") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        if (ec)
            fprintf(stderr, "could not remove %s: %s\n", dir.c_str(), ec.message().c_str());
    }
}

static void redirect(int fd, const std::string &path)
{
    int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, fd);
        close(out);
    }
}

static std::vector<std::string> command_line(const std::vector<std::string> &server_args,
                                             const std::vector<std::string> &vprobe_args, bool use_vprobe,
                                             const std::string &control, const std::vector<std::string> &launcher)
{
    std::vector<std::string> argv = launcher;
    if (use_vprobe || !vprobe_args.empty()) {
        argv.push_back(TARVEX_VPROBE_PATH);
        argv.insert(argv.end(), vprobe_args.begin(), vprobe_args.end());
        argv.push_back("--control");
        argv.push_back(control);
        argv.push_back("--");
    }
    argv.push_back(TARVEX_SERVER_PATH);
    argv.insert(argv.end(), server_args.begin(), server_args.end());
    return argv;
}

// In the child: becomes argv, or ends with status 127.
[[noreturn]] static void exec_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> cargv;
    for (const std::string &arg : argv)
        cargv.push_back(const_cast<char *>(arg.c_str()));
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
}

// input: the child's standard input, or -1 for /dev/null.
static pid_t spawn_fed(const std::vector<std::string> &argv, int input, const std::string &out, const std::string &err)
{
    pid_t child = fork();
    if (child != 0)
        return child;
    dup2(input >= 0 ? input : ::open("/dev/null", O_RDONLY), STDIN_FILENO);
    redirect(STDOUT_FILENO, out);
    redirect(STDERR_FILENO, err);
    exec_argv(argv);
}

pid_t spawn_program(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    return spawn_fed(argv, -1, out, err);
}

piped_child::~piped_child()
{
    if (input >= 0)
        close(input);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int piped_child::start(const std::vector<std::string> &argv, const std::string &tag)
{
    out = scratch_path("child-out", tag);
    err = scratch_path("child-err", tag);
    // Emptied before the child runs: a file left by an earlier run of the
    // same name must not read as this child's output.
    write_file(out, "");
    write_file(err, "");
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid = spawn_fed(argv, fds[0], out, err);
    close(fds[0]);
    input = fds[1];
    return pid > 0 ? 0 : -1;
}

std::string piped_child::stdout_text() const
{
    return read_file(out);
}

std::string piped_child::stderr_text() const
{
    return read_file(err);
}

bool piped_child::printed(const std::string &text, int timeout_ms) const
{
    return eventually([&] { return stdout_text().find(text) != std::string::npos; }, timeout_ms);
}

int piped_child::interrupt(int timeout_ms)
{
    kill(pid, SIGINT);
    int status = -1;
    bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (!ended)
        return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t spawn_on_terminal(const std::vector<std::string> &argv, int *master)
{
    pid_t child = forkpty(master, nullptr, nullptr, nullptr);
    if (child == 0)
        exec_argv(argv);
    return child;
}

int server_process::start(const std::vector<std::string> &extra_args, const std::vector<std::string> &vprobe_args,
                          bool use_vprobe)
{
    if (port == 0)
        port = free_port();
    control_path_ = dir + "/control.sock";
    std::vector<std::string> server_args = {"-p", std::to_string(port)};
    server_args.insert(server_args.end(), extra_args.begin(), extra_args.end());
    if (!timing.empty())
        setenv("TARVEX_TEST_TIMING", timing.c_str(), 1);
    pid = spawn_program(command_line(server_args, vprobe_args, use_vprobe, control_path_, launcher), dir + "/stdout",
                        dir + "/stderr");
    if (!timing.empty())
        unsetenv("TARVEX_TEST_TIMING");
    return pid > 0 ? 0 : -1;
}

static int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int server_process::wait_exit(int timeout_ms)
{
    if (status_ >= 0 || pid <= 0)
        return status_;
    // The process's pidfd turns readable when it exits: the wait ends then,
    // not at the next tick of a polling loop (benchmarks time whole runs).
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        struct pollfd p = {pidfd, POLLIN, 0};
        int rc;
        do {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            rc = poll(&p, 1, std::max<int>(0, static_cast<int>(left.count())));
        } while (rc < 0 && errno == EINTR);
        close(pidfd);
    }
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid)
        status_ = decode_status(status);
    return status_;
}

int server_process::wait_listening(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (port_listening(port) || port_listening(port, true))
            return 0;
        if (wait_exit(0) >= 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
}

void server_process::send_signal(int sig)
{
    if (pid > 0 && status_ < 0)
        kill(pid, sig);
}

tarvex::connection server_process::connect()
{
    tarvex::connection c;
    c.open("127.0.0.1", port);
    return c;
}

std::string server_process::stdout_text() const
{
    return read_file(dir + "/stdout");
}

std::string server_process::stderr_text() const
{
    return read_file(dir + "/stderr");
}

std::string server_process::stderr_tail(size_t bytes) const
{
    std::string log = stderr_text();
    if (log.size() <= bytes)
        return log;
    size_t from = log.find('\n', log.size() - bytes);
    return from == std::string::npos ? log.substr(log.size() - bytes) : log.substr(from + 1);
}

bool server_process::wait_stderr(const std::string &text, int timeout_ms) const
{
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        if (stderr_text().find(text) != std::string::npos)
            return true;
        usleep(20000);
    }
    return false;
}

std::vector<std::string> descriptor_targets(pid_t pid)
{
    std::vector<std::string> targets;
    std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(dir_path.c_str());
    if (dir == nullptr)
        return targets;
    for (struct dirent *e = readdir(dir); e != nullptr; e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        char target[256];
        ssize_t n = readlink((dir_path + "/" + e->d_name).c_str(), target, sizeof target - 1);
        targets.push_back(std::string(e->d_name) + " -> " +
                          (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?"));
    }
    closedir(dir);
    std::sort(targets.begin(), targets.end());
    return targets;
}

long open_descriptors(pid_t pid)
{
    if (access(("/proc/" + std::to_string(pid) + "/fd").c_str(), R_OK) != 0)
        return -1;
    return static_cast<long>(descriptor_targets(pid).size());
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

std::string vprobe_control(const std::string &socket_path, const std::string &request)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socket_path.c_str(), sizeof(addr.sun_path) - 1);
    std::string reply;
    if (::connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0) {
        std::string line = request + "\n";
        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
            char c;
            while (recv(fd, &c, 1, 0) == 1 && c != '\n')
                reply.push_back(c);
        }
    }
    close(fd);
    return reply;
}

std::string server_process::control(const std::string &request)
{
    return vprobe_control(control_path_, request);
}

void reexec_under_vprobe(char **argv, const std::vector<std::string> &vprobe_args)
{
    if (getenv("TARVEX_VPROBE_BUS") != nullptr)
        return;
    std::vector<std::string> args = {TARVEX_VPROBE_PATH};
    args.insert(args.end(), vprobe_args.begin(), vprobe_args.end());
    args.push_back("--");
    std::vector<char *> cargv;
    for (std::string &arg : args)
        cargv.push_back(const_cast<char *>(arg.c_str()));
    for (char **a = argv; *a != nullptr; a++)
        cargv.push_back(*a);
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    perror(TARVEX_VPROBE_PATH);
    _exit(127);
}

int run_to_end(const std::vector<std::string> &argv, std::string *out, std::string *err, int timeout_ms)
{
    server_process process; // for its scratch directory and its wait
    process.pid = spawn_program(argv, process.dir + "/stdout", process.dir + "/stderr");
    int status = process.wait_exit(timeout_ms);
    *out = process.stdout_text();
    *err = process.stderr_text();
    return status;
}

int run_server_to_end(const std::vector<std::string> &args, std::string *out, std::string *err, int timeout_ms)
{
    std::vector<std::string> argv = {TARVEX_SERVER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_to_end(argv, out, err, timeout_ms);
}

} // namespace tarvex_test
