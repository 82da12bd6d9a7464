// GDB's load into flash through tarvex-gdbserver and the flash loader: a
// blank target gets the sample firmware, the sections compare equal, the
// reset runs it and a breakpoint in the new code is hit; an unchanged
// load erases nothing (the controller's counts, from the control channel).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gdb_fixture.h"
#include "tarvex_client.h"

namespace
{

using gdb_test::gdb_output;

class GdbFlash : public gdb_test::GdbServer
{
protected:
    GdbFlash()
    {
        vprobe_args_ = {"--fast", "--probes", "1"}; // blank flash
        elf_ = SAMPLE_ELF;
    }
    std::string erases()
    {
        std::string line = server_.control("flash 0");
        size_t at = line.find("erases=");
        return at == std::string::npos ? line : line.substr(at);
    }
};

TEST_F(GdbFlash, LoadCompareResetAndBreakInTheNewCode)
{
    gdb_output out = gdb({"load", "compare-sections", "monitor reset", "break sample_tick", "continue", "detach"});
    SCOPED_TRACE(out.text + front_end_log());
    EXPECT_EQ(out.status, 0);
    EXPECT_NE(out.text.find("Transfer rate"), std::string::npos);
    EXPECT_NE(out.text.find("Section .text, range"), std::string::npos);
    EXPECT_EQ(out.text.find("MIS-MATCHED"), std::string::npos);
    EXPECT_NE(out.text.find("Breakpoint 1, sample_tick"), std::string::npos);
    std::string image = tarvex_test::read_file(SAMPLE_BIN);
    std::vector<uint8_t> now = probe_.memory(0, static_cast<uint32_t>(image.size()));
    EXPECT_EQ(std::string(now.begin(), now.end()), image);

    std::string before = erases();
    gdb_output again = gdb({"load", "compare-sections", "detach"});
    EXPECT_EQ(again.status, 0) << again.text;
    EXPECT_EQ(again.text.find("MIS-MATCHED"), std::string::npos) << again.text;
    EXPECT_EQ(erases(), before);
}

} // namespace
