// The semihosting module against a target memory in the test's own process:
// each operation's result and effect, the file sandbox against every escape
// we know, and hostile parameter blocks, which must all end in -1 to the
// firmware and a log line, with the session still working afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_memory.h"
#include "semihosting.h"

namespace
{

using namespace tarvex_semihost;
using semihost_test::fake_memory;

constexpr uint32_t RAM = 0x20000000;
constexpr uint32_t RAM_SIZE = 0x10000;
constexpr uint32_t BLOCK = RAM + 0x100;
constexpr uint32_t NAME = RAM + 0x200;
constexpr uint32_t BUF = RAM + 0x1000;
constexpr uint32_t UNMAPPED = 0x60000000;
constexpr uint32_t FAILED = SEMIHOST_FAILED;

struct pipe_pair {
    int rd = -1, wr = -1;
    pipe_pair()
    {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        rd = fds[0];
        wr = fds[1];
    }
    ~pipe_pair()
    {
        close(rd);
        if (wr >= 0)
            close(wr);
    }
    std::string drain() const
    {
        std::string all;
        char b[4096];
        ssize_t n;
        while ((n = read(rd, b, sizeof(b))) > 0)
            all.append(b, static_cast<size_t>(n));
        return all;
    }
    void feed(const std::string &text) const { ASSERT_EQ(write(wr, text.data(), text.size()), ssize_t(text.size())); }
    void end()
    {
        close(wr);
        wr = -1;
    }
};

class Semihost : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mem_.map(0, 0x1000);
        mem_.map(RAM, RAM_SIZE);
        semihost_session_init(s_, mem_.callbacks(), in_.rd, out_.wr, err_.wr, {"alpha", "beta", "3"});
        s_.log = [](void *ctx, const char *line) { static_cast<std::vector<std::string> *>(ctx)->push_back(line); };
        s_.log_ctx = &log_;
    }
    void TearDown() override { semihost_session_close(s_); }

    uint32_t call(uint32_t op, uint32_t param)
    {
        uint32_t r0 = 0xA5A5A5A5;
        semihost_exit exit;
        EXPECT_EQ(semihost_perform(s_, op, param, &r0, &exit), SEMIHOST_RESUME) << "op 0x" << std::hex << op;
        return r0;
    }
    uint32_t with_block(uint32_t op, const std::vector<uint32_t> &words)
    {
        mem_.put_words(BLOCK, words);
        return call(op, BLOCK);
    }
    uint32_t open(const std::string &name, uint32_t mode)
    {
        mem_.put(NAME, name.data(), static_cast<uint32_t>(name.size()));
        return with_block(SYS_OPEN, {NAME, mode, static_cast<uint32_t>(name.size())});
    }
    uint32_t write_to(uint32_t handle, const std::string &data)
    {
        mem_.put(BUF, data.data(), static_cast<uint32_t>(data.size()));
        return with_block(SYS_WRITE, {handle, BUF, static_cast<uint32_t>(data.size())});
    }

    fake_memory mem_;
    pipe_pair in_, out_, err_;
    semihost_session s_;
    std::vector<std::string> log_;
};

TEST_F(Semihost, OnlyBkpt0xAbIsACall)
{
    EXPECT_TRUE(semihost_is_call(0xBEAB));
    for (uint16_t other : {0xBE00, 0xBEAA, 0xBEAC, 0xABBE, 0xDFAB, 0x0000})
        EXPECT_FALSE(semihost_is_call(other)) << std::hex << other;
}

TEST_F(Semihost, ConsoleWritesOfEveryFormReachTheirStreamsInOrder)
{
    mem_.put_text(RAM, "C");
    EXPECT_EQ(call(SYS_WRITEC, RAM), 0u);
    mem_.put_text(BUF + 0x40, "zero-terminated\n");
    EXPECT_EQ(call(SYS_WRITE0, BUF + 0x40), 0u);
    uint32_t out = open(":tt", 4), err = open(":tt", 8);
    ASSERT_NE(out, FAILED);
    ASSERT_NE(err, FAILED);
    EXPECT_NE(out, err);
    EXPECT_EQ(write_to(out, "to out\n"), 0u) << "no byte left unwritten";
    EXPECT_EQ(write_to(err, "to err\n"), 0u);
    EXPECT_EQ(with_block(SYS_WRITE, {out, BUF, 0}), 0u);
    EXPECT_EQ(out_.drain(), "Czero-terminated\nto out\n");
    EXPECT_EQ(err_.drain(), "to err\n");
    EXPECT_EQ(with_block(SYS_ISTTY, {out}), 1u);
    EXPECT_EQ(with_block(SYS_CLOSE, {out}), 0u);
    EXPECT_EQ(write_to(out, "x"), FAILED) << "closed";
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EBADF));
    EXPECT_EQ(write_to(err, "still\n"), 0u) << "the console stays open for the tool";
    EXPECT_EQ(err_.drain(), "still\n");
}

TEST_F(Semihost, Write0ReadsUpToTheEndOfMemoryButNotPast)
{
    uint32_t last = RAM + RAM_SIZE - 6;
    mem_.put_text(last, "edge!");
    EXPECT_EQ(call(SYS_WRITE0, last), 0u);
    EXPECT_EQ(out_.drain(), "edge!");
    mem_.put(RAM + RAM_SIZE - 3, "abc", 3); // no terminator before the end
    EXPECT_EQ(call(SYS_WRITE0, RAM + RAM_SIZE - 3), FAILED);
    EXPECT_EQ(out_.drain(), "") << "nothing of an unterminated string";
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EFAULT));
}

TEST_F(Semihost, ConsoleInputThroughReadAndReadc)
{
    uint32_t in = open(":tt", 0);
    ASSERT_NE(in, FAILED);
    in_.feed("line\n");
    EXPECT_EQ(with_block(SYS_READ, {in, BUF, 16}), 11u) << "16 asked, 5 given: one read(2) per call";
    EXPECT_EQ(mem_.text(BUF, 5), "line\n");
    in_.feed("x");
    EXPECT_EQ(call(SYS_READC, 0), uint32_t('x'));
    in_.end();
    EXPECT_EQ(call(SYS_READC, 0), FAILED) << "end of input";
    EXPECT_EQ(with_block(SYS_READ, {in, BUF, 8}), 8u) << "at the end nothing is read";
}

TEST_F(Semihost, ConsoleHandlesGoOneWayEach)
{
    uint32_t in = open(":tt", 1), out = open(":tt", 6), err = open(":tt", 11);
    out_.feed("");
    EXPECT_EQ(write_to(in, "to input"), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EBADF));
    for (uint32_t h : {out, err}) {
        EXPECT_EQ(with_block(SYS_READ, {h, BUF, 4}), FAILED) << "the tool's output is not read";
        EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EBADF));
    }
    EXPECT_EQ(out_.drain() + err_.drain(), "");
}

// The line is "alpha beta 3" (12 bytes and its NUL): a buffer too small
// for it gets nothing, so the firmware never runs on other arguments.
TEST_F(Semihost, CommandLineFitsOrIsRefusedWhole)
{
    struct cmdline_case {
        uint32_t len;
        uint32_t result;
        bool written;
    };
    const cmdline_case cases[] = {
        {64, 0, true},      {13, 0, true},      {12, FAILED, false},
        {1, FAILED, false}, {0, FAILED, false}, {0xFFFFFFFF, 0, true},
    };
    for (const cmdline_case &c : cases) {
        log_.clear();
        mem_.put(BUF, std::string(64, '#').data(), 64);
        EXPECT_EQ(with_block(SYS_GET_CMDLINE, {BUF, c.len}), c.result) << c.len;
        std::string expected = c.written ? std::string("alpha beta 3") + '\0' + '#' : std::string(14, '#');
        EXPECT_EQ(mem_.text(BUF, 14), expected) << c.len;
        EXPECT_EQ(mem_.word(BLOCK + 4), c.written ? 12u : c.len) << "the length is written only with the line";
        if (!c.written) {
            EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(E2BIG));
            ASSERT_EQ(log_.size(), 1u) << c.len;
            EXPECT_NE(log_[0].find("(13 bytes) does not fit"), std::string::npos) << log_[0];
        }
    }
}

