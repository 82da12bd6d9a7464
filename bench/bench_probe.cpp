// Round trips to a virtual probe in fast mode (the usbfs calls answered in
// process, the real libusb doing the rest):
//   - a 16-byte command with a 6-byte reply through the driver in process;
//   - 32-bit memory reads and writes of 1 KiB, 64 KiB and 1 MiB through the
//     driver: bytes per second and probe commands per KiB;
//   - a command block with a 64-byte read, and text memory reads and writes
//     of the same sizes, through the real server over loopback, each taken
//     in turn with its limit: the same probe work through the driver in
//     process plus the same bytes through a minimal echo server. "ratio" is
//     limit / server: the share of the ideal cost the server achieves.
//
// The binary starts itself again under tarvex-vprobe --fast when it is not
// already running under one, so that it and the server it starts see the
// same probe.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
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
#include "tarvex_text.h"
#include "tarvex_usb.h"
#include "text_requests.h"

namespace
{

constexpr uint32_t READ_SIZE = 64;
// Read 64 bytes of target RAM with the 32-bit memory command.
constexpr uint8_t READ_MEM32_BLOCK[16] = {TARVEX_DEBUG_COMMAND, 0x07, 0x00, 0x00, 0x00, 0x20, READ_SIZE, 0x00};

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

// Blocks the probe has received so far (the launcher counts them).
double probe_blocks()
{
    const char *path = std::getenv("TARVEX_VPROBE_CONTROL");
    std::string reply = path != nullptr ? tarvex_test::vprobe_control(path, "count 0") : "";
    return reply.size() > 3 ? std::strtod(reply.c_str() + 3, nullptr) : 0;
}

// One 32-bit memory transfer of the whole buffer through the driver.
int driver_transfer(tarvex_usb_handle_s *h, bool write, std::vector<uint8_t> &buffer)
{
    uint32_t count = static_cast<uint32_t>(buffer.size() / 4);
    return write ? tarvex_usb_write_mem(h, 0x20000000, 4, count, buffer.data(), 0, 0)
                 : tarvex_usb_read_mem(h, 0x20000000, 4, count, buffer.data(), 0, 0);
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
    int res = ERROR_OK;
    seconds_per_round_trip(state, [&] { res = driver_transfer(h, write, buffer); });
    if (res != ERROR_OK) {
        state.SkipWithError("memory transfer failed");
        return;
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

// The real server, started once (it inherits this process's virtual probe),
// with one client holding an association on the probe.
struct server_session {
    tarvex_test::server_process server;
    tarvex::connection client;
    uint32_t assoc = 0;
};

server_session *session()
{
    static std::unique_ptr<server_session> s;
    if (s)
        return s->assoc != 0 ? s.get() : nullptr;
    s = std::make_unique<server_session>();
    if (s->server.start({}) != 0 || s->server.wait_listening() != 0)
        return nullptr;
    pin_to_cpu(s->server.pid, true);
    s->client = s->server.connect();
    std::vector<uint8_t> reply;
    s->client.binary(tarvex::request_get_dev_info(0, sizeof(tarvex_device_info)), 4 + sizeof(tarvex_device_info),
                     &reply);
    uint32_t key = reply.size() >= 8 ? tarvex::get_u32(reply, 4) : 0;
    if (s->client.binary(tarvex::request_open_dev(key, false), 8, &reply) == 0 && tarvex::get_u32(reply, 0) == 1)
        s->assoc = tarvex::get_u32(reply, 4);
    return s->assoc != 0 ? s.get() : nullptr;
}

// The server session and the driver's handle on the same probe, or a
// skipped benchmark.
server_session *session_and_probe(benchmark::State &state, tarvex_usb_handle_s **h)
{
    server_session *s = session();
    *h = probe_handle();
    if (s == nullptr || *h == nullptr)
        state.SkipWithError("no virtual probe, or the server could not open it");
    return *h != nullptr ? s : nullptr;
}

// Each row below is taken in turn with its limit: the same probe work through
// the driver in this process, and the same bytes through an echo server.
void BM_ServerPassThrough64(benchmark::State &state)
{
    tarvex_usb_handle_s *h = nullptr;
    server_session *s = session_and_probe(state, &h);
    if (s == nullptr)
        return;
    echo_client e(4 + READ_SIZE);
    std::vector<uint8_t> request = pass_through_request(s->assoc), reply, echoed;
    auto t = paired_seconds<3>(state, {[&] { s->client.binary(request, 4 + READ_SIZE, &reply); },
                                       [&] { driver_command(h, READ_MEM32_BLOCK, READ_SIZE); },
                                       [&] { e.c.binary(request, 4 + READ_SIZE, &echoed); }});
    if (reply.size() != 4 + READ_SIZE || tarvex::get_u32(reply, 0) != 1)
        state.SkipWithError("pass-through failed");
    else
        report_pair(state, t[0], t[1] + t[2]);
}
BENCHMARK(BM_ServerPassThrough64);

// Text memory transfers: a read is one request answered by a header and the
// data; a write goes in the client library's pieces (WRITE_MEM_PIECE), as
// tarvex-cli sends it, each answered "1 0".

std::vector<uint8_t> write_request(uint32_t assoc, uint32_t addr, size_t bytes)
{
    char line[96];
    snprintf(line, sizeof(line), "tarvex-tcp-write-mem %u %x 4 %zx 0\n", assoc, addr, bytes / 4);
    std::vector<uint8_t> request(line, line + strlen(line));
    request.resize(request.size() + bytes, 0x5A);
    return request;
}

// The pieces of a text write of `bytes`, built before the timing starts as
// the echo reference's request is.
std::vector<std::vector<uint8_t>> write_pieces(uint32_t assoc, size_t bytes)
{
    std::vector<std::vector<uint8_t>> pieces;
    const size_t piece = tarvex::WRITE_MEM_PIECE;
    for (size_t at = 0; at < bytes; at += piece)
        pieces.push_back(write_request(assoc, static_cast<uint32_t>(0x20000000 + at), std::min(piece, bytes - at)));
    return pieces;
}

// One text write, piece by piece, each answered "1 0\n".
bool text_write(tarvex::connection &c, const std::vector<std::vector<uint8_t>> &pieces)
{
    for (const std::vector<uint8_t> &request : pieces) {
        char reply[4];
        if (!exchange(c, request.data(), request.size(), reply, sizeof(reply)) || memcmp(reply, "1 0\n", 4) != 0)
            return false;
    }
    return true;
}

void BM_ServerReadMem(benchmark::State &state)
{
    tarvex_usb_handle_s *h = nullptr;
    server_session *s = session_and_probe(state, &h);
    if (s == nullptr)
        return;
    size_t bytes = static_cast<size_t>(state.range(0));
    std::string request = read_request(s->assoc, bytes), header = read_header(bytes);
    std::vector<uint8_t> reply(header.size() + bytes), echoed(reply.size()), buffer(bytes);
    // The echo answers with as many bytes as the server's header and data.
    echo_client e(reply.size());
    bool ok = true, echo_ok = true;
    int res = ERROR_OK;
    auto t = paired_seconds<3>(
        state,
        {[&] { ok = text_read(s->client, request, header, &reply) && ok; },
         [&] { res = driver_transfer(h, false, buffer); },
         [&] { echo_ok = exchange(e.c, request.data(), request.size(), echoed.data(), echoed.size()) && echo_ok; }});
    if (!ok || res != ERROR_OK || !echo_ok) {
        state.SkipWithError("text read, driver read or echo failed");
        return;
    }
    report_pair(state, t[0], t[1] + t[2]);
}
BENCHMARK(BM_ServerReadMem)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

// The echo reference of a write: each piece to an echo server that collects
// that many bytes and answers 4 (the pieces come in at most two sizes).
bool echo_write(std::map<size_t, std::unique_ptr<echo_client>> &echoes, const std::vector<std::vector<uint8_t>> &pieces)
{
    bool ok = true;
    for (const std::vector<uint8_t> &request : pieces) {
        char reply[4];
        ok = exchange(echoes[request.size()]->c, request.data(), request.size(), reply, sizeof(reply)) && ok;
    }
    return ok;
}

void BM_ServerWriteMem(benchmark::State &state)
{
    tarvex_usb_handle_s *h = nullptr;
    server_session *s = session_and_probe(state, &h);
    if (s == nullptr)
        return;
    size_t bytes = static_cast<size_t>(state.range(0));
    std::vector<std::vector<uint8_t>> pieces = write_pieces(s->assoc, bytes);
    std::map<size_t, std::unique_ptr<echo_client>> echoes;
    for (const std::vector<uint8_t> &piece : pieces)
        if (echoes.count(piece.size()) == 0)
            echoes[piece.size()] = std::make_unique<echo_client>(4, piece.size());
    std::vector<uint8_t> buffer(bytes, 0x5A);
    bool ok = true, echo_ok = true;
    int res = ERROR_OK;
    auto t = paired_seconds<3>(state, {[&] { ok = text_write(s->client, pieces) && ok; },
                                       [&] { res = driver_transfer(h, true, buffer); },
                                       [&] { echo_ok = echo_write(echoes, pieces) && echo_ok; }});
    if (!ok || res != ERROR_OK || !echo_ok) {
        state.SkipWithError("text write, driver write or echo failed");
        return;
    }
    report_pair(state, t[0], t[1] + t[2]);
}
BENCHMARK(BM_ServerWriteMem)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    // 2 MiB of target RAM, so that the 1 MiB memory transfers fit.
    tarvex_test::reexec_under_vprobe(argv, {"--fast", "--probe", "ram=0x20000000:0x200000"});
    pin_to_cpu(0, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
