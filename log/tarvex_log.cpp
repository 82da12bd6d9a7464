#include "tarvex_log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <time.h>
#include <unistd.h>

int debug_level = -1;

static FILE *log_output;
static int64_t start;
// Records are counted from every thread (the probe workers log too); each
// record is written with one stdio call, which stdio's own lock keeps whole.
static std::atomic<int> count;

// Milliseconds on the monotonic clock: records show the time since
// log_init, which a change of the wall clock must not bend. clock_gettime
// is async-signal-safe, so the signal-safe form reads it too.
static int64_t clock_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Indexed by level + 1; LOG_LVL_OUTPUT records carry no prefix.
static constexpr const char *log_strings[6] = {
    "User : ", "Error: ", "Warn : ", "Info : ", "Debug: ", "Check: ",
};

void log_init()
{
    if (debug_level == -1)
        debug_level = LOG_LVL_INFO;
    if (log_output == nullptr)
        log_output = stderr;
    start = clock_ms();
}

char *alloc_vprintf(const char *format, va_list ap)
{
    va_list ap_copy;
    va_copy(ap_copy, ap);
    int len = vsnprintf(nullptr, 0, format, ap_copy);
    va_end(ap_copy);
    if (len < 0)
        return nullptr;
    // One spare byte for the line end log_printf_lf appends, one for the NUL.
    char *string = static_cast<char *>(malloc(static_cast<size_t>(len) + 2));
    if (string == nullptr)
        return nullptr;
    vsnprintf(string, static_cast<size_t>(len) + 1, format, ap);
    return string;
}

char *alloc_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    char *string = alloc_vprintf(format, ap);
    va_end(ap);
    return string;
}

static const char *base_name(const char *file)
{
    const char *slash = strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

static const char *level_prefix(int level)
{
    if (level < LOG_LVL_USER || level > LOG_LVL_CHECK)
        return "";
    return log_strings[level + 1];
}

void log_puts(int level, const char *file, unsigned line, const char *function, const char *string)
{
    FILE *out = log_output != nullptr ? log_output : stderr;
    if (level == LOG_LVL_OUTPUT) {
        fputs(string, out);
    } else if (*string != '\0') {
        if (debug_level > LOG_LVL_INFO) {
            // Elapsed time on the low 32 bits, printed signed: wraps after ~24.8 days.
            int elapsed = static_cast<int>(static_cast<uint32_t>(clock_ms()) - static_cast<uint32_t>(start));
            fprintf(out, "%s%d %d %s:%u %s(): %s", level_prefix(level), count.load(), elapsed, base_name(file), line,
                    function, string);
        } else {
            fprintf(out, "%s%s", level >= 0 ? level_prefix(level) : "", string);
        }
    }
    fflush(out);
}

static void log_vprintf(int level, const char *file, unsigned line, const char *function, bool add_lf,
                        const char *format, va_list ap)
{
    count++;
    if (debug_level < level)
        return;
    char *string = alloc_vprintf(format, ap);
    if (string == nullptr)
        return;
    if (add_lf) {
        size_t len = strlen(string);
        string[len] = '\n';
        string[len + 1] = '\0';
    }
    log_puts(level, file, line, function, string);
    free(string);
}

void log_printf(int level, const char *file, unsigned line, const char *function, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vprintf(level, file, line, function, false, format, ap);
    va_end(ap);
}

void log_printf_lf(int level, const char *file, unsigned line, const char *function, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vprintf(level, file, line, function, true, format, ap);
    va_end(ap);
}

int handle_log_output_command(const char *path)
{
    FILE *file = fopen(path, "w");
    if (file != nullptr)
        log_output = file;
    return 0;
}

// Appends text to out[*len] within size; signal-safe.
static void append_text(char *out, size_t size, size_t *len, const char *text)
{
    while (*text != '\0' && *len + 1 < size)
        out[(*len)++] = *text++;
}

static void append_int(char *out, size_t size, size_t *len, long long value)
{
    char digits[24];
    int n = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        digits[n++] = '-';
    while (n > 0 && *len + 1 < size)
        out[(*len)++] = digits[--n];
}

void log_signal_safe_lf(int level, const char *file, unsigned line, const char *function, const char *text, int value)
{
    count++;
    if (debug_level < level)
        return;
    char record[512];
    size_t len = 0;
    if (debug_level > LOG_LVL_INFO) {
        uint32_t ms = static_cast<uint32_t>(clock_ms());
        append_text(record, sizeof(record), &len, level_prefix(level));
        append_int(record, sizeof(record), &len, count.load());
        append_text(record, sizeof(record), &len, " ");
        append_int(record, sizeof(record), &len, static_cast<int>(ms - static_cast<uint32_t>(start)));
        append_text(record, sizeof(record), &len, " ");
        append_text(record, sizeof(record), &len, base_name(file));
        append_text(record, sizeof(record), &len, ":");
        append_int(record, sizeof(record), &len, line);
        append_text(record, sizeof(record), &len, " ");
        append_text(record, sizeof(record), &len, function);
        append_text(record, sizeof(record), &len, "(): ");
    } else {
        append_text(record, sizeof(record), &len, level >= 0 ? level_prefix(level) : "");
    }
    append_text(record, sizeof(record), &len, text);
    append_int(record, sizeof(record), &len, value);
    append_text(record, sizeof(record), &len, "\n");
    FILE *out = log_output != nullptr ? log_output : stderr;
    ssize_t rc = write(fileno(out), record, len);
    (void)rc;
}
