// Test firmware built against the target C libraries that Debian ships
// (newlib with rdimon, picolibc with its semihost layer): it performs its
// command-line words in order through the library's own stdio, files and
// exit, so the host's semihosting is exercised the way those libraries
// call it. Words:
//
//   args          "argc N" and "argv[I] WORD" for each argument, then
//                 returns 0: the words after it are only printed
//   exit=N        exit(N)
//   return=N      return N from main
//   abort         abort()
//   order=N       N lines alternating "out I" on stdout and "err I" on stderr
//   bulk=N        N KiB on stdout in 64-byte lines numbered from 0
//   lines=N       N short printf lines
//   files         open, write, read, seek, tell, append, rename and remove
//                 files in the current directory (picolibc: no rename):
//                 "files: ok" or the step that failed with its errno
//   open=NAME     "open NAME: ok" or "open NAME: errno N"
//   remove=NAME   "remove NAME: ok" or "remove NAME: errno N"
//   many=N        opens N files at once: "many: N open" or where it stopped
//   stdin         reads standard input to its end: "stdin: N bytes, sum S"
//   time          "time: ok" when time() is plausible and clock() advances
//   fault         a store to an unmapped address
//   hang          never returns
//
// An unknown word prints "unknown argument: WORD" and exits with 99.
//
// The words start after the program's name. picolibc's start-up names the
// program "program-name" and makes every word of the command line an
// argument, the host's first word (the image's name) included, so there
// they start one later.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define UNMAPPED 0x60000000u

#ifndef __PICOLIBC__
int _rename(const char *from, const char *to);
#endif

static int number_after(const char *word, const char *prefix, long *value)
{
    size_t n = strlen(prefix);
    if (strncmp(word, prefix, n) != 0)
        return 0;
    *value = strtol(word + n, NULL, 0);
    return 1;
}

static void print_args(int argc, char **argv)
{
    printf("argc %d\n", argc);
    for (int i = 0; i < argc; i++)
        printf("argv[%d] %s\n", i, argv[i]);
}

static void order(long n)
{
    for (long i = 1; i <= n; i++) {
        printf("out %ld\n", i);
        fflush(stdout);
        fprintf(stderr, "err %ld\n", i);
    }
}

static void bulk(long kib)
{
    for (long line = 0; line < kib * 16; line++)
        printf("%08ld the quick brown fox jumps over the lazy dog 0123456789ab\n", line);
    fflush(stdout);
}

static void lines(long n)
{
    for (long i = 0; i < n; i++)
        printf("line %ld\n", i);
    fflush(stdout);
}

static int failed(const char *step)
{
    printf("files: %s failed, errno %d\n", step, errno);
    return 1;
}

static int write_text(const char *name, const char *mode, const char *text)
{
    FILE *f = fopen(name, mode);
    if (!f)
        return -1;
    int rc = fputs(text, f) < 0 ? -1 : 0;
    return fclose(f) == 0 ? rc : -1;
}

static int read_text(const char *name, char *buf, size_t size)
{
    FILE *f = fopen(name, "r");
    if (!f)
        return -1;
    size_t n = fread(buf, 1, size - 1, f);
    buf[n] = '\0';
    fclose(f);
    return 0;
}

static int seek_and_tell(const char *name)
{
    FILE *f = fopen(name, "r");
    if (!f)
        return -1;
    char c = 0;
    int ok = fseek(f, 7, SEEK_SET) == 0 && ftell(f) == 7 && fread(&c, 1, 1, f) == 1 && c == 'f' &&
             fseek(f, 0, SEEK_END) == 0 && ftell(f) == 16;
    fclose(f);
    return ok ? 0 : -1;
}

