// The flash loader end to end: tarvex-cli flash, erase and verify against
// the real server, the virtual probe's flash controller and the algorithms
// running on its emulated core. The controller's counts come from the
// launcher's control channel, never from the loader's own report.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server_process.h"
#include "tarvex_text.h"

namespace
{

using tarvex_test::server_process;

using cli_run = tarvex_test::program_run;
using tarvex_test::eventually;
using tarvex_test::write_file;

std::string scratch(const std::string &name)
{
    return tarvex_test::scratch_path("tarvex-flash-test", name);
}

class Flash : public ::testing::Test
{
protected:
    void start(bool fast = true)
    {
        std::vector<std::string> args = {"--probe", "swo=itm"};
        if (fast)
            args.insert(args.begin(), "--fast");
        ASSERT_EQ(server_.start({}, args, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
    }
    cli_run cli(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port)};
        argv.insert(argv.end(), args.begin(), args.end());
        cli_run r;
        r.status = tarvex_test::run_to_end(argv, &r.out, &r.err, 30000);
        return r;
    }
    // Target memory through the CLI (raw bytes into a file).
    std::string read(uint32_t addr, uint32_t len)
    {
        std::string path = scratch("read");
        cli_run r = cli({"read", std::to_string(addr), std::to_string(len), "-o", path});
        EXPECT_EQ(r.status, 0) << r.err;
        std::string bytes = tarvex_test::read_file(path);
        unlink(path.c_str());
        return bytes;
    }
    // The controller's erases per sector, as the control channel lists them.
    std::string erases()
    {
        std::string line = server_.control("flash 0");
        size_t at = line.find("erases=");
        return at == std::string::npos ? line : line.substr(at);
    }
    std::string control_field(const std::string &request, const std::string &key)
    {
        std::istringstream words(server_.control(request));
        std::string w;
        while (words >> w)
            if (w.rfind(key + "=", 0) == 0)
                return w.substr(key.size() + 1);
        return "";
    }
    void cancel_mid_program();
    // c opens probe 0 (its association into *assoc) and asks for its hold
    // without waiting: the result.
    int hold_at_once(tarvex::connection &c, uint32_t *assoc)
    {
        tarvex::probe_entry probe;
        bool found = false;
        int result = -1;
        EXPECT_EQ(tarvex::describe_probe(c, 0, &probe, &found), 0);
        EXPECT_EQ(tarvex::open_device(c, probe.key, assoc), 0);
        EXPECT_EQ(tarvex::hold_probe(c, *assoc, 0, &result), 0);
        return result;
    }
    server_process server_;
};

const std::string sample_bin()
{
    return tarvex_test::read_file(SAMPLE_BIN);
}

// Each form of the sample into blank flash: the bytes land, the firmware
// runs from them after the reset.
TEST_F(Flash, EachImageFormIntoBlankFlashRuns)
{
    start();
    struct form {
        const char *name;
        std::vector<std::string> args;
    };
    const form forms[] = {
        {"elf", {"flash", SAMPLE_ELF}},
        {"hex", {"flash", SAMPLE_HEX}},
        {"bin", {"flash", SAMPLE_BIN, "--base", "0"}},
    };
    std::string image = sample_bin();
    ASSERT_FALSE(image.empty());
    for (const form &f : forms) {
        SCOPED_TRACE(f.name);
        ASSERT_EQ(cli({"erase", "--chip"}).status, 0);
        ASSERT_EQ(read(0, 16), std::string(16, '\xff'));
        cli_run r = cli(f.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read(0, static_cast<uint32_t>(image.size())), image);
        EXPECT_EQ(control_field("state 0", "halted"), "0");
    }
    cli_run trace = cli({"trace", "--seconds", "2"});
    EXPECT_NE(trace.out.find("t\001a\001r\001v\001e\001x"), std::string::npos) << trace.err;
}

TEST_F(Flash, UnchangedImageErasesNothingAndPartialUpdateKeepsTheRest)
{
    start();
    ASSERT_EQ(cli({"flash", SAMPLE_ELF}).status, 0);
    std::string before = erases();
    cli_run again = cli({"--json", "flash", SAMPLE_ELF});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(erases(), before);
    EXPECT_NE(again.out.find("\"sectors_erased\": 0"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\"sectors_skipped\": 1"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\"bytes_verified\": "), std::string::npos) << again.out;
    size_t at = again.out.find("\"seconds\": ");
    ASSERT_NE(at, std::string::npos) << again.out;
    EXPECT_GT(std::strtod(again.out.c_str() + at + 11, nullptr), 0.0) << "the comparison took time: " << again.out;

    // 16 bytes into the middle of the first sector: the sector is erased
    // once more, everything else in it stays.
    std::string patch(16, '\x5a'), path = scratch("patch.bin");
    write_file(path, patch);
    std::string sector = read(0, 4096);
    cli_run r = cli({"flash", path, "--base", "0x200", "--halt"});
    unlink(path.c_str());
    ASSERT_EQ(r.status, 0) << r.err;
    sector.replace(0x200, 16, patch);
    EXPECT_EQ(read(0, 4096), sector);
    EXPECT_EQ(control_field("state 0", "halted"), "1");
}

TEST_F(Flash, VerifyNamesTheAddressOfAByteChangedBehindItsBack)
{
    start();
    ASSERT_EQ(cli({"flash", SAMPLE_ELF}).status, 0);
    ASSERT_EQ(cli({"verify", SAMPLE_ELF}).status, 0);
    ASSERT_EQ(server_.control("poke 0 0x123 00").substr(0, 2), "ok");
    cli_run r = cli({"verify", SAMPLE_ELF});
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_NE(r.err.find("at 0x00000123"), std::string::npos) << r.err;
}

// Each broken algorithm: a message naming the function, the core left
// halted, no sector erased but the one the image touches.
TEST_F(Flash, FaultyAlgorithmsFailNamingTheFunction)
{
    start();
    struct fault {
        const char *algo;
        const char *message;
    };
    const fault faults[] = {
        {FAULT_RETURN_ONE_FLM, "EraseSector answered 1"},
        {FAULT_NO_RETURN_FLM, "ProgramPage did not return"},
        {FAULT_LOCKUP_FLM, "ProgramPage locked the core up"},
        {FAULT_STACK_FLM, "ProgramPage overran its stack"},
        {FAULT_OUTSIDE_FLM, "ProgramPage"},
    };
    for (const fault &f : faults) {
        SCOPED_TRACE(f.algo);
        // A blank first sector, so the image is never found equal to it.
        ASSERT_EQ(cli({"erase", "0", "4096"}).status, 0);
        std::string before = erases();
        cli_run r = cli({"flash", SAMPLE_ELF, "--algo", f.algo});
        EXPECT_EQ(r.status, 4);
        EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
        EXPECT_EQ(control_field("state 0", "halted"), "1");
        // Only the first sector's count may have moved.
        std::string after = erases();
        EXPECT_EQ(after.substr(after.find(',')), before.substr(before.find(','))) << before << " -> " << after;
    }
    ASSERT_EQ(cli({"flash", SAMPLE_ELF}).status, 0);
}

// An algorithm whose ProgramPage succeeds but leaves a wrong bit: the
// Verify run on each buffer as it is programmed names the byte, in the
// verify phase; --no-verify takes the algorithm's word for it, and the
// verify command then finds the same byte.
TEST_F(Flash, AWrongPageIsCaughtByVerifyAsItIsProgrammed)
{
    start();
    ASSERT_EQ(cli({"erase", "0", "4096"}).status, 0);
    cli_run good = cli({"--json", "flash", SAMPLE_ELF});
    ASSERT_EQ(good.status, 0) << good.err;
    // The sample's pages, checked as they were programmed: the verify phase
    // had nothing left of its own.
    auto figure = [&](const std::string &key) {
        size_t at = good.out.find("\"" + key + "\": ");
        return at == std::string::npos ? -1L : std::stol(good.out.substr(at + key.size() + 4));
    };
    long verified = figure("bytes_verified");
    EXPECT_GT(verified, 0) << good.out;
    EXPECT_EQ(verified % 1024, 0) << "whole pages: " << good.out;
    EXPECT_EQ(figure("bytes_verified_in_program"), verified) << good.out;
    struct step {
        std::vector<std::string> args;
        int status;
        const char *message; // in the error output; null: none
    };
    // The sample's fifth word is 0x00000041: the algorithm programs 0x40
    // into its first byte.
    const char *wrong = "failed in the verify phase at 0x00000010: the target holds 0x40 where the image has 0x41";
    const step steps[] = {
        {{"erase", "0", "4096"}, 0, nullptr},
        {{"flash", SAMPLE_ELF, "--algo", FAULT_WRONG_WORD_FLM}, 6, wrong},
        {{"erase", "0", "4096"}, 0, nullptr},
        {{"flash", SAMPLE_ELF, "--algo", FAULT_WRONG_WORD_FLM, "--no-verify"}, 0, nullptr},
        {{"verify", SAMPLE_ELF}, 6, "failed in the verify phase at 0x00000010"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.args[0] + " " + s.args.back());
        cli_run r = cli(s.args);
        EXPECT_EQ(r.status, s.status) << r.err;
        if (s.message != nullptr) {
            EXPECT_NE(r.err.find(s.message), std::string::npos) << r.err;
        }
    }
}

// Whatever is not an ELF or an Intel HEX image is refused, with the
// reader's reason, unless its name (or --format bin) says it is a raw
// binary, which then needs --base; flash, verify and run alike, before the
// target is touched.
TEST_F(Flash, DamagedFilesAreRefusedBeforeTheTargetIsTouched)
{
    start();
    std::string flm = tarvex_test::read_file(FLASH_ALGO_FLM), elf = tarvex_test::read_file(SAMPLE_ELF);
    std::string bad_hex = scratch("bad.hex"), bad_flm = scratch("bad.FLM"), bad_elf = scratch("bad.elf");
    std::string html = scratch("app.elf"), magic = scratch("magic.elf"), raw = scratch("image"), bin = scratch("a.bin");
    write_file(bad_hex, ":10000000FFFFFFFF\n");
    write_file(bad_flm, flm.substr(0, flm.size() / 3));
    write_file(bad_elf, elf.substr(0, 100));
    write_file(html, "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head></html>\n");
    write_file(magic, "\x7f"
                      "ELG" +
                          elf.substr(4));
    write_file(raw, tarvex_test::read_file(SAMPLE_BIN));
    write_file(bin, tarvex_test::read_file(SAMPLE_BIN));
    struct bad {
        std::vector<std::string> args;
        int status;
        const char *message;
    };
    const bad cases[] = {
        {{"flash", bad_hex}, 1, "not a usable image: Intel HEX line 1"},
        {{"flash", bad_elf}, 1, "not a usable image"},
        {{"flash", html}, 1, "app.elf is not a usable image: ELF image: not an ELF file"},
        {{"flash", magic}, 1, "magic.elf is not a usable image: ELF image: not an ELF file"},
        {{"verify", html}, 1, "not an ELF file"},
        {{"flash", raw}, 1, "neither ELF (no ELF magic) nor Intel HEX"},
        {{"flash", raw, "--base", "0"},
         1,
         "a raw binary is read only from a name ending in .bin, or with --format bin"},
        {{"flash", bin}, 1, "a.bin is a raw binary, which says nowhere where it goes: give --base ADDR"},
        {{"verify", bin}, 1, "give --base ADDR"},
        {{"flash", raw, "--format", "bin"}, 1, "give --base ADDR"},
        {{"flash", SAMPLE_ELF, "--base", "0"}, 1, "--base is for a raw binary, and"},
        {{"flash", SAMPLE_HEX, "--base", "0"}, 1, "is Intel HEX, whose parts carry their own addresses"},
        {{"flash", SAMPLE_ELF, "--format", "srec"}, 1, "--format needs elf, hex or bin"},
        {{"flash", SAMPLE_ELF, "--format", "hex"}, 1, "Intel HEX line 1: a record must start with ':'"},
        {{"run", html}, 125, "cannot run"},
        {{"run", magic, "--", "exit=ok"}, 125, "not an ELF file"},
        {{"run", bin}, 125, "an ELF or Intel HEX image is needed"},
        {{"flash", SAMPLE_ELF, "--algo", bad_flm}, 1, "not a usable flash algorithm"},
        {{"flash", SAMPLE_ELF, "--pack", FLASH_PACK, "--device", "NO-SUCH"}, 1, "no flash algorithm for a device"},
    };
    std::string before = erases();
    for (const bad &c : cases) {
        cli_run r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(erases(), before);
    // The raw binary goes where --base says, named .bin or forced so.
    cli_run named = cli({"flash", bin, "--base", "0"}), forced = cli({"verify", raw, "--format", "bin", "--base", "0"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(forced.status, 0) << forced.err;
    cli_run pack = cli({"flash", SAMPLE_ELF, "--pack", FLASH_PACK, "--device", "TARVEX-VT256"});
    EXPECT_EQ(pack.status, 0) << pack.err;
    for (const std::string &p : {bad_hex, bad_flm, bad_elf, html, magic, raw, bin})
        unlink(p.c_str());
}

// A part of the image beyond the flash (and RAM), or an erase range
// beyond it, has a status of its own, and nothing is erased.
TEST_F(Flash, AnImageTooBigForTheFlashIsRefusedWithItsOwnStatus)
{
    start();
    ASSERT_EQ(cli({"flash", SAMPLE_ELF}).status, 0);
    std::string before = erases();
    // The virtual target's flash: 256 KiB from 0 (TARVEX-VT256).
    std::string big = scratch("big.bin"), stray = scratch("stray.bin");
    write_file(big, std::string(256 * 1024 + 1, '\x11'));
    write_file(stray, "stray");
    struct too_big {
        std::vector<std::string> args;
        const char *message;
    };
    const too_big cases[] = {
        {{"flash", big, "--base", "0"}, "lie neither in the flash (0x00000000, 262144 bytes)"},
        {{"verify", big, "--base", "0"}, "lie neither in the flash"},
        {{"flash", stray, "--base", "0x10000000"}, "at 0x10000000 lie neither in the flash"},
        {{"erase", "0", "0x10000000"}, "the range lies outside the flash"},
    };
    for (const too_big &c : cases) {
        cli_run r = cli(c.args);
        EXPECT_EQ(r.status, 7) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(erases(), before);
    unlink(big.c_str());
    unlink(stray.c_str());
}

bool probe_held(tarvex::connection &c)
{
    tarvex::probe_holder h;
    bool found = false;
    return tarvex::probe_holder_of(c, 0, &h, &found) == 0 && found && h.held;
}

// A flash killed between its steps: its hold ends with its connection, and
// the next flash, from another client, succeeds.
TEST_F(Flash, AClientKilledMidFlashLeavesTheProbeToTheNext)
{
    start();
    ASSERT_EQ(cli({"erase", "0", "4096"}).status, 0);
    std::string before = erases();
    tarvex::connection watcher = server_.connect();
    // ProgramPage of this algorithm never returns: the flash is inside its
    // program phase until the time-out, which the kill comes before.
    std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "flash",
                                     SAMPLE_ELF,      "--algo", FAULT_NO_RETURN_FLM};
    pid_t pid = tarvex_test::spawn_program(argv, scratch("killed.out"), scratch("killed.err"));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(eventually([&] { return probe_held(watcher) && erases() != before; }));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(eventually([&] { return !probe_held(watcher); }));
    cli_run r = cli({"flash", SAMPLE_ELF});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string image = sample_bin();
    EXPECT_EQ(read(0, static_cast<uint32_t>(image.size())), image);
    unlink(scratch("killed.out").c_str());
    unlink(scratch("killed.err").c_str());
}

// Behind another client's hold a flash says who holds the probe, and runs
// once it is released.
TEST_F(Flash, WaitsBehindAnotherClientsHold)
{
    start();
    tarvex::connection holder = server_.connect();
    std::string reply;
    ASSERT_EQ(holder.text("register-client holder-test\n", &reply), 0);
    uint32_t assoc = 0;
    int result = -1;
    ASSERT_EQ(hold_at_once(holder, &assoc), 0);
    std::string err_path = scratch("waiter.err");
    std::vector<std::string> argv = {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "flash", SAMPLE_ELF};
    pid_t pid = tarvex_test::spawn_program(argv, scratch("waiter.out"), err_path);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(eventually([&] {
        return tarvex_test::read_file(err_path).find("waiting for probe 0, held by holder-test") != std::string::npos;
    })) << tarvex_test::read_file(err_path);
    ASSERT_EQ(tarvex::release_probe(holder, assoc, &result), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tarvex_test::read_file(err_path);
    unlink(err_path.c_str());
    unlink(scratch("waiter.out").c_str());
}

// 128 KiB across eleven sectors, with a vector table whose reset handler
// is at 0x100.
std::string big_image()
{
    std::string bytes(128 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
    const char vectors[8] = {0, 0, 2, 0x20, 0x01, 0x01, 0, 0}; // SP 0x20020000, PC 0x101
    bytes.replace(0, 8, vectors, 8);
    return bytes;
}

// A flash interrupted by SIGINT while it programs, caught there by the
// probe's gate: the gate is stepped one command at a time until the flash
// controller has programmed words, and the signal comes while a command
// is in flight. The loader finishes the pages it is on and stops: status
// 130, a message naming the range left erased (which is what the flash
// then holds), the core reset and halted on the image's reset handler,
// outside the algorithm, the hold given back. The next flash takes the
// sectors programmed before the signal as they are and does the rest.
void Flash::cancel_mid_program()
{
    std::string image = big_image(), path = scratch("big.bin"), err = scratch("cancel.err");
    write_file(path, image);
    ASSERT_EQ(cli({"erase", "--chip"}).status, 0);
    uint64_t words = std::stoull(control_field("flash 0", "words"));
    pid_t pid = tarvex_test::spawn_program(
        {TARVEX_CLI_PATH, "--port", std::to_string(server_.port), "flash", path, "--base", "0"}, scratch("cancel.out"),
        err);
    ASSERT_GT(pid, 0);
    bool programming = false;
    for (int step = 0; step < 5000 && !programming; step++) {
        ASSERT_EQ(server_.control("gate 0 hold"), "ok armed");
        ASSERT_TRUE(eventually([&] { return server_.control("gate 0") == "ok holding"; }))
            << "the flash ended before it programmed: " << tarvex_test::read_file(err);
        programming = std::stoull(control_field("flash 0", "words")) > words;
        if (!programming) {
            ASSERT_EQ(server_.control("gate 0 open"), "ok open");
        }
    }
    ASSERT_TRUE(programming);
    kill(pid, SIGINT);
    ASSERT_EQ(server_.control("gate 0 open"), "ok open");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string said = tarvex_test::read_file(err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << said;
    const std::string lead = "tarvex-cli: flash cancelled by SIGINT in the program phase: 0x";
    size_t at = said.find(lead);
    ASSERT_NE(at, std::string::npos) << said;
    unsigned from = 0, to = 0;
    ASSERT_EQ(sscanf(said.c_str() + at + lead.size() - 2, "0x%x-0x%x", &from, &to), 2) << said;
    EXPECT_NE(said.find("left erased; the core is reset and halted"), std::string::npos) << said;
    ASSERT_GT(from, 0u) << "the first pages were programmed";
    ASSERT_EQ(to + 1, image.size()) << said;
    EXPECT_LT(std::stoull(control_field("flash 0", "words")) - words, image.size() / 4) << "it stopped early";
    EXPECT_EQ(read(0, from), image.substr(0, from)) << "what came before the range is programmed";
    EXPECT_EQ(read(from, to + 1 - from), std::string(to + 1 - from, '\xff')) << "the range is erased";

    EXPECT_EQ(control_field("state 0", "halted"), "1");
    EXPECT_EQ(control_field("core 0", "pc"), "00000100") << "on the reset handler, not in the algorithm";
    tarvex::connection next = server_.connect();
    uint32_t assoc = 0;
    EXPECT_EQ(hold_at_once(next, &assoc), 0)
        << "the hold was given back: another client takes the probe without waiting";
    EXPECT_NE(server_.stderr_text().find("hold of tarvex-cli ended after"), std::string::npos);
    next.close();

    cli_run again = cli({"--json", "flash", path, "--base", "0"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out.find("\"sectors_skipped\": 0,"), std::string::npos) << "the programmed sectors: " << again.out;
    EXPECT_EQ(again.out.find("\"sectors_erased\": 0,"), std::string::npos) << "the erased ones: " << again.out;
    EXPECT_EQ(read(0, static_cast<uint32_t>(image.size())), image);
    unlink(path.c_str());
    unlink(err.c_str());
    unlink(scratch("cancel.out").c_str());
}

TEST_F(Flash, ASignalStopsTheFlashAtAPageAndTheNextFlashFinishesIt)
{
    start();
    cancel_mid_program();
}

TEST_F(Flash, ASignalStopsTheFlashOnTheDefaultTransport)
{
    start(false);
    cancel_mid_program();
}

// The one case on the umockdev transport: a flash from blank, then an
// unchanged one, read back through the same transport.
TEST_F(Flash, OnTheDefaultTransport)
{
    start(false);
    ASSERT_EQ(cli({"erase", "--chip"}).status, 0);
    cli_run r = cli({"flash", SAMPLE_ELF});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string image = sample_bin();
    EXPECT_EQ(read(0, static_cast<uint32_t>(image.size())), image);
    std::string before = erases();
    ASSERT_EQ(cli({"flash", SAMPLE_ELF}).status, 0);
    EXPECT_EQ(erases(), before);
}

} // namespace
