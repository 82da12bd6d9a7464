#include "target_rtt.h"

#include <unistd.h>

#include "image_symbols.h"
#include "link_access.h"

namespace tarvex_target
{

using namespace tarvex_wire;

// The ID and the two counts: a range shorter holds no block.
constexpr uint32_t RTT_HEADER_BYTES = 24;

rtt_place rtt_sram_scan()
{
    rtt_place place;
    place.ram_size = RTT_SRAM_SCAN_SIZE;
    return place;
}

bool rtt_place_of_image(const uint8_t *bytes, size_t len, rtt_place *place)
{
    *place = rtt_place();
    uint32_t address = 0, base = 0, size = 0;
    bool has_span = tarvex_images::image_writable_span(bytes, len, &base, &size) == 0;
    if (tarvex_images::image_symbol(bytes, len, RTT_SYMBOL, &address) != 0 || address == 0) {
        *place = rtt_sram_scan();
        if (has_span && size >= RTT_HEADER_BYTES && size <= RTT_SCAN_LIMIT) {
            place->ram_base = base;
            place->ram_size = size;
        }
        return false;
    }
    place->address = address;
    // A block outside the writable segments (placed by a linker script the
    // segments do not describe) is looked for in the SRAM region instead.
    if (has_span && address >= base && address - base < size) {
        place->ram_base = base;
        place->ram_size = size;
    }
    return true;
}

// ---- the requests ---------------------------------------------------------------

int server_rtt::settle(int rc, int result)
{
    if (rc != 0) {
        link_.mark_lost(); // a broken reply leaves the connection out of step too
        return TARGET_LOST;
    }
    result_ = result;
    return result == RESULT_OK ? TARGET_OK : TARGET_FAILED;
}

int server_rtt::start(unsigned flags, const rtt_place &place)
{
    int result = 0;
    int rc = tarvex::rtt_start(link_access::conn(link_), link_.assoc(), flags, place.ram_base, place.ram_size,
                               place.address, &result);
    return settle(rc, result);
}

int server_rtt::stop()
{
    int result = 0;
    int rc = tarvex::rtt_stop(link_access::conn(link_), link_.assoc(), &result);
    return settle(rc, result);
}

int server_rtt::status(tarvex::rtt_status_record *status)
{
    int result = 0;
    int rc = tarvex::rtt_status(link_access::conn(link_), link_.assoc(), &result, status);
    return settle(rc, result);
}

int server_rtt::read(int channel, const tarvex::rtt_position &from, uint32_t max, uint32_t wait_ms,
                     tarvex::rtt_chunk *chunk)
{
    int result = 0;
    int rc = tarvex::rtt_read(link_access::conn(link_), link_.assoc(), channel, from, max, wait_ms, &result, chunk);
    return settle(rc, result);
}

int server_rtt::write(int channel, const uint8_t *data, size_t len, uint32_t *accepted)
{
    int result = 0;
    int rc = tarvex::rtt_write(link_access::conn(link_), link_.assoc(), channel, data, len, &result, accepted);
    return settle(rc, result);
}

// ---- the reader -------------------------------------------------------------------

rtt_reader::rtt_reader(rtt_access &a, const std::vector<int> &channels, bool from_start) : access_(a)
{
    for (int ch : channels)
        follows_.push_back({ch, tarvex::rtt_position{!from_start, 0}, 0});
}

int rtt_reader::read_one(follow &f, uint32_t wait_ms, std::vector<rtt_output> *out, bool *brought)
{
    tarvex::rtt_chunk chunk;
    int rc = access_.read(f.channel, f.next, RTT_READ_LIMIT, wait_ms, &chunk);
    if (rc != TARGET_OK)
        return rc;
    f.next = tarvex::rtt_position{false, chunk.start + chunk.data.size()};
    f.lost += chunk.lost;
    if (chunk.data.empty() && chunk.lost == 0)
        return TARGET_OK;
    *brought = true;
    out->push_back({f.channel, chunk.start, chunk.lost, std::move(chunk.data)});
    return TARGET_OK;
}

int rtt_reader::step(uint32_t wait_ms, std::vector<rtt_output> *out)
{
    bool brought = false;
    for (follow &f : follows_) {
        int rc = read_one(f, 0, out, &brought);
        if (rc != TARGET_OK)
            return rc;
    }
    if (brought || wait_ms == 0 || follows_.empty())
        return TARGET_OK;
    return read_one(follows_.front(), wait_ms, out, &brought);
}

int rtt_reader::skip_to_end()
{
    for (follow &f : follows_) {
        std::vector<rtt_output> dropped;
        bool brought = false;
        f.next = tarvex::rtt_position{};
        int rc = read_one(f, 0, &dropped, &brought);
        if (rc != TARGET_OK)
            return rc;
        f.lost = 0;
    }
    return TARGET_OK;
}

// ---- the writer -------------------------------------------------------------------

int rtt_writer::push()
{
    while (!pending_.empty()) {
        size_t offer = pending_.size() < RTT_WRITE_LIMIT ? pending_.size() : RTT_WRITE_LIMIT;
        uint32_t accepted = 0;
        int rc = access_.write(channel_, pending_.data(), offer, &accepted);
        if (rc != TARGET_OK)
            return rc;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(accepted));
        if (accepted < offer)
            break;
    }
    return TARGET_OK;
}

// ---- settling ----------------------------------------------------------------------

// Between two looks at the poll count: a poll takes about this long.
constexpr useconds_t SETTLE_PAUSE_US = 2000;

int rtt_settle(rtt_access &a, int timeout_ms)
{
    tarvex::rtt_status_record r;
    int rc = a.status(&r);
    if (rc != TARGET_OK || r.state != tarvex::RTT_ATTACHED)
        return rc == TARGET_LOST ? rc : TARGET_OK;
    uint64_t wanted = r.polls + 2;
    int64_t deadline = tarvex::monotonic_ms() + timeout_ms;
    while (r.polls < wanted && r.state == tarvex::RTT_ATTACHED && tarvex::monotonic_ms() < deadline) {
        usleep(SETTLE_PAUSE_US);
        rc = a.status(&r);
        if (rc != TARGET_OK)
            return rc == TARGET_LOST ? rc : TARGET_OK;
    }
    return TARGET_OK;
}

} // namespace tarvex_target