// The target libraries split the line at spaces and take a quoted word
// whole (newlib reads both quote characters); what they cannot read back
// is refused.
TEST(SemihostCommandLine, WordsAreQuotedAsTheLibrariesParseThem)
{
    struct line_case {
        std::vector<std::string> argv;
        std::string line;
    };
    const line_case cases[] = {
        {{"tests.elf"}, "tests.elf"},
        {{"tests.elf", "--quick", "-n", "3"}, "tests.elf --quick -n 3"},
        {{"my tests.elf", "a b"}, "\"my tests.elf\" \"a b\""},
        {{"x", "tab\there"}, "x \"tab\there\""},
        {{"x", "it's"}, "x \"it's\""},
        {{"x", "say \"hi\""}, "x 'say \"hi\"'"},
        {{"x", ""}, "x \"\""},
        {{"x", "both ' and \""}, ""},
        {{"x", "two\nlines"}, ""},
    };
    for (const line_case &c : cases)
        EXPECT_EQ(semihost_command_line(c.argv), c.line) << c.argv.back();
}

// The host's errno as the firmware's C library numbers it.
TEST(SemihostErrno, HostNumbersBecomeTheTargetLibrariesOwn)
{
    const std::pair<int, int> cases[] = {
        {0, 0},        {ENOENT, 2},     {EACCES, 13},       {EEXIST, 17}, {EISDIR, 21},     {ERANGE, 34},
        {ENOSYS, 88},  {ENOTEMPTY, 90}, {ENAMETOOLONG, 91}, {ELOOP, 92},  {EOVERFLOW, 139}, {ENOTSUP, 134},
        {EDEADLK, 45}, {EPROTO, EIO},   {ENOMEDIUM, EIO},   {-1, EIO},
    };
    for (const auto &[host, target] : cases)
        EXPECT_EQ(semihost_target_errno(host), target) << "host errno " << host;
}

// Libraries that speak semihosting version 2 open the feature file first
// and take SYS_EXIT_EXTENDED and ":tt" for append from it; the host answers
// it with no directory given, and logs nothing.
TEST_F(Semihost, TheFeatureFileAnswersWithoutASandbox)
{
    uint32_t h = open(SEMIHOST_FEATURES_NAME, 0);
    ASSERT_NE(h, FAILED);
    EXPECT_EQ(with_block(SYS_ISTTY, {h}), 0u);
    EXPECT_EQ(with_block(SYS_FLEN, {h}), 5u);
    EXPECT_EQ(with_block(SYS_READ, {h, BUF, 8}), 3u) << "five bytes of eight asked";
    EXPECT_EQ(mem_.text(BUF, 5), std::string("SHFB\x03"));
    EXPECT_EQ(with_block(SYS_READ, {h, BUF, 4}), 4u) << "at its end nothing more";
    EXPECT_EQ(with_block(SYS_SEEK, {h, 4}), 0u);
    EXPECT_EQ(with_block(SYS_READ, {h, BUF, 1}), 0u);
    EXPECT_EQ(mem_.text(BUF, 1), "\x03");
    EXPECT_EQ(with_block(SYS_READ, {h, BUF, 0}), 0u) << "nothing asked, nothing read";
    EXPECT_EQ(with_block(SYS_SEEK, {h, 0xFFFFFFF0}), 0u);
    EXPECT_EQ(with_block(SYS_READ, {h, BUF, 4}), 4u) << "past the end";
    EXPECT_EQ(write_to(h, "x"), FAILED);
    EXPECT_EQ(with_block(SYS_CLOSE, {h}), 0u);
    EXPECT_TRUE(log_.empty()) << log_.front();
    for (uint32_t mode : {2u, 4u, 8u, 11u}) {
        EXPECT_EQ(open(SEMIHOST_FEATURES_NAME, mode), FAILED) << mode;
        EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EACCES));
    }
    EXPECT_EQ(out_.drain() + err_.drain(), "");
}

// A console read waits for input no longer than the session's deadline.
TEST_F(Semihost, AConsoleReadEndsAtTheDeadline)
{
    s_.deadline_us = 1; // long past
    uint32_t in = open(":tt", 0);
    mem_.put_words(BLOCK, {in, BUF, 4});
    uint32_t r0 = 0xA5A5A5A5;
    semihost_exit exit;
    EXPECT_EQ(semihost_perform(s_, SYS_READ, BLOCK, &r0, &exit), SEMIHOST_DEADLINE);
    EXPECT_EQ(r0, 0xA5A5A5A5u) << "R0 is not touched";
    EXPECT_EQ(semihost_perform(s_, SYS_READC, 0, &r0, &exit), SEMIHOST_DEADLINE);
    in_.feed("ok");
    EXPECT_EQ(with_block(SYS_READ, {in, BUF, 4}), 2u) << "input that is there is read at once";
    EXPECT_EQ(mem_.text(BUF, 2), "ok");
    in_.end();
    EXPECT_EQ(with_block(SYS_READ, {in, BUF, 4}), 4u) << "the input's end is no time-out";
}

TEST_F(Semihost, ClockTimeHeapAndErrno)
{
    s_.heap = {RAM + 0x2000, RAM + 0x8000, RAM + RAM_SIZE, RAM + 0x8000};
    EXPECT_EQ(with_block(SYS_HEAPINFO, {BUF}), 0u);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(mem_.word(BUF + 4 * i), (&s_.heap.heap_base)[i]) << i;
    EXPECT_LT(call(SYS_CLOCK, 0), 100u) << "centiseconds since the start, which was just now";
    uint32_t now = call(SYS_TIME, 0);
    EXPECT_LE(std::labs(long(now) - long(time(nullptr))), 1);
    EXPECT_EQ(call(SYS_TICKFREQ, 0), 1000000u);
    mem_.put_words(BUF, {0xFFFFFFFF, 0xFFFFFFFF});
    EXPECT_EQ(call(SYS_ELAPSED, BUF), 0u);
    EXPECT_LT(mem_.word(BUF), 1000000u);
    EXPECT_EQ(mem_.word(BUF + 4), 0u);
    const std::pair<uint32_t, uint32_t> iserror[] = {{0, 0}, {5, 0}, {FAILED, 1}, {0x80000000, 1}};
    for (const auto &c : iserror)
        EXPECT_EQ(with_block(SYS_ISERROR, {c.first}), c.second) << c.first;
    EXPECT_EQ(call(SYS_ERRNO, 0), 0u);
    EXPECT_EQ(with_block(SYS_FLEN, {99}), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EBADF));
}

TEST_F(Semihost, ExitStatuses)
{
    struct exit_case {
        uint32_t op;
        std::vector<uint32_t> block; // R1 itself for SYS_EXIT
        int status;
    };
    const exit_case cases[] = {
        {SYS_EXIT, {ADP_STOPPED_APPLICATION_EXIT}, 0},
        {SYS_EXIT, {ADP_STOPPED_RUNTIME_ERROR}, 1},
        {SYS_EXIT, {0}, 1},
        {SYS_EXIT_EXTENDED, {ADP_STOPPED_APPLICATION_EXIT, 0}, 0},
        {SYS_EXIT_EXTENDED, {ADP_STOPPED_APPLICATION_EXIT, 3}, 3},
        {SYS_EXIT_EXTENDED, {ADP_STOPPED_APPLICATION_EXIT, 255}, 255},
        {SYS_EXIT_EXTENDED, {ADP_STOPPED_RUNTIME_ERROR, 7}, 7},
        {SYS_EXIT_EXTENDED, {ADP_STOPPED_RUNTIME_ERROR, 0}, 1},
    };
    for (const exit_case &c : cases) {
        uint32_t param = c.block[0];
        if (c.op == SYS_EXIT_EXTENDED) {
            mem_.put_words(BLOCK, c.block);
            param = BLOCK;
        }
        uint32_t r0 = 0x1234;
        semihost_exit exit;
        ASSERT_EQ(semihost_perform(s_, c.op, param, &r0, &exit), SEMIHOST_EXITED);
        EXPECT_EQ(exit.status, c.status) << std::hex << c.block[0];
        EXPECT_EQ(exit.reason, c.block[0]);
        EXPECT_EQ(r0, 0x1234u) << "R0 stays";
    }
    EXPECT_EQ(call(SYS_EXIT_EXTENDED, UNMAPPED), FAILED) << "an unreadable block does not end the run";
}

