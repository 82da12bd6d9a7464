// The wire header against the server's own definitions: while the server
// keeps copies of these values, a change made on one side only fails here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "probe_hold.h"
#include "result_codes.h"
#include "sock_info.h"
#include "tarvex_tcp_cmd.h"
#include "tarvex_wire.h"

namespace w = tarvex_wire;

static_assert(w::STAGING_BUFFER_SIZE == TARVEX_DATA_BUFFER_SIZE);
static_assert(w::CLIENT_NAME_SIZE == TARVEX_CLIENT_NAME_SIZE);
static_assert(w::TOKEN_SLOTS == TARVEX_TCP_TOKEN_SLOTS);
static_assert(w::TOKEN_SIZE == TARVEX_TCP_TOKEN_SIZE);
static_assert(w::HOLD_TOKEN_CHARS == PROBE_HOLD_TOKEN_CHARS);
static_assert(w::SERVER_API_VERSION == TARVEX_TCP_SERVER_API_VERSION);
static_assert(w::STATUS_OK == TARVEX_TCP_OK);
static_assert(w::STATUS_FAIL == TARVEX_TCP_FAIL);
static_assert(w::STATUS_DEVICE_ERROR == TARVEX_TCP_DEVICE_ERROR);
static_assert(w::STATUS_INFO_SIZE_ERROR == TARVEX_TCP_INFO_SIZE_ERROR);
static_assert(w::RESULT_OK == ERROR_OK);
static_assert(w::RESULT_ALIGNMENT == ERROR_ALIGNMENT);
static_assert(w::RESULT_FAIL == ERROR_FAIL);
static_assert(w::RESULT_WAIT == ERROR_WAIT);
static_assert(w::RESULT_PROBE_HELD == ERROR_PROBE_HELD);
static_assert(w::RESULT_NOT_PERMITTED == ERROR_NOT_PERMITTED);
static_assert(w::RESULT_NO_USB == ERROR_NO_USB);

namespace
{

// Each keyword of the header reaches the server's handler of that very
// keyword, not one of a longer or shorter name.
TEST(wire_keywords, each_reaches_its_own_handler)
{
    for (const char *keyword : w::KEYWORDS) {
        std::string request = std::string(keyword) + " 1\n";
        int index = tcp_cmd_find_keyword(request.c_str());
        ASSERT_GE(index, 0) << keyword;
        EXPECT_STREQ(tcp_cmd_keyword(index), keyword);
    }
}

TEST(wire_keywords, the_server_has_none_the_header_lacks)
{
    std::set<std::string> header(std::begin(w::KEYWORDS), std::end(w::KEYWORDS));
    int count = 0;
    for (const char *k = tcp_cmd_keyword(0); k != nullptr; k = tcp_cmd_keyword(++count))
        EXPECT_EQ(header.count(k), 1u) << k;
    EXPECT_EQ(count, static_cast<int>(header.size()));
}

std::string source(const char *path)
{
    std::ifstream in(std::string(TARVEX_SOURCE_DIR) + "/" + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value a server file gives NAME ("NAME = 0x05," or "NAME = 8u << 20;"),
// or -1 when the file defines no such name.
long long defined_value(const std::string &text, const std::string &name)
{
    size_t at = text.find(" " + name + " = ");
    if (at == std::string::npos)
        return -1;
    const char *p = text.c_str() + at + name.size() + 4;
    char *end = nullptr;
    long long value = strtoll(p, &end, 0);
    while (*end == 'u' || *end == ' ')
        end++;
    if (strncmp(end, "<<", 2) == 0)
        value <<= strtoll(end + 2, nullptr, 0);
    return value;
}

struct source_value {
    const char *name;
    long long wire;
};

// Values the server defines inside its dispatcher, not in a header a test
// could include. Once the dispatcher takes them from the wire header its
// copies are gone, and so is anything to compare.
constexpr source_value dispatcher_values[] = {
    {"TARVEX_TCP_CMD_REFRESH", w::CMD_REFRESH},
    {"TARVEX_TCP_CMD_GET_NB_DEV", w::CMD_GET_NB_DEV},
    {"TARVEX_TCP_CMD_GET_DEV_INFO", w::CMD_GET_DEV_INFO},
    {"TARVEX_TCP_CMD_OPEN_DEV", w::CMD_OPEN_DEV},
    {"TARVEX_TCP_CMD_CLOSE_DEV", w::CMD_CLOSE_DEV},
    {"TARVEX_TCP_CMD_SEND_USB_CMD", w::CMD_SEND_USB_CMD},
    {"TARVEX_TCP_GET_SERVER_API_VERSION", w::CMD_GET_SERVER_API_VERSION},
    {"TARVEX_TCP_CMD_GET_NB_OF_DEV_CLIENTS", w::CMD_GET_NB_OF_DEV_CLIENTS},
    {"PASSTHROUGH_CMD_OFFSET", w::PASSTHROUGH_CMD_OFFSET},
    {"PASSTHROUGH_KEY_OFFSET", w::PASSTHROUGH_KEY_OFFSET},
    {"PASSTHROUGH_DIRECTION_OFFSET", w::PASSTHROUGH_DIRECTION_OFFSET},
    {"PASSTHROUGH_SIZE_OFFSET", w::PASSTHROUGH_SIZE_OFFSET},
    {"PASSTHROUGH_DATA_OFFSET", w::PASSTHROUGH_DATA_OFFSET},
    {"TARVEX_CMD_BLOCK_SIZE", w::CMD_BLOCK_SIZE},
    {"TARVEX_TCP_SMALL_READ_LIMIT", w::SMALL_READ_LIMIT},
    {"TARVEX_TCP_READ_MEM_LIMIT", static_cast<long long>(w::READ_MEM_LIMIT)},
    {"TARVEX_TCP_TRACE_READ_LIMIT", w::TRACE_READ_LIMIT},
};

TEST(wire_source_values, the_dispatcher_agrees_with_the_header)
{
    std::string text = source("src/tarvex_tcp_cmd.cpp");
    ASSERT_FALSE(text.empty());
    bool uses_header = text.find("tarvex_wire.h") != std::string::npos;
    for (const source_value &v : dispatcher_values) {
        long long value = defined_value(text, v.name);
        if (value == -1) {
            EXPECT_TRUE(uses_header) << v.name << " is gone and the wire header is not included";
        } else {
            EXPECT_EQ(value, v.wire) << v.name;
        }
    }
}

// The port a server listens on without --port, in its two places.
TEST(wire_source_values, the_default_port_agrees_with_the_header)
{
    for (const char *path : {"src/main.cpp", "src/options.cpp"}) {
        std::string text = source(path);
        ASSERT_FALSE(text.empty()) << path;
        for (size_t at = text.find("init_sockinfo("); at != std::string::npos;
             at = text.find("init_sockinfo(", at + 1)) {
            size_t quote = text.find('"', at);
            size_t close = text.find(')', at);
            if (quote < close) {
                EXPECT_EQ(text.substr(quote + 1, strlen(w::DEFAULT_PORT_TEXT) + 1),
                          std::string(w::DEFAULT_PORT_TEXT) + "\"")
                    << path;
            }
        }
    }
    EXPECT_EQ(std::to_string(w::DEFAULT_PORT), w::DEFAULT_PORT_TEXT);
}

} // namespace
