// A registry entry's life through the real server on the virtual probe: a
// refresh or a re-plug opens again only a probe that clients have open; one
// whose last association has closed gets no command and keeps no handle.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "usb_fixture.h"

namespace
{

using namespace usb_test;

class EntryLife : public UsbServer
{
protected:
    void start_probes(int count)
    {
        start({"--probes", std::to_string(count)});
        pid_ = static_cast<pid_t>(atol(server_.control("pid").substr(3).c_str()));
        ASSERT_GT(pid_, 0);
    }
    // Commands launcher probe i has received: each open of a probe asks its version.
    unsigned commands(int i)
    {
        return static_cast<unsigned>(atol(server_.control("count " + std::to_string(i)).substr(3).c_str()));
    }
    // Probe i's count once it has reached at least `expected`: the refresh
    // answers before the re-opens it started (jobs on the probes' workers)
    // are done, so a count short of it may still grow; one past it is a fault.
    unsigned commands_reaching(int i, unsigned expected)
    {
        tarvex_test::eventually([&] { return commands(i) >= expected; });
        return commands(i);
    }
    void refresh() { EXPECT_EQ(get_u32(binary({0x00}, 4), 0), 1u); }
    // A binary close keeps the probe's mode: the close itself sends nothing.
    void close(uint32_t cookie) { EXPECT_EQ(get_u32(binary(tarvex::request_close_dev(cookie), 4), 0), 1u); }
    // The probe answers a version query through the association.
    void expect_usable(uint32_t cookie)
    {
        uint8_t cmd[16] = {0xF1};
        EXPECT_EQ(get_u32(binary(tarvex::request_send_usb_cmd(cookie, cmd, 1, 6), 10), 0), 1u);
    }
    long descriptors() const { return tarvex_test::open_descriptors(pid_); }
    pid_t pid_ = 0;
};

// One case a probe, all under the same refreshes.
struct refresh_case {
    int opened;           // associations opened on the probe
    int closed;           // of those, closed after the first refresh
    unsigned per_refresh; // commands each later refresh sends the probe
};

constexpr refresh_case refresh_cases[] = {
    {1, 0, 1},                       // open for its client: the version is asked again
    {1, 1, 0},                       // idle: left alone
    {2, 1, 1}, {2, 2, 0}, {0, 0, 0}, // never opened
};
constexpr int CASES = sizeof(refresh_cases) / sizeof(refresh_cases[0]);

TEST_P(EntryLife, ARefreshReopensOnlyAProbeClientsHaveOpen)
{
    start_probes(CASES);
    std::vector<std::vector<uint32_t>> cookies(CASES);
    for (int i = 0; i < CASES; i++)
        for (int k = 0; k < refresh_cases[i].opened; k++)
            cookies[i].push_back(open_binary(key_of(default_serial(i))));
    // The open, then the refresh that re-opens the probe for its clients.
    refresh();
    unsigned before[CASES];
    for (int i = 0; i < CASES; i++) {
        before[i] = commands_reaching(i, refresh_cases[i].opened > 0 ? 2u : 0u);
        EXPECT_EQ(before[i], refresh_cases[i].opened > 0 ? 2u : 0u) << "probe " << i;
        for (int k = 0; k < refresh_cases[i].closed; k++)
            close(cookies[i][k]);
        EXPECT_EQ(commands(i), before[i]) << "probe " << i << ": a binary close sends nothing";
    }
    long fds = descriptors();
    for (unsigned n = 1; n <= 3; n++) {
        refresh();
        for (int i = 0; i < CASES; i++)
            EXPECT_EQ(commands_reaching(i, before[i] + n * refresh_cases[i].per_refresh),
                      before[i] + n * refresh_cases[i].per_refresh)
                << "probe " << i << ", refresh " << n;
        EXPECT_EQ(descriptors(), fds) << "refresh " << n << ": no handle left open on an idle probe";
    }
    for (int i = 0; i < CASES; i++) {
        const refresh_case &c = refresh_cases[i];
        if (c.closed < c.opened)
            expect_usable(cookies[i].back());
        // Opened again from idle, or joined while open.
        expect_usable(open_binary(key_of(default_serial(i))));
    }
}

TEST_P(EntryLife, AnIdleProbePluggedInAgainIsNotOpened)
{
    start_probes(1);
    close(open_binary(key_of(default_serial(0))));
    unsigned before = commands(0);
    long fds = descriptors();
    ASSERT_EQ(server_.control("unplug 0"), "ok");
    ASSERT_EQ(server_.control("plug 0"), "ok");
    ASSERT_TRUE(server_.wait_stderr("(" + default_serial(0) + ") plugged in again")) << server_.stderr_text();
    EXPECT_EQ(server_.stderr_text().find("opened again for its clients"), std::string::npos);
    EXPECT_EQ(commands(0), before);
    EXPECT_EQ(descriptors(), fds);
    uint32_t again = open_binary(key_of(default_serial(0)));
    EXPECT_EQ(commands(0), before + 1) << "the open asks the version";
    expect_usable(again);
}

INSTANTIATE_TEST_SUITE_P(Fast, EntryLife, ::testing::Values("fast"), transport_name);

} // namespace
