// The loader called in process through the real server on the emulated
// core, with the helper or without it (a call per page, and the
// algorithm's Verify on each page's buffer before the buffer is used
// again), which only a loader that cannot find the helper takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash_loader.h"
#include "flash_runner.h"
#include "server_process.h"
#include "target.h"
#include "usb_fixture.h"

namespace
{

using namespace usb_test;
using namespace tarvex_target;
using namespace tarvex_flash;

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
        EXPECT_EQ(
            tarvex_images::flash_algo_parse(reinterpret_cast<const uint8_t *>(flm.data()), flm.size(), s.algo, &why), 0)
            << why;
        return s;
    }

    server_link link_{&client_, ASSOC};
};

// Two pages and a part of a third, inside a 4 KiB sector whose last bytes
// the image leaves alone: each way of verifying, and what happens when
// ProgramPage leaves a wrong bit (it clears the lowest set bit of each
// page's fifth word: 0x71 becomes 0x70 at the first page's offset 16).
TEST_P(LoaderInProcess, EachWayOfVerifyingCatchesAWrongPage)
{
    struct row {
        const char *name;
        const char *algo;
        bool helper;
        bool algo_verify; // the algorithm's Verify kept
        bool verify;      // flash_options::verify
        int rc;
        uint32_t in_program; // bytes Verify checked as they were programmed
        const char *cause;   // of the failure
    };
    const char *wrong = "the target holds 0x70 where the image has 0x71";
    const row rows[] = {
        {"Verify on each page's buffer", FLASH_ALGO_FLM, false, true, true, TARGET_OK, 3 * 1024, nullptr},
        {"Verify on each page's buffer, wrong page", FAULT_WRONG_WORD_FLM, false, true, true, TARGET_FAILED, 0, wrong},
        {"no verification asked", FAULT_WRONG_WORD_FLM, false, true, false, TARGET_OK, 0, nullptr},
        {"checksum after, no Verify", FLASH_ALGO_FLM, true, false, true, TARGET_OK, 0, nullptr},
        {"checksum after, wrong page", FAULT_WRONG_WORD_FLM, true, false, true, TARGET_FAILED, 0, wrong},
        {"neither Verify nor helper", FLASH_ALGO_FLM, false, false, true, TARGET_FAILED, 0,
         "the algorithm has no Verify and no checksum routine is loaded"},
    };
    std::vector<uint8_t> bytes(2 * 1024 + 100);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    std::string helper = tarvex_test::read_file(FLASH_HELPER_BIN);
    ASSERT_TRUE(flash_helper_current({helper.begin(), helper.end()})) << "the built helper's version word";
    const uint32_t at = 0x2000;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        flash_setup setup = setup_of(r.algo);
        if (r.helper)
            setup.helper.assign(helper.begin(), helper.end());
        if (!r.algo_verify)
            setup.algo.verify = tarvex_images::ALGO_ABSENT;
        flash_options opt;
        opt.verify = r.verify;
        opt.halt_after = true;
        flash_summary sum;
        flash_error err;
        // Erased first, so that no run finds the sector equal to the image.
        ASSERT_EQ(flash_erase(link_, setup, at, 4096, nullptr, &sum, &err), TARGET_OK) << err.cause;
        sum = flash_summary();
        EXPECT_EQ(flash_program(link_, setup, {{at, bytes}}, opt, nullptr, &sum, &err), r.rc) << err.cause;
        EXPECT_EQ(sum.verified_in_program, r.in_program);
        if (r.rc != TARGET_OK) {
            EXPECT_EQ(err.phase, PHASE_VERIFY);
            EXPECT_EQ(err.address, r.cause == wrong ? at + 16 : at);
            EXPECT_EQ(err.mismatch, r.cause == wrong);
            EXPECT_EQ(err.cause, r.cause);
            continue;
        }
        std::vector<uint8_t> now;
        ASSERT_EQ(memory_read(link_, at, static_cast<uint32_t>(bytes.size()), &now), TARGET_OK);
        EXPECT_EQ(now == bytes, r.algo == std::string(FLASH_ALGO_FLM));
        EXPECT_EQ(sum.bytes_programmed, 3u * 1024);
        EXPECT_EQ(sum.bytes_verified, r.verify ? (r.algo_verify ? 3u * 1024 : bytes.size()) : 0u);
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
