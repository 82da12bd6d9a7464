// Sessions of Debian's gdb-multiarch in batch mode against tarvex-gdbserver,
// the real server and the virtual probe; what GDB shows is compared with
// what the server reports to another client at the same time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gdb_fixture.h"

namespace
{

using gdb_test::gdb_output;
using gdb_test::value_after;

// The output between "echo <mark>" lines: GDB's answer to one command.
std::string section(const std::string &text, const std::string &mark)
{
    std::string begin = "<" + mark + ">\n";
    size_t at = text.find(begin);
    if (at == std::string::npos)
        return "";
    at += begin.size();
    size_t end = text.find("<", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string mark(const std::string &name)
{
    return "echo <" + name + ">\\n";
}

std::string hex_bytes(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char b[8];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof(b), "0x%02x ", v);
        text += b;
    }
    return text;
}

// GDB's "x/Nxb" lines ("0x20000100:\t0x01\t0x02 ...") as "0x01 0x02 ".
std::string bytes_shown(const std::string &x_output)
{
    std::string text;
    size_t pos = 0;
    while ((pos = x_output.find('\t', pos)) != std::string::npos) {
        text += x_output.substr(pos + 1, 4) + " ";
        pos++;
    }
    return text;
}

class Gdb : public gdb_test::GdbServer
{
protected:
    void halt() { probe_.set_debug_reg(0xE000EDF0, 0xA05F0003); }
    void poke(uint32_t addr, const std::string &hex)
    {
        char request[64];
        snprintf(request, sizeof(request), "poke 0 %x %s", addr, hex.c_str());
        ASSERT_EQ(server_.control(request).substr(0, 2), "ok");
    }
};

TEST_F(Gdb, SessionTable)
{
    halt();
    for (unsigned n = 0; n <= 12; n++)
        probe_.set_core_reg(n, 0x01010101u * (n + 1));
    std::vector<uint32_t> server_regs;
    for (unsigned n = 0; n < 17; n++)
        server_regs.push_back(probe_.core_reg(n));
    poke(0x20000100, "00112233445566778899aabbccddeeff");
    std::string shared = scratch("shared.bin");
    std::string cli_read =
        std::string("shell ") + TARVEX_CLI_PATH + " --port " + std::to_string(server_.port) + " read ";
    gdb_output out = gdb(
        {mark("regs"), "info registers", mark("x"), "x/16xb 0x20000100",
         // Another client reads the same bytes while GDB holds the core.
         cli_read + "0x20000100 16 -o " + shared + ".x", "set var *(unsigned int *)0x20000200 = 0xcafef00d",
         cli_read + "0x20000200 4 -o " + shared, mark("pc1"), "p/x $pc", "stepi", mark("pc2"), "p/x $pc", mark("reset"),
         "monitor reset halt", "flushregs", mark("pc3"), "p/x $pc", mark("speed"), "monitor speed 1800", mark("help"),
         "monitor help", mark("flash"), "set var *(unsigned int *)0x100 = 1", mark("detach"), "detach", mark("end")});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);

