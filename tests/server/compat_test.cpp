// Behaviours kept because clients and operators may rely on them, although
// they look like faults (docs/compatibility.md lists each with its reason),
// through the real server over loopback.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "server_process.h"

using tarvex::get_u32;
using tarvex_test::server_process;

namespace
{

struct exchange {
    const char *request;
    const char *reply;
};

class Compatibility : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        server_ = new server_process();
        ASSERT_EQ(server_->start({}), 0);
        ASSERT_EQ(server_->wait_listening(), 0);
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    // The reply to get-version, which no other request can be mistaken for:
    // a connection whose next reply is this one had nothing else pending.
    static void expect_in_step(tarvex::connection &c)
    {
        std::string reply;
        ASSERT_EQ(c.text("get-version\n", &reply), 0);
        EXPECT_EQ(reply.rfind("tarvex-server v", 0), 0u) << "a reply was pending: " << reply;
    }
    // Each request in turn on one new connection, with its exact reply.
    static void expect_replies(const std::vector<exchange> &exchanges)
    {
        tarvex::connection c = server_->connect();
        for (const exchange &e : exchanges) {
            std::string reply;
            ASSERT_EQ(c.text(e.request, &reply), 0) << e.request;
            EXPECT_EQ(reply, e.reply) << e.request;
        }
    }
    static server_process *server_;
};

server_process *Compatibility::server_ = nullptr;

struct one_send {
    const char *what;
    std::string bytes;      // two or more requests in one send
    std::string first_line; // the one reply, a text line
    size_t binary_reply;    // or the size of the one binary reply (0: text)
    uint32_t first_word;
};

// One receive is one request: what follows the first request in the same
// send is never answered, and the connection stays in step.
TEST_F(Compatibility, TwoRequestsInOneSendGetOneReply)
{
    const one_send cases[] = {
        {"two text lines", "choose-tarvex 0\nget-nb-tcp-client\n", "1 0 0\n", 0, 0},
        {"three text lines", "get-nb-tarvex\nget-nb-tarvex\nget-nb-tarvex\n", "1 0\n", 0, 0},
        {"text then binary", std::string("get-nb-tcp-client\n") + '\x06' + '\x01', "1 1\n", 0, 0},
        {"binary then binary", std::string("\x01\x06\x01", 3), "", 4, 0},
        {"binary then text", std::string("\x06\x01\x00\x00", 4) + "get-nb-tarvex\n", "", 16, 1},
    };
    tarvex::connection c = server_->connect();
    for (const one_send &os : cases) {
        SCOPED_TRACE(os.what);
        ASSERT_EQ(c.send_bytes(os.bytes.data(), os.bytes.size()), 0);
        if (os.binary_reply == 0) {
            std::string line;
            ASSERT_EQ(c.recv_line(&line), 0);
            EXPECT_EQ(line, os.first_line);
        } else {
            std::vector<uint8_t> reply(os.binary_reply);
            ASSERT_EQ(c.recv_exact(reply.data(), reply.size()), 0);
            EXPECT_EQ(get_u32(reply, 0), os.first_word);
        }
        expect_in_step(c);
    }
}

// The other side of the same rule: a request that arrives in two receives
// is two requests, each answered on its own.
TEST_F(Compatibility, ARequestSplitAcrossTwoSendsIsTwoRequests)
{
    tarvex::connection c = server_->connect();
    std::string reply;
    // The reply to the first part shows it was received alone.
    ASSERT_EQ(c.text("get-nb-", &reply), 0);
    EXPECT_EQ(reply, "0 unknown_command\n");
    ASSERT_EQ(c.text("tarvex\n", &reply), 0);
    EXPECT_EQ(reply, "0 unknown_command\n");
    ASSERT_EQ(c.text("get-nb-tarvex", &reply), 0);
    EXPECT_EQ(reply, "1 0\n") << "a request needs no line end";
    ASSERT_EQ(c.text("\n", &reply), 0);
    EXPECT_EQ(reply, "0 unknown_command\n") << "a line end alone is a request of its own";
    expect_in_step(c);
}

// Keywords are prefixes tried in table order: a longer word that begins with
// a keyword is that keyword's request, with its reply form. No probe here,
// so each answers its command's form without an association.
TEST_F(Compatibility, AKeywordMatchesEveryRequestThatBeginsWithIt)
{
    expect_replies({
        {"get-nb-tarvexXYZ\n", "1 0\n"},
        // The register read's form ("1 RESULT VALUE"), not the register file's.
        {"tarvex-tcp-read-registers 256 f 0\n", "1 0 0\n"},
        {"tarvex-tcp-read-regs 256 0\n", "1 0\n"},
        // The hold's "1 -4": no association of this client.
        {"tarvex-tcp-holder 256 0\n", "1 -4\n"},
        {"tarvex-usb-resetting 256\n", "1 0\n"},
        {"get-tarvex-chosenXYZ\n", "1 0\n"},
    });
}

// The memory write compares only "tarvex-tcp-write", after the register
// writes: any other word of that beginning is a memory write, payload and all.
TEST_F(Compatibility, AnyTarvexTcpWriteWordIsAMemoryWriteWithItsPayload)
{
    tarvex::connection c = server_->connect();
    for (const char *keyword : {"tarvex-tcp-write-mem", "tarvex-tcp-writeXYZ", "tarvex-tcp-write"}) {
        std::string request = std::string(keyword) + " 256 20000000 1 4 0\nabcd";
        std::string reply;
        ASSERT_EQ(c.text(request, &reply), 0) << keyword;
        EXPECT_EQ(reply, "1 0\n") << keyword << ": the write's reply without an association";
        expect_in_step(c);
    }
}