// Requests no firmware should make: each gets -1 and a log line, and the
// console works right after.
TEST_F(Semihost, HostileRequestsFailAndAreLoggedAndTheSessionGoesOn)
{
    uint32_t out = open(":tt", 4), in = open(":tt", 0);
    ASSERT_EQ(out, 1u);
    struct hostile_case {
        const char *what;
        uint32_t op;
        uint32_t param;
        std::vector<uint32_t> block; // placed at BLOCK when not empty
    };
    const hostile_case cases[] = {
        {"open block unmapped", SYS_OPEN, UNMAPPED, {}},
        {"open name unmapped", SYS_OPEN, BLOCK, {UNMAPPED, 0, 3}},
        {"open name huge", SYS_OPEN, BLOCK, {NAME, 0, 0x7FFFFFFF}},
        {"open mode unknown", SYS_OPEN, BLOCK, {NAME, 12, 3}},
        {"write block past the top", SYS_WRITE, 0xFFFFFFFC, {}},
        {"write buffer unmapped", SYS_WRITE, BLOCK, {out, UNMAPPED, 4}},
        {"write buffer wraps", SYS_WRITE, BLOCK, {out, 0xFFFFFFF0, 0x20}},
        {"write 2 MiB", SYS_WRITE, BLOCK, {out, RAM, 2u << 20}},
        {"write 4 GiB", SYS_WRITE, BLOCK, {out, RAM, 0xFFFFFFFF}},
        {"read 4 GiB", SYS_READ, BLOCK, {in, BUF, 0xFFFFFFFF}},
        {"writec unmapped", SYS_WRITEC, UNMAPPED, {}},
        {"write0 unmapped", SYS_WRITE0, UNMAPPED, {}},
        {"cmdline buffer unmapped", SYS_GET_CMDLINE, BLOCK, {UNMAPPED, 64}},
        {"heapinfo block unmapped", SYS_HEAPINFO, BLOCK, {UNMAPPED}},
        {"elapsed unmapped", SYS_ELAPSED, UNMAPPED, {}},
        {"close unmapped", SYS_CLOSE, UNMAPPED, {}},
        {"istty unmapped", SYS_ISTTY, UNMAPPED, {}},
        {"seek unmapped", SYS_SEEK, UNMAPPED, {}},
        {"flen unmapped", SYS_FLEN, UNMAPPED, {}},
        {"iserror unmapped", SYS_ISERROR, UNMAPPED, {}},
        {"unknown 0x0e (remove)", 0x0E, BLOCK, {NAME, 3}},
        {"unknown 0x12 (system)", 0x12, BLOCK, {NAME, 3}},
        {"unknown 0x17", 0x17, 0, {}},
        {"unknown 0xffffffff", 0xFFFFFFFF, 0, {}},
    };
    mem_.put(NAME, ":tt", 3);
    for (const hostile_case &c : cases) {
        if (!c.block.empty())
            mem_.put_words(BLOCK, c.block);
        log_.clear();
        EXPECT_EQ(call(c.op, c.param), FAILED) << c.what;
        EXPECT_EQ(log_.size(), 1u) << c.what;
        EXPECT_NE(call(SYS_ERRNO, 0), 0u) << c.what;
        EXPECT_EQ(write_to(out, "ok"), 0u) << c.what;
    }
    std::string every_ok;
    for (size_t i = 0; i < std::size(cases); i++)
        every_ok += "ok";
    EXPECT_EQ(out_.drain(), every_ok) << "nothing else reached the console";
}

TEST_F(Semihost, BadHandlesAndAFullTable)
{
    for (uint32_t h : {0u, 2u, 16u, 64u, 65u, 0xFFFFFFFFu}) {
        EXPECT_EQ(write_to(h, "x"), FAILED) << h;
        EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EBADF));
    }
    for (int i = 0; i < SEMIHOST_HANDLES; i++)
        EXPECT_EQ(open(":tt", 4), uint32_t(i + 1));
    EXPECT_EQ(open(":tt", 4), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EMFILE));
    EXPECT_EQ(out_.drain(), "");
}

// A sandbox directory with a file beside it that the firmware must never
// reach, and links of every kind inside.
class SemihostFiles : public Semihost
{
protected:
    void SetUp() override
    {
        Semihost::SetUp();
        char tmpl[] = "/tmp/semihost-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        box_ = root_ + "/box";
        ASSERT_EQ(mkdir(box_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((box_ + "/sub").c_str(), 0700), 0);
        put_file(root_ + "/secret", "outside");
        put_file(box_ + "/inside.txt", "0123456789");
        const std::pair<const char *, std::string> links[] = {
            {"link_out", "../secret"},       {"chain", "link_out"},
            {"abs_link", root_ + "/secret"}, {"up", ".."},
            {"dangle", "../created"},        {"sub/deep_out", "../../secret"},
            {"link_in", "inside.txt"},       {"proc_self", "/proc/self/root/etc/hostname"},
        };
        for (const auto &l : links)
            ASSERT_EQ(symlink(l.second.c_str(), (box_ + "/" + l.first).c_str()), 0) << l.first;
        ASSERT_EQ(mkfifo((box_ + "/fifo").c_str(), 0600), 0);
        ASSERT_EQ(semihost_session_set_dir(s_, box_.c_str()), 0);
    }
    void TearDown() override
    {
        Semihost::TearDown();
        std::string cmd = "rm -rf '" + root_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    static void put_file(const std::string &path, const std::string &text)
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
    }
    std::string root_, box_;
};

TEST_F(SemihostFiles, FilesInsideWorkInEveryForm)
{
    uint32_t w = open("sub/new.txt", 4); // "w"
    ASSERT_NE(w, FAILED);
    EXPECT_EQ(with_block(SYS_ISTTY, {w}), 0u);
    EXPECT_EQ(write_to(w, "hello file"), 0u);
    EXPECT_EQ(with_block(SYS_CLOSE, {w}), 0u);
    uint32_t a = open("sub/new.txt", 8); // "a"
    EXPECT_EQ(write_to(a, "!"), 0u);
    EXPECT_EQ(with_block(SYS_CLOSE, {a}), 0u);

    uint32_t r = open("sub/new.txt", 1); // "rb"
    ASSERT_NE(r, FAILED);
    EXPECT_EQ(with_block(SYS_FLEN, {r}), 11u);
    EXPECT_EQ(with_block(SYS_SEEK, {r, 6}), 0u);
    EXPECT_EQ(with_block(SYS_READ, {r, BUF, 8}), 3u) << "five bytes remain of eight asked";
    EXPECT_EQ(mem_.text(BUF, 5), "file!");
    EXPECT_EQ(write_to(r, "no"), 2u) << "read-only: nothing written";
    EXPECT_EQ(with_block(SYS_CLOSE, {r}), 0u);

    uint32_t l = open("link_in", 2); // "r+": a link that stays inside
    ASSERT_NE(l, FAILED);
    EXPECT_EQ(with_block(SYS_READ, {l, BUF, 10}), 0u);
    EXPECT_EQ(mem_.text(BUF, 10), "0123456789");
    EXPECT_EQ(open("missing", 0), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(ENOENT));
    uint32_t console = open(":tt", 4);
    EXPECT_EQ(with_block(SYS_SEEK, {console, 0}), FAILED) << "the console does not seek";
    EXPECT_EQ(with_block(SYS_FLEN, {console}), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(ESPIPE));
}

TEST_F(SemihostFiles, EveryEscapeIsRefusedAndNothingOutsideChanges)
{
    const char *escapes[] = {
        "/etc/hostname", "../secret", "sub/../../secret",  "..",        "link_out", "chain", "abs_link", "up/secret",
        "sub/deep_out",  "dangle",    "sub/../inside.txt", "proc_self", "fifo",     "sub",   ".",        "",
    };
    for (const char *name : escapes) {
        for (uint32_t mode : {0u, 2u, 4u, 6u, 8u, 10u}) {
            log_.clear();
            EXPECT_EQ(open(name, mode), FAILED) << name << " mode " << mode;
            EXPECT_NE(call(SYS_ERRNO, 0), 0u) << name;
        }
    }
    struct stat st {
    };
    EXPECT_NE(lstat((root_ + "/created").c_str(), &st), 0) << "the dangling link created nothing outside";
    int fd = ::open((root_ + "/secret").c_str(), O_RDONLY | O_CLOEXEC);
    char b[16] = {};
    EXPECT_EQ(read(fd, b, sizeof(b)), 7);
    close(fd);
    EXPECT_STREQ(b, "outside") << "not truncated by a write-mode open";
    uint32_t with_nul = open(std::string("inside.txt\0x", 12), 0);
    EXPECT_EQ(with_nul, FAILED);
}

// Name (at NAME) and length: the two-word form of SYS_REMOVE and of each
// half of SYS_RENAME.
struct target_name {
    uint32_t addr, len;
};

class SemihostRemoveRename : public SemihostFiles
{
protected:
    target_name put_name(uint32_t at, const std::string &name)
    {
        mem_.put(at, name.data(), static_cast<uint32_t>(name.size()));
        return {at, static_cast<uint32_t>(name.size())};
    }
    uint32_t remove(const std::string &name)
    {
        target_name n = put_name(NAME, name);
        return with_block(SYS_REMOVE, {n.addr, n.len});
    }
    uint32_t rename(const std::string &from, const std::string &to)
    {
        target_name a = put_name(NAME, from), b = put_name(NAME + 0x100, to);
        return with_block(SYS_RENAME, {a.addr, a.len, b.addr, b.len});
    }
    bool exists(const std::string &path) const
    {
        struct stat st {
        };
        return lstat(path.c_str(), &st) == 0;
    }
};

TEST_F(SemihostRemoveRename, InsideTheDirectoryTheyWork)
{
    EXPECT_EQ(rename("inside.txt", "sub/moved.txt"), 0u);
    EXPECT_FALSE(exists(box_ + "/inside.txt"));
    EXPECT_TRUE(exists(box_ + "/sub/moved.txt"));
    EXPECT_EQ(remove("sub/moved.txt"), 0u);
    EXPECT_FALSE(exists(box_ + "/sub/moved.txt"));
    EXPECT_EQ(remove("link_out"), 0u) << "a link is removed, not what it names";
    EXPECT_FALSE(exists(box_ + "/link_out"));
    EXPECT_TRUE(exists(root_ + "/secret"));
    EXPECT_EQ(remove("missing"), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(ENOENT));
    EXPECT_EQ(remove("sub"), FAILED) << "no directories";
    EXPECT_EQ(rename("missing", "other"), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(ENOENT));
    EXPECT_TRUE(log_.empty()) << log_.front();
}

TEST_F(SemihostRemoveRename, EveryEscapeIsRefusedAndNothingOutsideChanges)
{
    const char *escapes[] = {
        "/tmp/x", "../secret", "sub/../../secret", "..", "up/secret", "sub/deep_out/x", "link_out/../x", ".", "sub/.",
        "",       "sub/",      "abs_link/x"};
    for (const char *name : escapes) {
        EXPECT_EQ(remove(name), FAILED) << name;
        EXPECT_NE(call(SYS_ERRNO, 0), 0u) << name;
        EXPECT_EQ(rename("link_in", name), FAILED) << "to " << name;
        EXPECT_EQ(rename(name, "taken"), FAILED) << "from " << name;
    }
    EXPECT_TRUE(exists(root_ + "/secret"));
    EXPECT_FALSE(exists(root_ + "/x"));
    EXPECT_FALSE(exists(box_ + "/taken"));
    EXPECT_TRUE(exists(box_ + "/link_in"));
    EXPECT_EQ(remove(std::string("inside.txt\0x", 12)), FAILED);
    EXPECT_TRUE(exists(box_ + "/inside.txt"));
    EXPECT_EQ(with_block(SYS_REMOVE, {UNMAPPED, 4}), FAILED);
    EXPECT_EQ(with_block(SYS_RENAME, {NAME, 2 * SEMIHOST_MAX_NAME, NAME, 1}), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), 91u) << "ENAMETOOLONG as the target's library numbers it";
}

TEST_F(Semihost, WithoutADirectoryNoFileOpens)
{
    EXPECT_EQ(open("anything\x1b[2J\n.txt", 4), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EACCES));
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("\"anything?[2J?.txt\""), std::string::npos) << "no control bytes in the log: " << log_[0];
    EXPECT_EQ(semihost_session_set_dir(s_, "/nonexistent/dir"), -ENOENT);
    mem_.put(NAME, "a.txt", 5);
    EXPECT_EQ(with_block(SYS_REMOVE, {NAME, 5}), FAILED);
    EXPECT_EQ(call(SYS_ERRNO, 0), uint32_t(EACCES));
}

} // namespace
