// The fixture of the tests that run the real server under the virtual probe
// launcher, on both of its transports.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "server_process.h"
#include "tarvex_api.h"
#include "tarvex_text.h"

namespace usb_test
{

using tarvex::get_u32;
using tarvex_test::server_process;

// Serials the launcher gives its default probes, in the order given.
inline std::string default_serial(int index)
{
    char text[32];
    snprintf(text, sizeof(text), "7E575650000000000000%04X", index + 1);
    return text;
}

inline uint32_t key_of(const std::string &serial)
{
    return jenkins_one_at_a_time_hash(serial.data(), serial.size());
}

// Bytes as the launcher's poke and mem requests write them: two hex digits each.
inline std::string hex_of(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof(pair), "%02x", b);
        text += pair;
    }
    return text;
}

// The probe key in the hexadecimal form the text commands take.
inline std::string hex_key(uint32_t key)
{
    std::ostringstream text;
    text << std::hex << key;
    return text.str();
}

// A case runs on the transports its suite names: umockdev carrying each
// usbfs ioctl, and the fast preload answering them in the server process.
// Cases whose outcome could hang on the transport run on both, the others
// on the fast one.
class UsbServer : public ::testing::TestWithParam<const char *>
{
protected:
    std::vector<std::string> probe_args(std::vector<std::string> args) const
    {
        if (std::string(GetParam()) == "fast")
            args.insert(args.begin(), "--fast");
        return args;
    }
    void start(const std::vector<std::string> &vprobe_args, const std::vector<std::string> &server_args = {"-d3"})
    {
        ASSERT_EQ(server_.start(server_args, probe_args(vprobe_args), true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        client_ = server_.connect();
        ASSERT_TRUE(client_.is_open());
    }
    std::string text(const std::string &request)
    {
        std::string reply;
        EXPECT_EQ(client_.text(request, &reply), 0) << request;
        return reply;
    }
    // The first probe opened (association 256) and put into SWD mode, as a
    // debugger starts.
    void open_swd()
    {
        ASSERT_EQ(text("open-device " + hex_key(key_of(default_serial(0))) + "\n"), "1 256\n");
        ASSERT_EQ(text("tarvex-usb-init-mode 256 0 1\n"), "1 0\n");
    }
    std::vector<uint8_t> binary(const std::vector<uint8_t> &request, size_t size)
    {
        std::vector<uint8_t> reply;
        EXPECT_EQ(client_.binary(request, size, &reply), 0);
        return reply;
    }
    // The serial text of each registry position, from the text protocol.
    std::vector<std::string> registry_serials()
    {
        std::vector<std::string> serials;
        for (int i = 0;; i++) {
            tarvex::probe_entry entry;
            bool found = false;
            EXPECT_EQ(tarvex::describe_probe(client_, i, &entry, &found), 0);
            if (!found)
                return serials;
            EXPECT_EQ(entry.key, key_of(entry.serial)) << entry.serial;
            serials.push_back(entry.serial);
        }
    }
    uint32_t open_binary(uint32_t probe_key)
    {
        std::vector<uint8_t> reply = binary(tarvex::request_open_dev(probe_key, false), 8);
        EXPECT_EQ(get_u32(reply, 0), 1u);
        return get_u32(reply, 4);
    }
    server_process server_;
    tarvex::connection client_;
};

// Names the instantiations after the transport.
inline std::string transport_name(const ::testing::TestParamInfo<const char *> &info)
{
    return info.param;
}

} // namespace usb_test
