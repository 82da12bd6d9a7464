// The logging facility: one threshold, one output stream, records flushed as
// they are written so a log file is complete even if the process is killed.
#pragma once

#include <cstdarg>
#include <cstdio>

enum log_levels : int {
    LOG_LVL_SILENT = -3, // threshold only: suppresses everything
    LOG_LVL_OUTPUT = -2, // help and version text, no prefix
    LOG_LVL_USER = -1,
    LOG_LVL_ERROR = 0,
    LOG_LVL_WARNING = 1,
    LOG_LVL_INFO = 2,
    LOG_LVL_DEBUG = 3,
    LOG_LVL_CHECK = 4,
};

// A record of level L is written when debug_level >= L. -1 until log_init.
extern int debug_level;

void log_init();
void log_printf(int level, const char *file, unsigned line, const char *function, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
// As log_printf, with a line end appended to the formatted text.
void log_printf_lf(int level, const char *file, unsigned line, const char *function, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
void log_puts(int level, const char *file, unsigned line, const char *function, const char *string);

// Heap string of the formatted text (with one spare byte for a line end), or
// null when memory is exhausted. The caller frees it.
char *alloc_vprintf(const char *format, va_list ap);
char *alloc_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Sends later records to the file at path (truncated). A file that cannot be
// opened is ignored. Returns 0.
int handle_log_output_command(const char *path);

// Writes one record "text" followed by value, with write(2) and no heap or
// stdio: the form used from signal handlers. Same prefixes and forms as
// log_printf_lf.
void log_signal_safe_lf(int level, const char *file, unsigned line, const char *function, const char *text, int value);
#define log_signal_safe(level, text, value) log_signal_safe_lf(level, __FILE__, __LINE__, __func__, text, value)

// True when debug records are written; call sites test it so that a
// suppressed debug record costs one comparison and no formatting.
inline bool log_debug_enabled()
{
    return debug_level > LOG_LVL_INFO;
}

#define LOG_AT(level, ...) log_printf_lf(level, __FILE__, __LINE__, __func__, __VA_ARGS__)
#define LOG_ERROR(...) LOG_AT(LOG_LVL_ERROR, __VA_ARGS__)
#define LOG_WARNING(...) LOG_AT(LOG_LVL_WARNING, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(LOG_LVL_INFO, __VA_ARGS__)
#define LOG_DEBUG(...)                          \
    do {                                        \
        if (log_debug_enabled())                \
            LOG_AT(LOG_LVL_DEBUG, __VA_ARGS__); \
    } while (0)
#define LOG_OUTPUT(...) log_printf(LOG_LVL_OUTPUT, __FILE__, __LINE__, __func__, __VA_ARGS__)
