#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "tarvex_log.h"

namespace
{

// Each test sends the records to a file of its own and reads them back.
class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tarvex-log-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
        debug_level = -1;
        log_init();
        handle_log_output_command(path_.c_str());
    }
    void TearDown() override { unlink(path_.c_str()); }

    std::string contents() const
    {
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::string path_;
};

TEST_F(LogTest, DefaultThresholdIsInfoWithShortForm)
{
    EXPECT_EQ(debug_level, LOG_LVL_INFO);
    log_printf_lf(LOG_LVL_ERROR, "src/x.cpp", 10, "f", "broken %d", 7);
    log_printf_lf(LOG_LVL_INFO, "src/x.cpp", 11, "f", "hello");
    log_printf_lf(LOG_LVL_DEBUG, "src/x.cpp", 12, "f", "hidden");
    log_printf_lf(LOG_LVL_USER, "src/x.cpp", 13, "f", "for you");
    EXPECT_EQ(contents(), "Error: broken 7\nInfo : hello\nfor you\n");
}

TEST_F(LogTest, AboveInfoEveryRecordHasTheLongForm)
{
    debug_level = LOG_LVL_DEBUG;
    log_printf_lf(LOG_LVL_INFO, "/a/b/common.cpp", 42, "create_listening_sockets", "port %s", "7184");
    log_printf_lf(LOG_LVL_USER, "plain.cpp", 7, "g", "u");
    log_printf_lf(LOG_LVL_DEBUG, "d.cpp", 1, "h", "dbg");
    std::regex expected("Info : [0-9]+ -?[0-9]+ common\\.cpp:42 create_listening_sockets\\(\\): port 7184\n"
                        "User : [0-9]+ -?[0-9]+ plain\\.cpp:7 g\\(\\): u\n"
                        "Debug: [0-9]+ -?[0-9]+ d\\.cpp:1 h\\(\\): dbg\n");
    EXPECT_TRUE(std::regex_match(contents(), expected)) << contents();
}

TEST_F(LogTest, SuppressedRecordsStillUseUpACallNumber)
{
    debug_level = LOG_LVL_DEBUG;
    log_printf_lf(LOG_LVL_INFO, "a.cpp", 1, "f", "first");
    debug_level = LOG_LVL_ERROR;
    log_printf_lf(LOG_LVL_INFO, "a.cpp", 2, "f", "suppressed");
    debug_level = LOG_LVL_DEBUG;
    log_printf_lf(LOG_LVL_INFO, "a.cpp", 3, "f", "third");
    std::smatch m;
    std::string text = contents();
    std::regex numbered("Info : ([0-9]+) .*first\nInfo : ([0-9]+) .*third\n");
    ASSERT_TRUE(std::regex_match(text, m, numbered)) << text;
    EXPECT_EQ(std::stoi(m[2]) - std::stoi(m[1]), 2);
}

TEST_F(LogTest, SilentAndOutputThresholds)
{
    debug_level = LOG_LVL_SILENT;
    log_printf(LOG_LVL_OUTPUT, "a.cpp", 1, "f", "help\n");
    log_printf_lf(LOG_LVL_ERROR, "a.cpp", 1, "f", "err");
    EXPECT_EQ(contents(), "");
    debug_level = LOG_LVL_OUTPUT;
    log_printf(LOG_LVL_OUTPUT, "a.cpp", 1, "f", "help\n");
    log_printf_lf(LOG_LVL_USER, "a.cpp", 1, "f", "user");
    log_printf_lf(LOG_LVL_ERROR, "a.cpp", 1, "f", "err");
    EXPECT_EQ(contents(), "help\n");
}

TEST_F(LogTest, OutputRecordsKeepTheirTextInTheLongForm)
{
    debug_level = LOG_LVL_DEBUG;
    log_printf(LOG_LVL_OUTPUT, "a.cpp", 1, "f", "tarvex-server v1\n");
    EXPECT_EQ(contents(), "tarvex-server v1\n");
}

TEST_F(LogTest, SignalSafeRecordMatchesTheNormalForm)
{
    log_signal_safe_lf(LOG_LVL_INFO, "src/signal_handler.cpp", 5, "ctrl_handler", "ctrl_handler ", 2);
    EXPECT_EQ(contents(), "Info : ctrl_handler 2\n");
}

TEST(AllocPrintf, FormatsIntoAHeapStringWithRoomForALineEnd)
{
    char *text = alloc_printf("%s-%d", "abc", -12);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "abc--12");
    free(text);
}

} // namespace
