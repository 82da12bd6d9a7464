// tarvex-cli --probe INDEX names the same probe for the server's life: a
// probe pulled out and refreshed away leaves a gap in the list instead of
// moving the others up, and comes back to its index without a refresh. Over
// TCP and the Unix socket.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "server_process.h"

namespace
{

using tarvex_test::program_run;
using tarvex_test::server_process;

std::string launcher_serial(int index)
{
    char text[32];
    snprintf(text, sizeof(text), "7E575650000000000000%04X", index + 1);
    return text;
}

class ProbeIndex : public ::testing::TestWithParam<const char *>
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(server_.start({"--unix", server_.dir + "/tarvex.sock"}, {"--fast", "--probes", "3"}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    }
    program_run cli(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {TARVEX_CLI_PATH};
        if (std::string(GetParam()) == "unix")
            argv.insert(argv.end(), {"--host", "unix:" + server_.dir + "/tarvex.sock"});
        else
            argv.insert(argv.end(), {"--port", std::to_string(server_.port)});
        argv.insert(argv.end(), args.begin(), args.end());
        program_run r;
        r.status = tarvex_test::run_to_end(argv, &r.out, &r.err, 30000);
        return r;
    }
    // INDEX -> SERIAL from the list's table.
    std::map<int, std::string> listed()
    {
        program_run r = cli({"list"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<int, std::string> rows;
        std::istringstream lines(r.out);
        std::string line;
        std::getline(lines, line); // the heading
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            int index = -1;
            std::string key, serial;
            fields >> index >> key >> serial;
            rows[index] = serial;
        }
        return rows;
    }
    std::string serial_of_info(const program_run &r)
    {
        size_t at = r.out.find("serial     ");
        return at == std::string::npos ? "" : r.out.substr(at + 11, 24);
    }
    server_process server_;
};

TEST_P(ProbeIndex, AnIndexNamesTheSameProbeAcrossUnplugRefreshAndReplug)
{
    std::map<int, std::string> first = listed();
    ASSERT_EQ(first.size(), 3u);
    int launcher_of_0 = -1;
    for (int k = 0; k < 3; k++)
        if (launcher_serial(k) == first[0])
            launcher_of_0 = k;
    ASSERT_GE(launcher_of_0, 0) << first[0];
    ASSERT_EQ(server_.control("unplug " + std::to_string(launcher_of_0)), "ok");
    program_run r = cli({"refresh"});
    EXPECT_EQ(r.out, "2 probes attached\n") << r.err;
    EXPECT_EQ(listed(), (std::map<int, std::string>{{1, first[1]}, {2, first[2]}})) << "a gap, not a shift";
    r = cli({"--probe", "1", "info"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("probe      1\n", 0), 0u) << r.out;
    EXPECT_EQ(serial_of_info(r), first[1]);
    r = cli({"--probe", "0", "info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no probe 0"), std::string::npos) << r.err;
    r = cli({"--probe", first[2], "info"});
    EXPECT_EQ(r.out.rfind("probe      2\n", 0), 0u) << "a serial selector reports the index: " << r.out;
    // Plugged in again, no refresh: index 0 is that probe once more.
    ASSERT_EQ(server_.control("plug " + std::to_string(launcher_of_0)), "ok");
    EXPECT_TRUE(tarvex_test::eventually(
        [&] {
            return (r = cli({"--probe", "0", "info"})).status == 0;
        },
        5000))
        << r.err;
    EXPECT_EQ(serial_of_info(r), first[0]);
    EXPECT_EQ(listed(), first);
}

INSTANTIATE_TEST_SUITE_P(Transports, ProbeIndex, ::testing::Values("tcp", "unix"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace
