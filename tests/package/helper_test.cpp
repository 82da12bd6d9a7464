// The client tools' package alone (the server component, installed into a
// scratch DESTDIR) flashes with its own helper: unchanged sectors are left
// alone and nothing is said. Without the helper it still flashes, and
// says in one warning where it looked and what is lost.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "server_process.h"

namespace
{

using tarvex_test::program_run;

class ServerPackage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        unsetenv("TARVEX_DATA_DIR");
        char tmpl[] = "/tmp/tarvex-package-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dest_ = tmpl;
        std::string out, err;
        int status = tarvex_test::run_to_end(
            {"/usr/bin/env", "DESTDIR=" + dest_, CMAKE_COMMAND, "--install", TARVEX_BUILD_DIR, "--component", "server"},
            &out, &err, 60000);
        ASSERT_EQ(status, 0) << out << err;
        cli_ = dest_ + INSTALL_BINDIR + "/tarvex-cli";
        helper_ = dest_ + INSTALL_DATADIR + "/tarvex/tarvex-flash-helper.bin";
        ASSERT_EQ(access(cli_.c_str(), X_OK), 0) << cli_;
        ASSERT_EQ(server_.start({}, {"--fast", "--probes", "1"}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    }
    void TearDown() override
    {
        std::string out, err;
        if (!dest_.empty())
            tarvex_test::run_to_end({"/bin/rm", "-rf", dest_}, &out, &err);
    }
    // The virtual target's algorithm is the virtual probe's package's: named.
    program_run flash()
    {
        program_run r;
        r.status = tarvex_test::run_to_end(
            {cli_, "--port", std::to_string(server_.port), "--json", "flash", SAMPLE_ELF, "--algo", FLASH_ALGO_FLM},
            &r.out, &r.err, 30000);
        return r;
    }
    std::string dest_, cli_, helper_;
    tarvex_test::server_process server_;
};

TEST_F(ServerPackage, FlashesWithItsOwnHelperAndWarnsWithoutIt)
{
    ASSERT_EQ(access(helper_.c_str(), R_OK), 0) << "the server package lacks " << helper_;
    program_run first = flash(), again = flash();
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err, "") << "no warning with the helper installed";
    EXPECT_NE(again.out.find("\"sectors_skipped\": 1"), std::string::npos) << "the unchanged sector: " << again.out;

    ASSERT_EQ(unlink(helper_.c_str()), 0);
    program_run without = flash();
    EXPECT_EQ(without.status, 0) << without.err;
    std::string dir = dest_ + INSTALL_DATADIR + "/tarvex";
    EXPECT_EQ(without.err, "tarvex-cli: warning: the flash helper tarvex-flash-helper.bin is in none of " + dir +
                               ": every sector the image touches is erased and programmed again, unchanged or not, "
                               "one call a page, and only the algorithm's Verify can verify\n");
    EXPECT_NE(without.out.find("\"sectors_skipped\": 0"), std::string::npos) << without.out;
    EXPECT_NE(without.out.find("\"sectors_erased\": 1"), std::string::npos) << without.out;
}

} // namespace
