// gdb-multiarch driven through pipes for the benchmarks: one command at a
// time, each followed by an echoed mark that says it is done; and the
// setup both GDB benchmarks share: the server, tarvex-gdbserver, GDB, and
// one image as raw bytes (for tarvex-cli) and as an ELF section (for GDB).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "server_process.h"

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
    // Runs commands (one a line) and waits for the mark echoed after them;
    // false when GDB ends first.
    bool ask(const std::string &commands, std::string *said)
    {
        std::string text = commands + "\necho " + DONE_MARK + "\\n\n";
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
        return true;
    }
    // A load: false also when GDB says it failed.
    bool run(const std::string &command, std::string *said)
    {
        return ask(command, said) && said->find("Transfer rate") != std::string::npos;
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

// Commands the virtual probe I has received so far (the launcher counts them).
inline double vprobe_commands(int probe)
{
    const char *path = std::getenv("TARVEX_VPROBE_CONTROL");
    std::string reply = path != nullptr ? tarvex_test::vprobe_control(path, "count " + std::to_string(probe)) : "";
    return reply.size() > 3 ? std::strtod(reply.c_str() + 3, nullptr) : 0;
}

struct gdb_bench {
    tarvex_test::server_process server;
    tarvex_test::server_process front_end;
    gdb_process gdb;
    std::string bin, elf;
    bool ok = false;
};

inline bool gdb_bench_image(const std::string &path, size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f != nullptr && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f != nullptr && fclose(f) == 0 && ok;
}

// The image of `size` bytes, its ELF section at `address` (e.g. "0x20000000").
inline bool gdb_bench_images(gdb_bench &s, size_t size, const std::string &address)
{
    s.bin = s.server.dir + "/image.bin";
    s.elf = s.server.dir + "/image.elf";
    std::string out, err;
    return gdb_bench_image(s.bin, size) &&
           tarvex_test::run_to_end({"/usr/bin/arm-none-eabi-objcopy", "-I", "binary", "-O", "elf32-littlearm",
                                    "--change-section-address", ".data=" + address, s.bin, s.elf},
                                   &out, &err) == 0;
}

// Started once per run; null when anything failed. front_end_args go to
// tarvex-gdbserver after its ports.
inline gdb_bench *gdb_bench_started(size_t size, const std::string &address,
                                    const std::vector<std::string> &front_end_args = {})
{
    static std::unique_ptr<gdb_bench> s;
    if (s)
        return s->ok ? s.get() : nullptr;
    s = std::make_unique<gdb_bench>();
    if (s->server.start({}) != 0 || s->server.wait_listening() != 0 || !gdb_bench_images(*s, size, address))
        return nullptr;
    s->front_end.port = tarvex_test::free_port();
    std::vector<std::string> argv = {TARVEX_GDBSERVER_PATH, "--port", std::to_string(s->server.port), "--gdb-port",
                                     std::to_string(s->front_end.port)};
    argv.insert(argv.end(), front_end_args.begin(), front_end_args.end());
    s->front_end.pid = tarvex_test::spawn_program(argv, s->front_end.dir + "/stdout", s->front_end.dir + "/stderr");
    std::string said;
    s->ok = s->front_end.wait_listening() == 0 && s->gdb.start(s->front_end.port) == 0 &&
            s->gdb.run("echo", &said) == false && said.find(DONE_MARK) != std::string::npos;
    return s->ok ? s.get() : nullptr;
}
