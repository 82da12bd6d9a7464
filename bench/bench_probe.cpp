// Round trips to a virtual probe in fast mode (the usbfs calls answered in
// process, the real libusb doing the rest):
//   - a 16-byte command with a 6-byte reply through the driver in process;
//   - 32-bit memory reads and writes of 1 KiB, 64 KiB and 1 MiB through the
//     driver: bytes per second and probe commands per KiB;
//   - a command block with a 64-byte read, through the driver in process,
//     through the real server over loopback, and the same sizes to a minimal
//     echo server. The server row's "ratio" is (driver + echo) / server: the
//     share of the ideal cost of a pass-through the server achieves.
//
// The binary starts itself again under tarvex-vprobe --fast when it is not
// already running under one, so that it and the server it starts see the
// same probe.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "echo_server.h"
#include "libusb1_common.h"
#include "list_tarvex.h"
#include "round_trip.h"
#include "server_process.h"
#include "tarvex_api.h"
#include "tarvex_driver.h"
#include "tarvex_usb.h"

namespace
{

constexpr uint32_t READ_SIZE = 64;
// Read 64 bytes of target RAM with the 32-bit memory command.
constexpr uint8_t READ_MEM32_BLOCK[16] = {TARVEX_DEBUG_COMMAND, 0x07, 0x00, 0x00, 0x00, 0x20, READ_SIZE, 0x00};

double driver_pass_through_s = 0;
double echo_pass_through_s = 0;

tarvex_usb_handle_s *probe_handle()
{
    static tarvex_usb_handle_s *handle = nullptr;
    if (handle == nullptr && tarvex_libusb_init() == 0 && tarvex_init() == 1) {
        tarvex_usb *entry = nth(0);
        if (entry != nullptr && tarvex_libusb_real_open(entry) == 0 && tarvex_usb_open(entry) == ERROR_OK)
            handle = entry->dev;
    }
    return handle;
}

int driver_command(tarvex_usb_handle_s *h, const uint8_t *block, uint32_t reply_size)
{
    tarvex_usb_init_buffer(h, h->rx_ep, reply_size);
    std::memcpy(h->cmdbuf, block, TARVEX_CMD_SIZE);
    return tarvex_usb_xfer(h, h->databuf, reply_size);
}

void BM_DriverCommand16(benchmark::State &state)
{
    tarvex_usb_handle_s *h = probe_handle();
    if (h == nullptr) {
        state.SkipWithError("no virtual probe");
        return;
    }
    const uint8_t version[16] = {TARVEX_GET_VERSION};
    seconds_per_round_trip(state, [&] { benchmark::DoNotOptimize(driver_command(h, version, 6)); });
}
BENCHMARK(BM_DriverCommand16);

void BM_DriverPassThrough64(benchmark::State &state)
{
    tarvex_usb_handle_s *h = probe_handle();
    if (h == nullptr) {
        state.SkipWithError("no virtual probe");
        return;
    }
    driver_pass_through_s = seconds_per_round_trip(
        state, [&] { benchmark::DoNotOptimize(driver_command(h, READ_MEM32_BLOCK, READ_SIZE)); });
}
BENCHMARK(BM_DriverPassThrough64);

// Blocks the probe has received so far (the launcher counts them).
double probe_blocks()
{
    const char *path = std::getenv("TARVEX_VPROBE_CONTROL");
    std::string reply = path != nullptr ? tarvex_test::vprobe_control(path, "count 0") : "";
    return reply.size() > 3 ? std::strtod(reply.c_str() + 3, nullptr) : 0;
}

// Memory throughput of the chunked 32-bit transfers: bytes per second, and
// the probe commands (memory and status blocks) each KiB costs.
void memory_transfer(benchmark::State &state, bool write)
{
    tarvex_usb_handle_s *h = probe_handle();
    if (h == nullptr) {
        state.SkipWithError("no virtual probe");
        return;
    }
    uint32_t bytes = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buffer(bytes, 0xA5);
    double blocks_before = probe_blocks();
    for (auto _ : state) {
        int res = write ? tarvex_usb_write_mem(h, 0x20000000, 4, bytes / 4, buffer.data(), 0, 0)
                        : tarvex_usb_read_mem(h, 0x20000000, 4, bytes / 4, buffer.data(), 0, 0);
        if (res != ERROR_OK) {
            state.SkipWithError("memory transfer failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    double kib = static_cast<double>(state.iterations()) * bytes / 1024.0;
    state.counters["commands_per_KiB"] = (probe_blocks() - blocks_before) / kib;
}

void BM_DriverReadMem(benchmark::State &state)
{
    memory_transfer(state, false);
}
BENCHMARK(BM_DriverReadMem)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_DriverWriteMem(benchmark::State &state)
{
    memory_transfer(state, true);
}
BENCHMARK(BM_DriverWriteMem)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

// The pass-through request: 32-byte header, direction 1 (read), 64 bytes;
// the reply is a 4-byte status and the 64 bytes.
std::vector<uint8_t> pass_through_request(uint32_t assoc)
{
    return tarvex::request_send_usb_cmd(assoc, READ_MEM32_BLOCK, 1, READ_SIZE);
}

void BM_EchoPassThrough64(benchmark::State &state)
{
    echo_server echo(4 + READ_SIZE);
    tarvex::connection c;
    if (c.open("127.0.0.1", echo.port()) != 0) {
        state.SkipWithError("echo server unreachable");
        return;
    }
    std::vector<uint8_t> request = pass_through_request(256), reply;
    echo_pass_through_s = seconds_per_round_trip(state, [&] { c.binary(request, 4 + READ_SIZE, &reply); });
}
BENCHMARK(BM_EchoPassThrough64);

void BM_ServerPassThrough64(benchmark::State &state)
{
    tarvex_test::server_process server;
    if (server.start({}) != 0 || server.wait_listening() != 0) {
        state.SkipWithError("server did not start");
        return;
    }
    tarvex::connection c = server.connect();
    std::vector<uint8_t> reply;
    c.binary({0x01}, 4, &reply);
    c.binary(tarvex::request_get_dev_info(0, sizeof(tarvex_device_info)), 4 + sizeof(tarvex_device_info), &reply);
    uint32_t key = reply.size() >= 8 ? tarvex::get_u32(reply, 4) : 0;
    if (c.binary(tarvex::request_open_dev(key, false), 8, &reply) != 0 || tarvex::get_u32(reply, 0) != 1) {
        state.SkipWithError("server could not open the probe");
        return;
    }
    std::vector<uint8_t> request = pass_through_request(tarvex::get_u32(reply, 4));
    double per_trip = seconds_per_round_trip(state, [&] { c.binary(request, 4 + READ_SIZE, &reply); });
    if (reply.size() != 4 + READ_SIZE || tarvex::get_u32(reply, 0) != 1)
        state.SkipWithError("pass-through failed");
    else if (per_trip > 0 && driver_pass_through_s > 0 && echo_pass_through_s > 0)
        state.counters["ratio"] = (driver_pass_through_s + echo_pass_through_s) / per_trip;
}
BENCHMARK(BM_ServerPassThrough64);

} // namespace

int main(int argc, char **argv)
{
    // 2 MiB of target RAM, so that the 1 MiB memory transfers fit.
    tarvex_test::reexec_under_vprobe(argv, {"--fast", "--probe", "ram=0x20000000:0x200000"});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
