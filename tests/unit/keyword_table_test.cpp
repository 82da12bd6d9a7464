#include <gtest/gtest.h>

#include <string>

#include "tarvex_tcp_cmd.h"

namespace
{

struct routing {
    const char *request;
    const char *keyword; // null: unknown command
};

// Each request and the keyword (handler) it must reach. Matching is a prefix
// test in table order, so longer keywords must win over their prefixes and
// the memory write is reached by its first 16 characters.
const routing routes[] = {
    {"get-nb-tarvex\n", "get-nb-tarvex"},
    {"get-nb-tarvexes\n", "get-nb-tarvex"},
    {"get-nb-usb-client 5\n", "get-nb-usb-client"},
    {"get-nb-tcp-client\n", "get-nb-tcp-client"},
    {"get-tarvex-descriptor 0\n", "get-tarvex-descriptor"},
    {"open-device 1a2b\n", "open-device"},
    {"close-device 256\n", "close-device"},
    {"tarvex-tcp-assert-srst 256 1\n", "tarvex-tcp-assert-srst"},
    {"tarvex-usb-init-mode 256 0 1\n", "tarvex-usb-init-mode"},
    {"tarvex-usb-current-mode 256\n", "tarvex-usb-current-mode"},
    {"tarvex-exit-mode 256\n", "tarvex-exit-mode"},
    {"tarvex-usb-idcode 256 0\n", "tarvex-usb-idcode"},
    {"tarvex-tcp-read-debug-reg 256 e000edf0 0\n", "tarvex-tcp-read-debug-reg"},
    {"tarvex-tcp-write-debug-reg 256 e000edf0 1 0\n", "tarvex-tcp-write-debug-reg"},
    {"tarvex-usb-trace-read 256 64\n", "tarvex-usb-trace-read"},
    {"tarvex-usb-get-status 256\n", "tarvex-usb-get-status"},
    {"tarvex-tcp-version 256\n", "tarvex-tcp-version"},
    {"tarvex-tcp-check-voltage 256\n", "tarvex-tcp-check-voltage"},
    {"tarvex-usb-set-swdclk 256 1\n", "tarvex-usb-set-swdclk"},
    {"tarvex-usb-state 256\n", "tarvex-usb-state"},
    {"tarvex-usb-reset 256\n", "tarvex-usb-reset"},
    {"tarvex-usb-mode-enter 256 4\n", "tarvex-usb-mode-enter"},
    {"tarvex-usb-mode-leave 256 4\n", "tarvex-usb-mode-leave"},
    {"tarvex-tcp-read-regs 256 0\n", "tarvex-tcp-read-regs"},
    {"tarvex-tcp-read-reg 256 1 0\n", "tarvex-tcp-read-reg"},
    {"tarvex-tcp-read-registers 256 0\n", "tarvex-tcp-read-reg"},
    {"tarvex-tcp-write-reg 256 1 5 0\n", "tarvex-tcp-write-reg"},
    {"tarvex-usb-get-rw-status 256\n", "tarvex-usb-get-rw-status"},
    {"tarvex-tcp-read-mem 256 20000000 4 1 0\n", "tarvex-tcp-read-mem"},
    {"tarvex-tcp-write-mem 256 20000000 1 4 0\nabcd", "tarvex-tcp-write-mem"},
    {"tarvex-tcp-writeXYZ 256\n", "tarvex-tcp-write-mem"},
    {"tarvex-tcp-write", "tarvex-tcp-write-mem"},
    {"tarvex-tcp-speed 256 fa0 0\n", "tarvex-tcp-speed"},
    {"tarvex-config-trace 256 1 0 1 2000000\n", "tarvex-config-trace"},
    {"usb-refresh\n", "usb-refresh"},
    {"tarvex-blink-led 0\n", "tarvex-blink-led"},
    {"tarvex-check 0 1a2b\n", "tarvex-check"},
    {"choose-tarvex 1a2b\n", "choose-tarvex"},
    {"tarvex-tcp-init-core 256 0\n", "tarvex-tcp-init-core"},
    {"tarvex-tcp-close-core 256 0\n", "tarvex-tcp-close-core"},
    {"get-tarvex-chosen\n", "get-tarvex-chosen"},
    {"register-client gdb\n", "register-client"},
    {"get-version\n", "get-version"},
    {"tarvex-exit\n", "tarvex-exit"},
    {"tarvex-exitnow\n", "tarvex-exit"},
    {"tarvex-tcp-hold 256 1000\n", "tarvex-tcp-hold"},
    {"tarvex-tcp-release 256\n", "tarvex-tcp-release"},
    {"tarvex-tcp-who-holds 0\n", "tarvex-tcp-who-holds"},
    {"tarvex-tcp-holder 0\n", "tarvex-tcp-hold"},
    {"tarvex-tcp-share-hold 256\n", "tarvex-tcp-share-hold"},
    {"tarvex-tcp-join-hold 256 0123456789abcdef0123456789abcdef\n", "tarvex-tcp-join-hold"},
    {"tarvex-tcp-share-hol 256\n", nullptr},
    {"tarvex-tcp-join 256\n", nullptr},
    {"tarvex-tcp-hol 256\n", nullptr},
    {"tarvex-tcp-who 0\n", nullptr},
    {" get-nb-tarvex\n", nullptr},
    {"\tget-nb-tarvex\n", nullptr},
    {"GET-NB-TARVEX\n", nullptr},
    {"get-nb-tarve\n", nullptr},
    {"tarvex-tcp-writ\n", nullptr},
    {"tarvex-exi\n", nullptr},
    {"", nullptr},
    {"hello world\n", nullptr},
};

TEST(KeywordTable, EachRequestReachesItsHandler)
{
    for (const routing &route : routes) {
        int index = tcp_cmd_find_keyword(route.request);
        const char *reached = tcp_cmd_keyword(index);
        if (route.keyword == nullptr)
            EXPECT_EQ(index, -1) << "request '" << route.request << "' reached " << (reached ? reached : "?");
        else
            EXPECT_STREQ(reached, route.keyword) << "request '" << route.request << "'";
    }
}

} // namespace
