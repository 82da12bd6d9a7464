#include "cli_transfer.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli_format.h"
#include "target.h"
#include "target_probe.h"

namespace tarvex_cli
{

using namespace tarvex_wire;

// A read asks for 64 KiB at a time so the progress line moves.
constexpr uint32_t READ_CHUNK = 64 * 1024;
constexpr uint32_t WRITE_CHUNK = tarvex::WRITE_MEM_PIECE;
constexpr uint64_t PROGRESS_FROM = 64 * 1024;

static double now_seconds()
{
    return static_cast<double>(tarvex::monotonic_ms()) / 1e3;
}

// The progress line on a terminal's standard error; silent otherwise.
// Drawn after each piece that worked, never after a failure.
struct progress {
    uint64_t total = 0;
    bool shown = false;
    double start = 0;

    explicit progress(uint64_t bytes) : total(bytes), shown(bytes >= PROGRESS_FROM && isatty(2)), start(now_seconds())
    {
    }
    void update(uint64_t done) const
    {
        if (shown)
            progress_draw(progress_text(done, total, now_seconds() - start));
    }
    void finish() const { progress_keep(); }
};

static int parse_range(const std::vector<std::string> &args, uint32_t *addr, uint32_t *len)
{
    uint64_t a = 0, n = 0;
    if (!tarvex::parse_number(args[0], 0xFFFFFFFFu, &a))
        return fail(EXIT_USAGE, "not an address: %s", args[0].c_str());
    if (args.size() > 1 && (!tarvex::parse_number(args[1], 0x100000000ull - a, &n) || n == 0))
        return fail(EXIT_USAGE, "not a length from 1 to the end of the address space: %s", args[1].c_str());
    *addr = static_cast<uint32_t>(a);
    *len = static_cast<uint32_t>(n);
    return EXIT_DONE;
}

// Where read data goes: raw into a file or a pipe, a hex dump on a terminal.
struct read_sink {
    FILE *file = stdout;
    bool dump = false;
    bool owned = false;

    int open(const std::string &path)
    {
        if (!path.empty() && path != "-") {
            file = fopen(path.c_str(), "wb");
            if (file == nullptr)
                return fail(EXIT_USAGE, "cannot create %s: %s", path.c_str(), strerror(errno));
            owned = true;
        } else {
            dump = path.empty() && isatty(1);
        }
        return EXIT_DONE;
    }
    bool put(uint32_t addr, const std::vector<uint8_t> &data)
    {
        if (!dump)
            return fwrite(data.data(), 1, data.size(), file) == data.size();
        // The dump shares the terminal with the progress line: it starts on a
        // fresh line and is out before the line is drawn again.
        progress_clear();
        std::string text = hex_dump(addr, data.data(), data.size());
        return fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
    }
    int close(int status)
    {
        bool ok = fflush(file) == 0;
        if (owned)
            ok = fclose(file) == 0 && ok;
        if (!ok && status == EXIT_DONE)
            return fail(EXIT_USAGE, "cannot write the data: %s", strerror(errno));
        return status;
    }
};

static int read_chunk(cli_session &s, read_sink &sink, uint32_t addr, uint32_t len)
{
    std::vector<uint8_t> data;
    int rc = tarvex_target::memory_read(s.link, addr, len, &data);
    if (rc == tarvex_target::TARGET_LOST)
        return lost_server(KW_READ_MEM);
    if (rc != tarvex_target::TARGET_OK)
        return fail(EXIT_FAILED, "memory read of %u bytes at 0x%08x failed (result %d)", len, addr,
                    s.link.last_result());
    if (!sink.put(addr, data))
        return fail(EXIT_USAGE, "cannot write the data: %s", strerror(errno));
    return EXIT_DONE;
}

int check_range(const std::vector<std::string> &args)
{
    uint32_t addr = 0, len = 0;
    return parse_range(args, &addr, &len);
}

int cmd_read(cli_session &s, const std::vector<std::string> &args)
{
    uint32_t addr = 0, len = 0;
    read_sink sink;
    int rc = parse_range(args, &addr, &len);
    if (rc != EXIT_DONE || (rc = sink.open(s.opt.output)) != EXIT_DONE)
        return rc;
    progress bar(len);
    for (uint32_t done = 0; done < len && rc == EXIT_DONE; done += READ_CHUNK) {
        uint32_t n = len - done < READ_CHUNK ? len - done : READ_CHUNK;
        rc = read_chunk(s, sink, addr + done, n);
        if (rc == EXIT_DONE)
            bar.update(done + n);
    }
    bar.finish();
    return sink.close(rc);
}

int load_file(const std::string &path, std::vector<uint8_t> *data)
{
    FILE *file = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (file == nullptr)
        return fail(EXIT_USAGE, "cannot open %s: %s", path.c_str(), strerror(errno));
    uint8_t block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), file)) > 0)
        data->insert(data->end(), block, block + n);
    bool failed = ferror(file) != 0;
    if (file != stdin)
        fclose(file);
    if (failed)
        return fail(EXIT_USAGE, "cannot read %s", path.c_str());
    return EXIT_DONE;
}

static int write_chunk(cli_session &s, uint32_t addr, const uint8_t *data, uint32_t len)
{
    int rc = tarvex_target::memory_write(s.link, addr, data, len);
    if (rc == tarvex_target::TARGET_LOST)
        return lost_server(KW_WRITE_MEM);
    if (rc != tarvex_target::TARGET_OK)
        return fail(EXIT_FAILED, "memory write of %u bytes at 0x%08x failed (result %d)", len, addr,
                    s.link.last_result());
    return EXIT_DONE;
}

int cmd_write(cli_session &s, const std::vector<std::string> &args)
{
    uint32_t addr = 0, unused = 0;
    std::vector<uint8_t> data;
    int rc = parse_range({args[0]}, &addr, &unused);
    if (rc != EXIT_DONE || (rc = load_file(args[1], &data)) != EXIT_DONE)
        return rc;
    if (data.empty() || data.size() > 0x100000000ull - addr)
        return fail(EXIT_USAGE, "%s holds %zu bytes: nothing to write, or past the end of the address space",
                    args[1].c_str(), data.size());
    progress bar(data.size());
    for (size_t done = 0; done < data.size() && rc == EXIT_DONE; done += WRITE_CHUNK) {
        uint32_t n = static_cast<uint32_t>(data.size() - done < WRITE_CHUNK ? data.size() - done : WRITE_CHUNK);
        rc = write_chunk(s, addr + static_cast<uint32_t>(done), data.data() + done, n);
        if (rc == EXIT_DONE)
            bar.update(done + n);
    }
    bar.finish();
    return rc;
}

static volatile sig_atomic_t trace_stop = 0;

static void on_stop_signal(int)
{
    trace_stop = 1;
}

// Streams until the deadline, an interrupt, or a closed standard output.
static int trace_stream(cli_session &s, double seconds)
{
    double deadline = seconds > 0 ? now_seconds() + seconds : 0;
    while (!trace_stop && (deadline == 0 || now_seconds() < deadline)) {
        std::vector<uint8_t> data;
        int result = 0;
        int rc = tarvex_target::trace_take(s.link, TRACE_READ_LIMIT, &data, &result);
        if (rc == tarvex_target::TARGET_LOST)
            return lost_server(KW_TRACE_READ);
        if (rc != tarvex_target::TARGET_OK)
            return fail(EXIT_FAILED, "trace read failed on probe %d (result %d)", s.probe.index, result);
        if (!data.empty() && (fwrite(data.data(), 1, data.size(), stdout) != data.size() || fflush(stdout) != 0))
            return EXIT_DONE; // the reader went away: a normal end for a stream
        if (data.empty())
            usleep(20000);
    }
    return EXIT_DONE;
}

int cmd_trace(cli_session &s, const std::vector<std::string> &)
{
    int rc = target_status(s, tarvex_target::trace_start(s.link, s.opt.trace_hz),
                           "starting trace capture (the probe may lack trace firmware)");
    if (rc != EXIT_DONE)
        return rc;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, on_stop_signal);
    signal(SIGTERM, on_stop_signal);
    rc = trace_stream(s, s.opt.seconds);
    tarvex_target::trace_stop(s.link);
    return rc;
}

} // namespace tarvex_cli
