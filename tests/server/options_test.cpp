// Command lines the server must refuse before it starts (a misspelt access
// or listening option would otherwise leave it open wider than meant), and
// the documented spellings that must keep starting it.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server_process.h"

using tarvex_test::server_process;

namespace
{

// SOCK in an argument stands for a socket path in the server's directory.
struct command_line_case {
    std::vector<std::string> args;
    const char *refusal; // the error the start ends with; null: the server starts
};

std::vector<std::string> expand(const std::vector<std::string> &args, const std::string &dir)
{
    std::vector<std::string> out;
    for (const std::string &a : args)
        out.push_back(a == "SOCK" ? dir + "/tarvex.sock" : a);
    return out;
}

std::string own_group()
{
    const struct group *gr = getgrgid(getegid());
    return gr != nullptr ? gr->gr_name : "root";
}

TEST(Options, MisspeltAccessAndListeningOptionsStopTheStart)
{
    const std::string group = own_group();
    const command_line_case cases[] = {
        {{"--allow-grop", group}, "--allow-grop is not an option of tarvex-server"},
        {{"--allow", group}, "--allow is ambiguous: --allow-user, --allow-group, --allow-network"},
        {{"--allow-netwrok", "127.0.0.0/8"}, "--allow-netwrok is not an option"},
        {{"--allow-", "root"}, "--allow- is ambiguous"},
        {{"-allow-group", group},
         "-allow-group has one dash and would be read as short options; the long option "
         "is written --allow-group"},
        {{"-allow-user", "root"}, "-allow-user has one dash"},
        {{"-unix", "SOCK"}, "-unix has one dash"},
        {{"-network-enable"}, "-network-enable has one dash"},
        {{"--unix-grp", group}, "--unix-grp is not an option"},
        {{"--unix-", "0600"}, "--unix- is ambiguous: --unix-mode, --unix-group"},
        {{"--networks"}, "--networks is not an option"},
        {{"--network=yes"}, "--network-enable takes no value"},
        {{"-s", "x", "--allow-group"}, "--allow-group needs a value"},
        // After a word the parser takes as a value, and after a good option.
        {{"--allow-group", group, "--allow-usr", "root"}, "--allow-usr is not an option"},
        {{"-p7184", "-allow-network", "127.0.0.0/8"}, "-allow-network has one dash"},
    };
    for (const command_line_case &c : cases) {
        server_process s;
        ASSERT_EQ(s.start(expand(c.args, s.dir)), 0);
        EXPECT_EQ(s.wait_exit(), 251) << c.args[0];
        std::string err = s.stderr_text();
        EXPECT_NE(err.find(std::string("Error: ") + c.refusal), std::string::npos) << c.args[0] << ": " << err;
        EXPECT_NE(err.find(": the server does not start\n"), std::string::npos) << c.args[0] << ": " << err;
        EXPECT_FALSE(tarvex_test::port_listening(s.port)) << c.args[0];
    }
}

TEST(Options, DocumentedSpellingsStillStartTheServer)
{
    const std::string group = own_group();
    const command_line_case cases[] = {
        {{"--allow-group", group}, nullptr},
        {{"--allow-g", group}, nullptr}, // an abbreviation that names one option
        {{"--allow-user", "root", "--allow-network", "127.0.0.0/8"}, nullptr},
        {{"--allow-user=root"}, nullptr},
        {{"--unix", "SOCK", "--unix-mode", "0600", "--unix-group", group}, nullptr},
        {{"--network"}, nullptr},
        {{"--network-enable"}, nullptr},
        {{"--protocol_familly"}, nullptr},
        {{"--listen", "127.0.0.1"}, nullptr},
        {{"-s", "-allow-group"}, nullptr}, // the value of -s (ignored), not an option
        // Other unknown options are reported by the parser and passed over.
        {{"--auto-exit"}, nullptr},
        {{"-n"}, nullptr},
    };
    for (const command_line_case &c : cases) {
        server_process s;
        ASSERT_EQ(s.start(expand(c.args, s.dir)), 0);
        EXPECT_EQ(s.wait_listening(), 0) << c.args[0] << ": " << s.stderr_text();
        s.send_signal(SIGINT);
        EXPECT_EQ(s.wait_exit(), 2) << c.args[0];
    }
}

} // namespace
