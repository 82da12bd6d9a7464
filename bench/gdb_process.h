// gdb-multiarch driven through pipes for the benchmarks: one command at a
// time, each followed by an echoed mark that says it is done.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

constexpr const char *DONE_MARK = "@@loaded@@";

// gdb-multiarch reading commands from a pipe, its output from another.
struct gdb_process {
    pid_t pid = -1;
    int in = -1, out = -1;

    int start(uint16_t port)
    {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0)
            return -1;
        pid = fork();
        if (pid == 0) {
            dup2(to[0], 0);
            dup2(from[1], 1);
            dup2(from[1], 2);
            close(to[1]);
            close(from[0]);
            execl("/usr/bin/gdb-multiarch", "gdb-multiarch", "-q", "-nx", "-ex", "set confirm off", "-ex",
                  ("target remote 127.0.0.1:" + std::to_string(port)).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(to[0]);
        close(from[1]);
        in = to[1];
        out = from[0];
        return pid > 0 ? 0 : -1;
    }
    // Runs one command and waits for the mark echoed after it; false when
    // GDB ends first or says the load failed.
    bool run(const std::string &command, std::string *said)
    {
        std::string text = command + "\necho " + DONE_MARK + "\\n\n";
        if (write(in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return false;
        said->clear();
        while (said->find(DONE_MARK) == std::string::npos) {
            struct pollfd p = {out, POLLIN, 0};
            char buf[4096];
            ssize_t n = poll(&p, 1, 60000) > 0 ? read(out, buf, sizeof(buf)) : -1;
            if (n <= 0)
                return false;
            said->append(buf, static_cast<size_t>(n));
        }
        return said->find("Transfer rate") != std::string::npos;
    }
    ~gdb_process()
    {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};