    std::string regs = section(out.text, "regs");
    static const char *const names[] = {"r0", "r1",  "r2",  "r3",  "r4", "r5", "r6", "r7",  "r8",
                                        "r9", "r10", "r11", "r12", "sp", "lr", "pc", "xpsr"};
    for (unsigned n = 0; n < 17; n++) {
        EXPECT_EQ(value_after("\n" + regs, std::string("\n") + names[n] + " "), server_regs[n]) << names[n];
    }
    EXPECT_EQ(bytes_shown(section(out.text, "x")), hex_bytes(probe_.memory(0x20000100, 16)));
    EXPECT_EQ(tarvex_test::read_file(shared + ".x"), std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb"
                                                                 "\xcc\xdd\xee\xff",
                                                                 16));
    EXPECT_EQ(tarvex_test::read_file(shared), std::string("\x0d\xf0\xfe\xca", 4));
    long long pc1 = value_after(section(out.text, "pc1"), "= "), pc2 = value_after(section(out.text, "pc2"), "= ");
    EXPECT_TRUE(pc2 == pc1 + 2 || pc2 == pc1 + 4) << std::hex << pc1 << " -> " << pc2;
    std::vector<uint8_t> vector = probe_.memory(4, 4);
    uint32_t reset_handler = (vector[0] | vector[1] << 8 | vector[2] << 16 | uint32_t(vector[3]) << 24) & ~1u;
    EXPECT_NE(section(out.text, "reset").find("halted at"), std::string::npos);
    EXPECT_EQ(value_after(section(out.text, "pc3"), "= "), reset_handler);
    EXPECT_NE(section(out.text, "speed").find("SWD clock 1800 kHz"), std::string::npos);
    EXPECT_NE(section(out.text, "help").find("monitor reset halt"), std::string::npos);
    EXPECT_NE(section(out.text, "flash").find("Cannot access memory"), std::string::npos);
    EXPECT_NE(section(out.text, "detach").find("detached"), std::string::npos);
    EXPECT_FALSE(probe_.halted()) << "detach leaves the core running";
}

TEST_F(Gdb, InterruptStopsARunningCore)
{
    halt();
    gdb_output out = gdb({"continue", mark("after"), "p/x $pc", "detach"}, [&] { return !probe_.halted(); });
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_NE(out.text.find("Program received signal SIGINT"), std::string::npos);
    EXPECT_NE(section(out.text, "after").find("$1 = 0x"), std::string::npos);
}

TEST_F(Gdb, SecondGdbIsRefusedAndTheFirstKeepsWorking)
{
    halt();
    gdb_output second;
    tarvex_test::server_process other_front_end;
    uint16_t other_port = start_front_end(other_front_end);
    ASSERT_NE(other_port, 0);
    gdb_output third;
    gdb_output first = gdb({"continue", mark("after"), "x/4xb 0x20000100", "detach"}, [&] {
        if (probe_.halted())
            return false;
        second = gdb({"p/x $pc"});
        third = gdb({"p/x $pc"}, nullptr, other_port);
        return true;
    });
    SCOPED_TRACE(first.text + "\n---\n" + second.text + "\n---\n" + third.text + front_end_log());
    EXPECT_EQ(second.text.find("$1 = "), std::string::npos);
    EXPECT_EQ(third.text.find("$1 = "), std::string::npos);
    EXPECT_NE(front_end_log().find("refused GDB from 127.0.0.1"), std::string::npos);
    EXPECT_NE(other_front_end.stderr_text().find("already has a GDB connection through another tarvex-gdbserver"),
              std::string::npos)
        << other_front_end.stderr_text();
    EXPECT_NE(first.text.find("Program received signal SIGINT"), std::string::npos);
    EXPECT_EQ(bytes_shown(section(first.text, "after")), hex_bytes(probe_.memory(0x20000100, 4)));
    other_front_end.send_signal(SIGTERM);
    EXPECT_EQ(other_front_end.wait_exit(20000), 0);
}

TEST_F(Gdb, LoadWritesTheImage)
{
    std::string bin = scratch("image.bin"), elf = scratch("image.elf");
    std::string bytes;
    for (int i = 0; i < 6000; i++)
        bytes.push_back(static_cast<char>((i * 31 + (i >> 7)) & 0xFF));
    FILE *f = fopen(bin.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    std::string out, err;
    ASSERT_EQ(tarvex_test::run_to_end({"/usr/bin/arm-none-eabi-objcopy", "-I", "binary", "-O", "elf32-littlearm",
                                       "--change-section-address", ".data=0x20001002", bin, elf},
                                      &out, &err),
              0)
        << err;
    halt();
    gdb_output g = gdb({"load " + elf, "detach"});
    SCOPED_TRACE(g.text + front_end_log());
    EXPECT_NE(g.text.find("Transfer rate"), std::string::npos);
    std::vector<uint8_t> back = probe_.memory(0x20001002, static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(std::string(back.begin(), back.end()), bytes);
}

} // namespace