// Most commands split their arguments into six slots of 79 characters and
// answer "0 unknown_command" past them; get-nb-tarvex and tarvex-exit never
// split theirs, so nothing after their keyword is refused.
TEST_F(Compatibility, TokenLimitsBindOnlyTheCommandsThatReadArguments)
{
    const std::string seven_words = " a b c d e f g\n";
    const std::string long_word = " " + std::string(200, 'w') + "\n";
    expect_replies({
        {"get-nb-tcp-client a b c d e\n", "1 1\n"},
        {"get-nb-tcp-client a b c d e f\n", "0 unknown_command\n"},
        {"get-nb-tcp-client a   b c d e\n", "1 1\n"}, // a run of spaces is one separator
        // but the line end after trailing spaces is a token of its own
        {"get-nb-tcp-client a b c d e \n", "0 unknown_command\n"},
    });
    EXPECT_TRUE(server_->wait_stderr("Warn : process_tarvex_tcp_cmd : request refused, more than 6 tokens or a "
                                     "token of 80 characters or more\n"));
    tarvex::connection c = server_->connect();
    for (const std::string &tail : {seven_words, long_word}) {
        std::string reply;
        ASSERT_EQ(c.text("get-nb-tarvex" + tail, &reply), 0);
        EXPECT_EQ(reply, "1 0\n") << "get-nb-tarvex" << tail;
        ASSERT_EQ(c.text("get-nb-tcp-client" + tail, &reply), 0);
        EXPECT_EQ(reply, "0 unknown_command\n") << "get-nb-tcp-client" << tail;
    }
}

// Every get-version request also writes the version text to the log, as
// --version does.
TEST_F(Compatibility, GetVersionWritesTheVersionTextToTheLog)
{
    auto lines = [] {
        std::string err = server_->stderr_text();
        size_t n = 0;
        for (size_t at = err.find("tarvex-server v"); at != std::string::npos; at = err.find("tarvex-server v", at + 1))
            n++;
        return n;
    };
    size_t before = lines();
    tarvex::connection c = server_->connect();
    std::string reply;
    ASSERT_EQ(c.text("get-version\n", &reply), 0);
    EXPECT_TRUE(tarvex_test::eventually([&] { return lines() == before + 1; })) << server_->stderr_text();
    EXPECT_NE(server_->stderr_text().find(reply), std::string::npos) << "the reply's text, line end and all";
}

// The help text names "-n", "--auto-exit" and "--log-output", which the
// parser does not take: each is reported as unknown and passed over, and the
// server starts as without it. (The spellings it does take: "--network",
// "--auto-kill" or "-a", "--log_output" or "-l".)
TEST(CompatibilityOptions, SpellingsOnlyTheHelpTextNamesChangeNothing)
{
    {
        server_process s;
        ASSERT_EQ(s.start({"-n"}), 0);
        ASSERT_EQ(s.wait_listening(), 0);
        EXPECT_NE(s.stderr_text().find("invalid option -- 'n'"), std::string::npos) << s.stderr_text();
        EXPECT_TRUE(tarvex_test::port_listening(s.port, false));
        EXPECT_FALSE(tarvex_test::port_listening(s.port, true)) << "-n does not listen on every interface";
    }
    {
        server_process s;
        std::string log = s.dir + "/named.log";
        ASSERT_EQ(s.start({"--log-output", log}), 0);
        ASSERT_EQ(s.wait_listening(), 0);
        EXPECT_TRUE(s.wait_stderr("Info : port par default : " + std::to_string(s.port)))
            << "the log stays on standard error";
        EXPECT_NE(s.stderr_text().find("unrecognized option '--log-output'"), std::string::npos) << s.stderr_text();
        EXPECT_NE(access(log.c_str(), F_OK), 0) << "no log file is made";
    }
    {
        server_process s;
        ASSERT_EQ(s.start({"-d3", "--auto-exit"}), 0);
        ASSERT_EQ(s.wait_listening(), 0);
        EXPECT_NE(s.stderr_text().find("unrecognized option '--auto-exit'"), std::string::npos) << s.stderr_text();
        {
            tarvex::connection c = s.connect();
            std::string reply;
            ASSERT_EQ(c.text("get-nb-tcp-client\n", &reply), 0);
        }
        // The rule is weighed at the client's end, and declined.
        EXPECT_TRUE(s.wait_stderr("not ask to exit() because 0"));
        tarvex::connection later = s.connect();
        std::string reply;
        ASSERT_EQ(later.text("get-nb-tcp-client\n", &reply), 0);
        EXPECT_EQ(reply, "1 1\n");
        EXPECT_EQ(s.wait_exit(0), -1) << "the server outlived its client";
    }
}

// Above the info threshold every record of the protocol layer names the
// file "tarvex_tcp_cmd" and the function "process_tarvex_tcp_cmd", whichever
// handler wrote it: filters written for those names keep finding them.
TEST(CompatibilityLog, ProtocolRecordsNameTheDispatcher)
{
    server_process s;
    ASSERT_EQ(s.start({"-d3"}), 0);
    ASSERT_EQ(s.wait_listening(), 0);
    tarvex::connection c = s.connect();
    std::string reply;
    ASSERT_EQ(c.text("register-client compat\n", &reply), 0);
    ASSERT_EQ(c.text("get-nb-tarvex\n", &reply), 0);
    ASSERT_TRUE(s.wait_stderr("get-nb-tarvex: (compat) : returned value"));
    const std::regex received("Debug: [0-9]+ -?[0-9]+ tarvex_tcp_cmd:[0-9]+ process_tarvex_tcp_cmd\\(\\): "
                              "get-nb-tarvex : command received from \\(compat\\)\n");
    EXPECT_TRUE(std::regex_search(s.stderr_text(), received)) << s.stderr_text();
}

} // namespace
