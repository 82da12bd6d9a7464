// RTT for one target, as both front ends use it: where to look for the
// control block (from the image that was loaded), the server's capture
// requests on the link's association, a reader that follows up channels by
// their running byte positions and counts what it lost, and a writer that
// feeds a down channel as the server's queue takes it. The server keeps the
// captured bytes and nothing per reader: the positions live here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "target_link.h"
#include "tarvex_rtt.h"

namespace tarvex_target
{

// Where the block may lie when the image says nothing: the Cortex-M SRAM region.
constexpr uint32_t RTT_SRAM_BASE = 0x20000000;
constexpr uint32_t RTT_SRAM_SIZE = 0x20000000;
// A scan without a range of its own covers the start of that region, as far
// as the server scans at once (its reads end at the first unreadable chunk).
constexpr uint32_t RTT_SRAM_SCAN_SIZE = tarvex_wire::RTT_SCAN_LIMIT;
// The symbol firmware RTT libraries give their control block.
constexpr char RTT_SYMBOL[] = "_SEGGER_RTT";

struct rtt_place {
    uint32_t ram_base = RTT_SRAM_BASE;
    uint32_t ram_size = RTT_SRAM_SIZE;
    uint32_t address = 0; // 0: scan the range for the block
};

// The place an ELF image gives: its control block's symbol, and the span of
// its writable segments as the range every buffer must lie in (the SRAM
// region when it has none). False, with *place a scan of its writable
// segments (or of the SRAM region's start, rtt_sram_scan), when the image
// has no such symbol or is no ELF.
bool rtt_place_of_image(const uint8_t *bytes, size_t len, rtt_place *place);
// A scan of the SRAM region's first RTT_SRAM_SCAN_SIZE bytes.
rtt_place rtt_sram_scan();

// The server's RTT requests on one association. Each answers a
// target_result: TARGET_LOST when no reply came or it broke the protocol,
// TARGET_FAILED when its RESULT is not RESULT_OK (result() says which:
// RESULT_RTT_STOPPED, RESULT_RTT_GONE, RESULT_RTT_REFUSED, ...).
class rtt_access
{
public:
    virtual ~rtt_access() = default;
    virtual int start(unsigned flags, const rtt_place &place) = 0;
    virtual int stop() = 0;
    virtual int status(tarvex::rtt_status_record *status) = 0;
    virtual int read(int channel, const tarvex::rtt_position &from, uint32_t max, uint32_t wait_ms,
                     tarvex::rtt_chunk *chunk) = 0;
    virtual int write(int channel, const uint8_t *data, size_t len, uint32_t *accepted) = 0;
    int result() const { return result_; }

protected:
    int result_ = 0;
};

// Over a server link: its lost() speaks for these requests too.
class server_rtt : public rtt_access
{
public:
    explicit server_rtt(server_link &l) : link_(l) {}
    int start(unsigned flags, const rtt_place &place) override;
    int stop() override;
    int status(tarvex::rtt_status_record *status) override;
    int read(int channel, const tarvex::rtt_position &from, uint32_t max, uint32_t wait_ms,
             tarvex::rtt_chunk *chunk) override;
    int write(int channel, const uint8_t *data, size_t len, uint32_t *accepted) override;

private:
    int settle(int rc, int result);
    server_link &link_;
};

// What one read brought: bytes from position, after `lost` bytes the server
// no longer held (either may be empty).
struct rtt_output {
    int channel = 0;
    uint64_t position = 0;
    uint64_t lost = 0;
    std::vector<uint8_t> data;
};

class rtt_reader
{
public:
    // From the first byte the server still holds, or from what comes next.
    rtt_reader(rtt_access &a, const std::vector<int> &channels, bool from_start);
    // Reads each channel once without waiting; when none brought anything,
    // waits up to wait_ms on the first. What came (bytes or a loss) is
    // appended to *out. TARGET_OK, or the first failed read's (its channel
    // keeps its position and the others are read next time).
    int step(uint32_t wait_ms, std::vector<rtt_output> *out);
    // Each channel's position moves to what the server has captured so far,
    // which is dropped: a run that loads new firmware shows only its output.
    int skip_to_end();
    // The next position of each channel (at_end before its first read), in
    // the order given, and every byte lost on it.
    struct follow {
        int channel;
        tarvex::rtt_position next;
        uint64_t lost;
    };
    const std::vector<follow> &channels() const { return follows_; }

private:
    int read_one(follow &f, uint32_t wait_ms, std::vector<rtt_output> *out, bool *brought);
    rtt_access &access_;
    std::vector<follow> follows_;
};

// Bytes for a down channel, kept in order until the server's queue takes
// them.
class rtt_writer
{
public:
    explicit rtt_writer(rtt_access &a, int channel = 0) : access_(a), channel_(channel) {}
    void queue(const uint8_t *data, size_t len) { pending_.insert(pending_.end(), data, data + len); }
    size_t pending() const { return pending_.size(); }
    // Offers what is queued, RTT_WRITE_LIMIT at a time, until all is taken
    // or the server's queue takes less than offered (it is full: the rest
    // waits for the next push). TARGET_OK or the failed request's.
    int push();

private:
    rtt_access &access_;
    int channel_;
    std::vector<uint8_t> pending_;
};

// Waits, up to timeout_ms, until the server has polled an attached block
// twice more: whatever the firmware wrote before the call is captured then
// (the first poll may have been under way already). TARGET_OK also when
// capture is not attached (there is nothing to wait for) or the time passed.
int rtt_settle(rtt_access &a, int timeout_ms);

} // namespace tarvex_target
