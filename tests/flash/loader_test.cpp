// The loader called in process through the real server on the emulated
// core, with the helper or without it (a call per page, and the
// algorithm's Verify on each page's buffer before the buffer is used
// again), which only a loader that cannot find the helper takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash_loader.h"
#include "server_process.h"
#include "target.h"
#include "usb_fixture.h"

namespace
{

using namespace usb_test;
using namespace tarvex_target;

constexpr uint32_t ASSOC = 256;

class LoaderInProcess : public UsbServer
{
protected:
    void SetUp() override
    {
        start({"--probes", "1"});
        ASSERT_NO_FATAL_FAILURE(open_swd());
    }
    // The algorithm at path and no helper.
    flash_setup setup_of(const char *path)
    {
        flash_setup s;
        std::string flm = tarvex_test::read_file(path);
        std::string why;
        EXPECT_EQ(tarvex::flash_algo_parse(reinterpret_cast<const uint8_t *>(flm.data()), flm.size(), s.algo, &why), 0)
            << why;
        return s;
    }

    server_link link_{&client_, ASSOC};
};

// Two pages and a part of a third, inside a 4 KiB sector whose last bytes
// the image leaves alone.
TEST_P(LoaderInProcess, VerifiesEachPageOnItsBuffer)
{
    struct row {
        const char *algo;
        bool verify;
        int rc;
    };
    const row rows[] = {
        {FLASH_ALGO_FLM, true, TARGET_OK},
        // ProgramPage clears the lowest set bit of each page's fifth word:
        // 0x71 becomes 0x70 at the first page's offset 16.
        {FAULT_WRONG_WORD_FLM, true, TARGET_FAILED},
        {FAULT_WRONG_WORD_FLM, false, TARGET_OK},
    };
    std::vector<uint8_t> bytes(2 * 1024 + 100);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    const uint32_t at = 0x2000;
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.algo) + (r.verify ? " verifying" : " not verifying"));
        flash_setup setup = setup_of(r.algo);
        ASSERT_TRUE(setup.helper.empty());
        flash_options opt;
        opt.verify = r.verify;
        opt.halt_after = true;
        flash_summary sum;
        flash_error err;
        // Erased first, so that no run finds the sector equal to the image.
        ASSERT_EQ(flash_erase(link_, setup, at, 4096, nullptr, &sum, &err), TARGET_OK) << err.cause;
        sum = flash_summary();
        EXPECT_EQ(flash_program(link_, setup, {{at, bytes}}, opt, nullptr, &sum, &err), r.rc) << err.cause;
        std::vector<uint8_t> now;
        ASSERT_EQ(memory_read(link_, at, static_cast<uint32_t>(bytes.size()), &now), TARGET_OK);
        if (r.rc != TARGET_OK) {
            EXPECT_EQ(err.phase, PHASE_VERIFY);
            EXPECT_EQ(err.address, at + 16);
            EXPECT_TRUE(err.mismatch);
            EXPECT_EQ(err.cause, "the target holds 0x70 where the image has 0x71");
            continue;
        }
        EXPECT_EQ(now == bytes, r.algo == std::string(FLASH_ALGO_FLM));
        EXPECT_EQ(sum.bytes_programmed, 3u * 1024);
        EXPECT_EQ(sum.verified_in_program, r.verify ? 3u * 1024 : 0u);
    }
}

// A page of the image that is all erased bytes needs no programming, so
// Verify has not seen it during the program phase: the verify phase checks
// it alone, with the helper and without.
TEST_P(LoaderInProcess, AnErasedPageOfTheImageIsVerifiedAfterTheOthers)
{
    std::vector<uint8_t> bytes(3 * 1024, 0xFF);
    for (size_t i = 0; i < 1024; i++) {
        bytes[i] = static_cast<uint8_t>(i * 5 + 3);
        bytes[2048 + i] = static_cast<uint8_t>(i * 3 + 1);
    }
    const uint32_t at = 0x3000;
    std::string helper = tarvex_test::read_file(FLASH_HELPER_BIN);
    for (bool with_helper : {false, true}) {
        SCOPED_TRACE(with_helper ? "with the helper" : "without it");
        flash_setup setup = setup_of(FLASH_ALGO_FLM);
        if (with_helper)
            setup.helper.assign(helper.begin(), helper.end());
        flash_summary sum;
        flash_error err;
        ASSERT_EQ(flash_erase(link_, setup, at, 4096, nullptr, &sum, &err), TARGET_OK) << err.cause;
        sum = flash_summary();
        flash_options opt;
        opt.halt_after = true;
        ASSERT_EQ(flash_program(link_, setup, {{at, bytes}}, opt, nullptr, &sum, &err), TARGET_OK) << err.cause;
        EXPECT_EQ(sum.bytes_programmed, 2u * 1024);
        EXPECT_EQ(sum.verified_in_program, 2u * 1024);
        EXPECT_EQ(sum.bytes_verified, 3u * 1024) << "the erased page after";
        EXPECT_EQ(sum.bytes[PHASE_VERIFY], 3u * 1024);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, LoaderInProcess, ::testing::Values("fast"), transport_name);

} // namespace