static int files(void)
{
    char buf[64];
    if (write_text("semi-a.txt", "w", "tarvex file\n") != 0)
        return failed("write");
    if (write_text("semi-a.txt", "a", "more") != 0)
        return failed("append");
    if (read_text("semi-a.txt", buf, sizeof(buf)) != 0 || strcmp(buf, "tarvex file\nmore") != 0)
        return failed("read");
    if (seek_and_tell("semi-a.txt") != 0)
        return failed("seek");
#ifdef __PICOLIBC__
    const char *last = "semi-a.txt"; // picolibc's semihosting layer has no rename
#else
    const char *last = "semi-b.txt";
    // newlib's rename() is link() and unlink(), and rdimon has no link();
    // its _rename is the semihosting call.
    if (_rename("semi-a.txt", last) != 0)
        return failed("rename");
    if (read_text(last, buf, sizeof(buf)) != 0 || strcmp(buf, "tarvex file\nmore") != 0)
        return failed("read after rename");
    if (fopen("semi-a.txt", "r") != NULL)
        return failed("the old name still opens:");
#endif
    if (remove(last) != 0)
        return failed("remove");
    if (fopen(last, "r") != NULL)
        return failed("a removed file still opens:");
    printf("files: ok\n");
    return 0;
}

static void open_one(const char *name)
{
    FILE *f = fopen(name, "r");
    if (f) {
        printf("open %s: ok\n", name);
        fclose(f);
    } else {
        printf("open %s: errno %d\n", name, errno);
    }
}

static void remove_one(const char *name)
{
    if (remove(name) == 0)
        printf("remove %s: ok\n", name);
    else
        printf("remove %s: errno %d\n", name, errno);
}

static void many(long n)
{
    static FILE *open_files[64];
    long opened = 0;
    for (; opened < n && opened < 64; opened++) {
        char name[32];
        snprintf(name, sizeof(name), "many-%ld.txt", opened);
        open_files[opened] = fopen(name, "w");
        if (!open_files[opened])
            break;
    }
    if (opened == n)
        printf("many: %ld open\n", opened);
    else
        printf("many: stopped at %ld, errno %d\n", opened, errno);
    for (long i = 0; i < opened; i++)
        fclose(open_files[i]);
}

static void read_stdin(void)
{
    unsigned long count = 0, sum = 0;
    int c;
    while ((c = getchar()) != EOF) {
        count++;
        sum += (unsigned char)c;
    }
    printf("stdin: %lu bytes, sum %lu\n", count, sum);
}

static void check_time(void)
{
    time_t now = time(NULL);
    clock_t first = clock();
    clock_t later = first;
    for (int turns = 0; later == first && turns < 100000; turns++)
        later = clock();
    // After 2020-01-01; the clock moves within a bounded wait.
    printf(now > 1577836800 && later > first ? "time: ok\n" : "time: wrong (%ld, %ld, %ld)\n", (long)now,
           (long)first, (long)later);
}

static int perform(int argc, char **argv, const char *w, int *status)
{
    long n = 0;
    if (strcmp(w, "args") == 0)
        return print_args(argc, argv), 1;
    else if (number_after(w, "exit=", &n))
        exit((int)n);
    else if (number_after(w, "return=", &n))
        return *status = (int)n, 1;
    else if (strcmp(w, "abort") == 0)
        abort();
    else if (number_after(w, "order=", &n))
        order(n);
    else if (number_after(w, "bulk=", &n))
        bulk(n);
    else if (number_after(w, "lines=", &n))
        lines(n);
    else if (strcmp(w, "files") == 0)
        *status |= files();
    else if (strncmp(w, "open=", 5) == 0)
        open_one(w + 5);
    else if (strncmp(w, "remove=", 7) == 0)
        remove_one(w + 7);
    else if (number_after(w, "many=", &n))
        many(n);
    else if (strcmp(w, "stdin") == 0)
        read_stdin();
    else if (strcmp(w, "time") == 0)
        check_time();
    else if (strcmp(w, "fault") == 0)
        *(volatile uint32_t *)UNMAPPED = 1;
    else if (strcmp(w, "hang") == 0)
        for (;;)
            ;
    else {
        printf("unknown argument: %s\n", w);
        return *status = 99, 1;
    }
    return 0;
}

#ifdef __PICOLIBC__
#define FIRST_WORD 2
#else
#define FIRST_WORD 1
#endif

int main(int argc, char **argv)
{
    int status = 0;
    for (int i = FIRST_WORD; i < argc; i++)
        if (perform(argc, argv, argv[i], &status))
            break;
    fflush(stdout);
    return status;
}
