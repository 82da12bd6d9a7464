// tarvex-cli run with firmware built against the target C libraries that
// Debian ships, newlib (rdimon) and picolibc, through the real server and
// the virtual probe: the verdicts, arguments, console, files and input as
// those libraries' own semihosting code asks for them. Each probe starts
// without firmware, so every run also programs the flash and shows that a
// blank probe's trace adds nothing to the output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "server_process.h"

extern char **environ;

namespace
{

struct library {
    const char *name;
    const char *elf;
    bool picolibc;
};

// For gtest's messages: the name, not the record's bytes.
void PrintTo(const library &l, std::ostream *os)
{
    *os << l.name;
}

const library NEWLIB = {"newlib", NEWLIB_ELF, false};
const library PICOLIBC = {"picolibc", PICOLIBC_ELF, true};

struct cli_run {
    int status = -1;
    std::string out;
    std::string err;
};

// A generous ceiling: every case ends by itself well before it.
constexpr const char *RUN_TIMEOUT = "120";

class LibcRun : public ::testing::TestWithParam<std::tuple<library, const char *>>
{
protected:
    void SetUp() override
    {
        std::vector<std::string> vprobe = {"--probes", "1"};
        if (std::string(std::get<1>(GetParam())) == "fast")
            vprobe.insert(vprobe.begin(), "--fast");
        ASSERT_EQ(server_.start({}, vprobe, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    }
    const library &lib() const { return std::get<0>(GetParam()); }
    std::vector<std::string> cli_words(const std::vector<std::string> &args, const std::vector<std::string> &options)
    {
        std::vector<std::string> words = {TARVEX_CLI_PATH, "--port",   std::to_string(server_.port), "run", lib().elf,
                                          "--timeout",     RUN_TIMEOUT};
        words.insert(words.end(), options.begin(), options.end());
        words.push_back("--");
        words.insert(words.end(), args.begin(), args.end());
        return words;
    }
    cli_run run(const std::vector<std::string> &args, const std::vector<std::string> &options = {})
    {
        cli_run r;
        r.status = tarvex_test::run_to_end(cli_words(args, options), &r.out, &r.err, 120000);
        return r;
    }
    // Standard error into standard output, so that their order shows.
    cli_run run_merged(const std::vector<std::string> &args)
    {
        std::string line;
        for (const std::string &w : cli_words(args, {}))
            line += " '" + w + "'";
        cli_run r;
        r.status = tarvex_test::run_to_end({"/bin/sh", "-c", line + " 2>&1"}, &r.out, &r.err, 120000);
        return r;
    }
    // What "args" prints: newlib's argv is the host's command line, picolibc
    // names the program itself and takes every word as an argument.
    std::string args_text(const std::vector<std::string> &words) const
    {
        std::vector<std::string> argv = {lib().picolibc ? "program-name" : lib().elf};
        if (lib().picolibc)
            argv.push_back(lib().elf);
        argv.insert(argv.end(), words.begin(), words.end());
        std::string text = "argc " + std::to_string(argv.size()) + "\n";
        for (size_t i = 0; i < argv.size(); i++)
            text += "argv[" + std::to_string(i) + "] " + argv[i] + "\n";
        return text;
    }
    tarvex_test::server_process server_;
};

// Both libraries learn of SYS_EXIT_EXTENDED from the feature file; before
// it was answered, newlib ended every run with 0 and picolibc with 0 or 1.
TEST_P(LibcRun, TheFirmwaresExitStatusIsTheVerdict)
{
    struct status_case {
        std::vector<std::string> words;
        int status;
    };
    const status_case cases[] = {
        {{"exit=0"}, 0},     {{"exit=1"}, 1}, {{"exit=3"}, 3}, {{"return=5"}, 5}, {{"lines=1", "return=0"}, 0},
        {{"exit=123"}, 123},
    };
    for (const status_case &c : cases) {
        cli_run r = run(c.words);
        EXPECT_EQ(r.status, c.status) << lib().name << " " << c.words.back() << ": " << r.err;
        EXPECT_EQ(r.err, "") << "nothing on standard error, the feature file's look-up included";
    }
    // Above 123 a status could be taken for the tool's own: one failure
    // status, the firmware's value said. abort() is the library's exit:
    // newlib's status 6, picolibc's 134.
    const std::pair<std::string, int> beyond[] = {{"exit=255", 255}, {"exit=124", 124}, {"abort", 134}};
    for (const auto &[word, value] : beyond) {
        cli_run r = run({word});
        if (word == "abort" && !lib().picolibc) {
            EXPECT_EQ(r.status, 6) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 128) << word << ": " << r.err;
        EXPECT_NE(r.err.find("the firmware exited with status " + std::to_string(value)), std::string::npos) << r.err;
    }
}

TEST_P(LibcRun, ArgumentsAsTheLibrarySeesThem)
{
    const std::vector<std::vector<std::string>> cases = {
        {"args"},
        {"args", "--quick", "-n", "3"},
    };
    for (const std::vector<std::string> &words : cases) {
        cli_run r = run(words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, args_text(words));
    }
}

// newlib reads quoted words whole; picolibc splits at every space and
// keeps the quotes (its own limit).
TEST_P(LibcRun, WordsWithSpacesAndQuotes)
{
    cli_run r = run({"args", "two words", "it's", "say \"hi\""});
    EXPECT_EQ(r.status, 0) << r.err;
    if (lib().picolibc)
        EXPECT_EQ(r.out, args_text({"args", "\"two", "words\"", "\"it's\"", "'say", "\"hi\"'"}));
    else
        EXPECT_EQ(r.out, args_text({"args", "two words", "it's", "say \"hi\""}));
    cli_run refused = run({"args", "both ' and \""});
    EXPECT_EQ(refused.status, 125);
    EXPECT_NE(refused.err.find("both quote characters"), std::string::npos) << refused.err;
}

// newlib's buffer is 255 bytes, picolibc's 1024: a longer line reaches
// neither cut, and the run says so.
TEST_P(LibcRun, ACommandLineTooLongForTheFirmwareIsRefusedAndSaid)
{
    cli_run r = run({"args", std::string(1100, 'x')});
    EXPECT_EQ(r.out, "") << "the firmware saw no argument";
    std::string said = lib().picolibc ? "1024-byte buffer" : "255-byte buffer";
    EXPECT_NE(r.err.find("does not fit the firmware's " + said), std::string::npos) << r.err;
}

TEST_P(LibcRun, StandardOutputAndErrorKeepTheirOrder)
{
    cli_run r = run_merged({"order=20"});
    ASSERT_EQ(r.status, 0) << r.out;
    std::string expected;
    for (int i = 1; i <= 20; i++)
        expected += "out " + std::to_string(i) + "\nerr " + std::to_string(i) + "\n";
    EXPECT_EQ(r.out, expected);
}

// picolibc writes a character a call, so its share is smaller.
TEST_P(LibcRun, AHundredKilobytesOfOutputArriveWhole)
{
    int kib = lib().picolibc ? 4 : 100;
    cli_run r = run({"bulk=" + std::to_string(kib)});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    char line[80];
    for (int i = 0; i < kib * 16; i++) {
        snprintf(line, sizeof(line), "%08d the quick brown fox jumps over the lazy dog 0123456789ab\n", i);
        expected += line;
    }
    EXPECT_EQ(r.out.size(), expected.size());
    EXPECT_TRUE(r.out == expected) << "the output differs from what the firmware wrote";
}

// A sandbox directory with a file beside it that the firmware must not
// reach, and a link inside that leads to it.
class LibcFiles : public LibcRun
{
protected:
    void SetUp() override
    {
        LibcRun::SetUp();
        root_ = tarvex_test::scratch_path("libc-files", lib().name);
        box_ = root_ + "/box";
        std::filesystem::create_directories(box_);
        tarvex_test::write_file(root_ + "/secret", "outside");
        ASSERT_EQ(symlink("../secret", (box_ + "/link_out").c_str()), 0);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    cli_run in_box(const std::vector<std::string> &words) { return run(words, {"--semihosting-dir", box_}); }
    std::string root_, box_;
};

// picolibc's semihosting layer has no rename: the firmware leaves it out.
TEST_P(LibcFiles, EveryFileOperationInsideTheDirectory)
{
    cli_run r = in_box({"files"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "files: ok\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(std::filesystem::exists(box_ + "/semi-a.txt"));
    EXPECT_FALSE(std::filesystem::exists(box_ + "/semi-b.txt"));
}

TEST_P(LibcFiles, EscapesAreRefusedAndNothingOutsideChanges)
{
    cli_run r = in_box({"open=../secret", "open=/etc/hostname", "open=link_out", "remove=../secret",
                        "remove=link_out/x", "open=" + root_ + "/secret"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *name : {"../secret", "/etc/hostname", "link_out"})
        EXPECT_NE(r.out.find(std::string("open ") + name + ": errno "), std::string::npos) << name << ": " << r.out;
    EXPECT_NE(r.out.find("remove ../secret: errno 13"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(": ok"), std::string::npos) << r.out;
    EXPECT_EQ(tarvex_test::read_file(root_ + "/secret"), "outside");
    cli_run without = run({"open=anything"});
    EXPECT_EQ(without.out, "open anything: errno 13\n") << "no directory, no file";
}

// newlib keeps its own table of 20 streams (three of them standard ones),
// so it stops at 17 by itself; picolibc opens all 30.
TEST_P(LibcFiles, ThirtyFilesOpenAtOnce)
{
    cli_run r = in_box({"many=30"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lib().picolibc ? "many: 30 open\n" : "many: stopped at 17, errno 24\n");
    EXPECT_EQ(r.err, "") << "the host refused none of them";
}

TEST_P(LibcRun, TimeClockAFaultAndATimeOut)
{
    cli_run time = run({"time"});
    EXPECT_EQ(time.out, "time: ok\n") << time.err;
    cli_run fault = run({"fault"});
    if (lib().picolibc) {
        // picolibc's start-up takes the HardFault itself: it prints the
        // registers and exits with status 1.
        EXPECT_EQ(fault.status, 1) << fault.err;
        EXPECT_NE(fault.out.find("ARM fault: "), std::string::npos) << fault.out;
    } else {
        EXPECT_EQ(fault.status, 139);
        EXPECT_NE(fault.err.find("libc_test.c:"), std::string::npos) << "the line from DWARF: " << fault.err;
    }
    cli_run hang = run({"hang"}, {"--timeout", "0.5"});
    EXPECT_EQ(hang.status, 124);
    EXPECT_NE(hang.err.find("time-out after 0.5 s"), std::string::npos) << hang.err;
}

// Standard input through a pipe the test holds open: the firmware waits
// in the library's read.
struct open_pipe_run {
    pid_t pid = -1;
    int write_end = -1;
};

open_pipe_run spawn_with_open_input(const std::vector<std::string> &words, const std::string &out,
                                    const std::string &err)
{
    open_pipe_run p;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return p;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> argv;
    for (const std::string &w : words)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&p.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        p.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    p.write_end = fds[1];
    return p;
}

class LibcInput : public LibcRun
{
};

TEST_P(LibcInput, StandardInputToItsEnd)
{
    std::string line;
    for (const std::string &w : cli_words({"stdin"}, {}))
        line += " '" + w + "'";
    cli_run r;
    r.status = tarvex_test::run_to_end({"/bin/sh", "-c", "printf 'typed input\\n' |" + line}, &r.out, &r.err, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "stdin: 12 bytes, sum 1152\n");
}

// Before the console read waited on the time-out, the run lasted as long
// as whoever held the pipe open.
TEST_P(LibcInput, ATimeOutEndsAWaitForInputThatNeverComes)
{
    tarvex_test::server_process waiter; // for its scratch directory and its wait
    open_pipe_run p =
        spawn_with_open_input(cli_words({"stdin"}, {"--timeout", "1"}), waiter.dir + "/stdout", waiter.dir + "/stderr");
    ASSERT_GT(p.pid, 0);
    waiter.pid = p.pid;
    EXPECT_EQ(waiter.wait_exit(60000), 124) << waiter.stderr_text();
    EXPECT_NE(waiter.stderr_text().find("time-out after 1 s"), std::string::npos) << waiter.stderr_text();
    close(p.write_end);
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<library, const char *>> &info)
{
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
}

// The exit statuses also run on umockdev; the rest on the fast transport.
INSTANTIATE_TEST_SUITE_P(Libraries, LibcRun,
                         ::testing::Combine(::testing::Values(NEWLIB, PICOLIBC), ::testing::Values("fast")), case_name);
INSTANTIATE_TEST_SUITE_P(Libraries, LibcFiles,
                         ::testing::Combine(::testing::Values(NEWLIB, PICOLIBC), ::testing::Values("fast")), case_name);
// picolibc reads its input a character at a time through SYS_READC, whose
// end of input it takes for the byte 0xFF: it never sees the end.
INSTANTIATE_TEST_SUITE_P(Libraries, LibcInput, ::testing::Combine(::testing::Values(NEWLIB), ::testing::Values("fast")),
                         case_name);

class LibcRunBoth : public LibcRun
{
};

TEST_P(LibcRunBoth, StatusAndArgumentsOnEachTransport)
{
    cli_run r = run({"lines=2", "exit=3"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "line 0\nline 1\n");
    EXPECT_EQ(r.err, "");
    cli_run args = run({"args", "one"});
    EXPECT_EQ(args.out, args_text({"args", "one"}));
}

INSTANTIATE_TEST_SUITE_P(Libraries, LibcRunBoth,
                         ::testing::Combine(::testing::Values(NEWLIB, PICOLIBC), ::testing::Values("fast", "umockdev")),
                         case_name);

} // namespace
