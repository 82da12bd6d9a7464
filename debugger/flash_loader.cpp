#include "flash_loader.h"

#include <algorithm>
#include <map>

#include "flash_runner.h"
#include "target.h"
#include "tarvex_client.h"

namespace tarvex_flash
{

using namespace tarvex_target;
using tarvex_target::link; // not the POSIX link()

using tarvex_images::image_extent;

constexpr uint32_t FNC_ERASE = 1, FNC_PROGRAM = 2, FNC_VERIFY = 3;

const char *flash_phase_name(flash_phase p)
{
    static const char *const names[PHASE_COUNT] = {"prepare", "erase", "program", "verify"};
    return p >= 0 && p < PHASE_COUNT ? names[p] : "?";
}

// Times a phase and reports its progress.
struct phase_clock {
    flash_observer *obs;
    flash_summary *sum;
    flash_phase phase;
    int64_t start;
    uint64_t total;

    phase_clock(flash_observer *o, flash_summary *s, flash_phase p, uint64_t bytes)
        : obs(o), sum(s), phase(p), start(tarvex::monotonic_ms()), total(bytes)
    {
        step(0);
    }
    void step(uint64_t done) const
    {
        if (obs != nullptr)
            obs->progress(phase, done, total);
    }
    ~phase_clock()
    {
        sum->seconds[phase] += static_cast<double>(tarvex::monotonic_ms() - start) / 1e3;
        sum->bytes[phase] += total;
    }
};

// ---- the plan ---------------------------------------------------------------------

// One sector the image touches, with what it must hold afterwards.
struct sector_plan {
    uint32_t addr;
    uint32_t size;
    std::vector<image_extent> parts; // the image's bytes inside it
    std::vector<uint8_t> content;    // the whole sector to program, empty when skipped
    bool skip = false;
    bool erased = false; // by this operation
};

struct image_split {
    std::vector<image_extent> flash, ram;
};

static bool inside(uint64_t addr, uint64_t len, uint64_t base, uint64_t size)
{
    return addr >= base && addr + len <= base + size;
}

// Pieces of the image by where they go; the first byte in neither is an error.
static int split_image(const flash_setup &setup, const std::vector<image_extent> &image, image_split *out,
                       flash_error *err)
{
    const tarvex_images::flash_device_desc &d = setup.algo.device;
    for (const image_extent &e : image) {
        uint64_t len = e.bytes.size();
        if (inside(e.address, len, d.address, d.size)) {
            out->flash.push_back(e);
        } else if (inside(e.address, len, setup.ram_base, setup.ram_size)) {
            out->ram.push_back(e);
        } else {
            err->phase = PHASE_PREPARE;
            err->address = e.address;
            err->outside = true;
            err->cause = "the image's " + std::to_string(len) + " bytes at " + hex32(e.address) +
                         " lie neither in the flash (" + hex32(d.address) + ", " + std::to_string(d.size) +
                         " bytes) nor in RAM; nothing was changed";
            return TARGET_FAILED;
        }
    }
    return TARGET_OK;
}

static std::vector<sector_plan> plan_sectors(const tarvex_images::flash_device_desc &d,
                                             const std::vector<image_extent> &flash)
{
    std::map<uint32_t, sector_plan> sectors;
    for (const image_extent &e : flash) {
        uint32_t at = e.address, end = e.address + static_cast<uint32_t>(e.bytes.size());
        while (at < end) {
            uint32_t start = 0, size = 0;
            tarvex_images::flash_sector_find(d, at - d.address, &start, &size);
            start += d.address;
            uint32_t stop = std::min(end, start + size);
            sector_plan &s = sectors[start];
            s.addr = start;
            s.size = size;
            auto from = e.bytes.begin() + (at - e.address);
            s.parts.push_back({at, std::vector<uint8_t>(from, from + (stop - at))});
            at = stop;
        }
    }
    std::vector<sector_plan> list;
    for (auto &kv : sectors)
        list.push_back(std::move(kv.second));
    return list;
}

static bool covers(const sector_plan &s)
{
    uint64_t covered = 0;
    for (const image_extent &p : s.parts)
        covered += p.bytes.size();
    return covered == s.size;
}

// Whether each range of the target equals the image's bytes there, by the
// helper's checksums (one call for all of them).
static int same_as_image(flash_runner &r, const std::vector<image_extent> &ranges, std::vector<bool> *equal)
{
    std::vector<uint32_t> sums;
    int rc = r.checksums(ranges, &sums);
    equal->clear();
    for (size_t i = 0; i < sums.size(); i++)
        equal->push_back(sums[i] == tarvex_images::flash_checksum(ranges[i].bytes.data(), ranges[i].bytes.size()));
    return rc;
}

// Marks the sectors whose parts the target already holds.
static int find_equal(flash_runner &r, std::vector<sector_plan> &sectors, flash_summary *sum)
{
    std::vector<image_extent> parts;
    for (const sector_plan &s : sectors)
        parts.insert(parts.end(), s.parts.begin(), s.parts.end());
    std::vector<bool> equal;
    int rc = same_as_image(r, parts, &equal);
    size_t next = 0;
    for (sector_plan &s : sectors) {
        s.skip = rc == TARGET_OK;
        for (size_t i = 0; i < s.parts.size(); i++, next++)
            s.skip = s.skip && equal[next];
        sum->sectors_skipped += s.skip ? 1 : 0;
    }
    return rc;
}

// Decides per sector: skip it (equal), or what to program back after the
// erase (the old bytes, read now, under the image's).
static int prepare_sectors(flash_runner &r, std::vector<sector_plan> &sectors, bool chip, flash_summary *sum)
{
    uint8_t empty = r.algo().device.empty;
    if (!chip && r.layout().helper != 0) {
        int rc = find_equal(r, sectors, sum);
        if (rc != TARGET_OK)
            return rc;
    }
    for (sector_plan &s : sectors) {
        if (s.skip)
            continue;
        if (chip || covers(s)) {
            s.content.assign(s.size, empty);
        } else {
            int rc = memory_read(r.target(), s.addr, s.size, &s.content);
            if (rc != TARGET_OK)
                return r.fail(rc, s.addr, "reading the sector's other bytes before the erase failed");
        }
        for (const image_extent &p : s.parts)
            std::copy(p.bytes.begin(), p.bytes.end(), s.content.begin() + (p.address - s.addr));
    }
    return TARGET_OK;
}

// ---- cancelling -------------------------------------------------------------------

// Asked between two calls of the algorithm, never during one.
static bool stop_asked(flash_observer *obs)
{
    return obs != nullptr && obs->cancelled();
}

// The bytes this operation erased and has not programmed since: the erased
// sectors from programmed_to on (the runs are programmed in address order).
static std::string left_erased(const std::vector<sector_plan> &sectors, uint32_t programmed_to)
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // [from, to)
    bool partial = false;
    for (const sector_plan &s : sectors) {
        uint32_t from = std::max(s.addr, programmed_to), to = s.addr + s.size;
        if (!s.erased || from >= to)
            continue;
        partial = partial || !covers(s);
        if (!ranges.empty() && ranges.back().second == from)
            ranges.back().second = to;
        else
            ranges.push_back({from, to});
    }
    if (ranges.empty())
        return "nothing is left erased";
    std::string text;
    uint64_t bytes = 0;
    for (const auto &r : ranges) {
        text += (text.empty() ? "" : ", ") + hex32(r.first) + "-" + hex32(r.second - 1);
        bytes += r.second - r.first;
    }
    return text + " (" + std::to_string(bytes / 1024) + " KiB) left erased" +
           (partial ? ", with what the image does not cover there" : "");
}

static uint32_t function_of(flash_phase p)
{
    return p == PHASE_ERASE ? FNC_ERASE : p == PHASE_PROGRAM ? FNC_PROGRAM : FNC_VERIFY;
}

// After a cancel: the algorithm's UnInit when a phase of it was running,
// then the core out of the algorithm, reset and halted. TARGET_CANCELLED,
// with what the flash is left as.
static int stop_cancelled(flash_runner &r, const std::string &state)
{
    flash_phase phase = r.phase();
    if (phase != PHASE_PREPARE)
        r.uninit(function_of(phase)); // a failure here changes nothing of what is said
    r.set_phase(phase);
    bool halted = reset(r.target(), true) == TARGET_OK;
    return r.fail(TARGET_CANCELLED, 0,
                  state + (halted ? "; the core is reset and halted" : "; the core could not be reset"));
}

// ---- erase --------------------------------------------------------------------------

static int erase_one(flash_runner &r, uint32_t addr, bool chip)
{
    const tarvex_images::flash_algo &a = r.algo();
    uint32_t result = 0, timeout = a.device.erase_timeout_ms;
    int rc;
    if (chip) {
        // The device's erase time-out is per sector; a whole-flash erase
        // gets it once per 64 KiB.
        timeout *= std::max(1u, a.device.size / 0x10000);
        rc = r.call("EraseChip", r.layout().code + a.erase_chip, addr, timeout, nullptr, 0, &result);
    } else {
        rc = r.call("EraseSector", r.layout().code + a.erase_sector, addr, timeout, &addr, 1, &result);
    }
    if (rc == TARGET_OK && result != 0)
        rc = r.fail(TARGET_FAILED, addr,
                    std::string(chip ? "EraseChip" : "EraseSector") + " answered " + std::to_string(result));
    return rc;
}

static int erase_listed(flash_runner &r, const std::vector<const sector_plan *> &some)
{
    const tarvex_images::flash_algo &a = r.algo();
    std::vector<uint32_t> addrs;
    for (const sector_plan *s : some)
        addrs.push_back(s->addr);
    uint32_t n = static_cast<uint32_t>(addrs.size()), done = 0, answer = 0;
    int rc = r.list_call("EraseSector", HELPER_ERASE_SECTORS, addrs, n, (r.layout().code + a.erase_sector) | 1,
                         addrs[0], a.device.erase_timeout_ms * n, &done, &answer);
    // The helper answers the sectors erased, and in R1 what EraseSector said.
    if (rc == TARGET_OK && done != n)
        rc = r.fail(TARGET_FAILED, done < n ? addrs[done] : addrs[0], "EraseSector answered " + std::to_string(answer));
    return rc;
}

static int erase_sectors(flash_runner &r, std::vector<sector_plan> &sectors, bool whole, flash_observer *obs,
                         flash_summary *sum)
{
    r.set_phase(PHASE_ERASE);
    uint64_t total = 0;
    for (const sector_plan &s : sectors)
        total += s.skip ? 0 : s.size;
    if (total == 0)
        return TARGET_OK;
    phase_clock clock(obs, sum, PHASE_ERASE, total);
    bool chip = whole && r.algo().erase_chip != tarvex_images::ALGO_ABSENT;
    int rc = r.init(FNC_ERASE);
    if (chip && rc == TARGET_OK && (rc = erase_one(r, r.algo().device.address, true)) == TARGET_OK) {
        sum->sectors_erased += static_cast<uint32_t>(sectors.size());
        for (sector_plan &s : sectors)
            s.erased = true;
        clock.step(total);
    }
    std::vector<sector_plan *> todo;
    for (sector_plan &s : sectors)
        if (!chip && !s.skip)
            todo.push_back(&s);
    uint64_t done = 0;
    // Through the helper's loop a list of sectors a call, else one each.
    size_t per_call = r.layout().helper != 0 ? r.list_room(4) : 1;
    for (size_t first = 0; first < todo.size() && rc == TARGET_OK; first += per_call) {
        if (stop_asked(obs))
            return TARGET_CANCELLED;
        size_t n = std::min(per_call, todo.size() - first);
        std::vector<const sector_plan *> some(todo.begin() + first, todo.begin() + first + n);
        rc = r.layout().helper != 0 ? erase_listed(r, some) : erase_one(r, some[0]->addr, false);
        for (size_t i = 0; i < n && rc == TARGET_OK; i++) {
            todo[first + i]->erased = true;
            done += some[i]->size;
            sum->sectors_erased++;
        }
        clock.step(done);
    }
    if (rc == TARGET_OK)
        rc = r.uninit(FNC_ERASE);
    return rc;
}

// ---- program ------------------------------------------------------------------------

// Pieces of work of one buffer each: runs of whole pages to program, or
// parts of the image to verify.
using chunk = image_extent;

// The pages to program as runs of at most `most` bytes of adjacent pages,
// in increasing order; erased pages need no programming and end a run, as
// does a short page.
static std::vector<chunk> runs_of(const std::vector<sector_plan> &sectors, uint32_t page, uint32_t most, uint8_t empty)
{
    std::vector<chunk> runs;
    bool open = false;
    for (const sector_plan &s : sectors) {
        for (uint32_t off = 0; !s.skip && off < s.size; off += page) {
            uint32_t len = std::min(page, s.size - off);
            const uint8_t *p = s.content.data() + off;
            if (std::none_of(p, p + len, [empty](uint8_t b) { return b != empty; })) {
                open = false;
                continue;
            }
            uint32_t addr = s.addr + off;
            if (!open || runs.back().address + runs.back().bytes.size() != addr ||
                runs.back().bytes.size() + len > most)
                runs.push_back({addr, {}});
            runs.back().bytes.insert(runs.back().bytes.end(), p, p + len);
            open = len == page;
        }
    }
    return runs;
}

static int fill_buffer(flash_runner &r, uint32_t buf, const chunk &c)
{
    int rc = memory_write(r.target(), buf, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
    return rc == TARGET_OK ? rc : r.fail(rc, c.address, "writing into the RAM buffer failed");
}

// Starts a call on each chunk in a buffer and waits for it; with two
// buffers the next chunk goes into RAM while the call runs on the other,
// so that the chunk's bytes stay in its buffer until its finish returns.
// A cancel is heeded before each start.
template <typename Start, typename Finish>
static int pipelined(flash_runner &r, const std::vector<chunk> &chunks, flash_observer *obs, Start start, Finish finish)
{
    const flash_layout &lay = r.layout();
    int rc = chunks.empty() ? TARGET_OK : fill_buffer(r, lay.buffers[0], chunks[0]);
    for (size_t i = 0; i < chunks.size() && rc == TARGET_OK; i++) {
        if (stop_asked(obs))
            return TARGET_CANCELLED;
        uint32_t buf = lay.buffers[i % lay.buffer_count];
        rc = start(chunks[i], buf);
        const chunk *next = i + 1 < chunks.size() ? &chunks[i + 1] : nullptr;
        if (rc == TARGET_OK && next != nullptr && lay.buffer_count == 2)
            rc = fill_buffer(r, lay.buffers[(i + 1) % 2], *next);
        if (rc == TARGET_OK)
            rc = finish(chunks[i], buf);
        if (rc == TARGET_OK && next != nullptr && lay.buffer_count == 1)
            rc = fill_buffer(r, lay.buffers[0], *next);
    }
    return rc;
}

static uint64_t total_bytes(const std::vector<chunk> &chunks)
{
    uint64_t total = 0;
    for (const chunk &c : chunks)
        total += c.bytes.size();
    return total;
}

// The first address where the target differs from bytes at addr, found by
// reading the range back.
static int first_difference(flash_runner &r, uint32_t addr, const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> now;
    int rc = memory_read(r.target(), addr, static_cast<uint32_t>(bytes.size()), &now);
    if (rc != TARGET_OK)
        return r.fail(rc, addr, "reading back failed");
    size_t i = 0;
    while (i < bytes.size() && now[i] == bytes[i])
        i++;
    // Verify or the checksum can see what a memory read does not (or be
    // wrong): their word stands, at the address they gave.
    if (i == bytes.size())
        return r.differ(addr, "verification found a difference here that reading back does not show");
    char cause[96];
    snprintf(cause, sizeof(cause), "the target holds 0x%02x where the image has 0x%02x", now[i], bytes[i]);
    return r.differ(addr + static_cast<uint32_t>(i), cause);
}

// Verify answered addr for chunk c: a difference there (the chunk's start
// when the answer lies outside it), named in the verify phase whichever
// phase asked.
static int differs_at(flash_runner &r, const chunk &c, uint32_t addr)
{
    if (addr < c.address || addr - c.address >= c.bytes.size())
        addr = c.address;
    r.set_phase(PHASE_VERIFY);
    return first_difference(r, addr, std::vector<uint8_t>(c.bytes.begin() + (addr - c.address), c.bytes.end()));
}

static uint32_t verify_timeout_ms(size_t bytes)
{
    return static_cast<uint32_t>(2000 + bytes / 32);
}

// The algorithm's Verify on a chunk whose bytes are in buf.
static int start_verify(flash_runner &r, const chunk &c, uint32_t buf)
{
    uint32_t args[3] = {c.address, static_cast<uint32_t>(c.bytes.size()), buf};
    r.expect(args[1]);
    return r.start("Verify", r.layout().code + r.algo().verify, c.address, verify_timeout_ms(c.bytes.size()), args, 3);
}

static int finish_verify(flash_runner &r, const chunk &c)
{
    uint32_t result = 0, end = c.address + static_cast<uint32_t>(c.bytes.size());
    int rc = r.finish(&result);
    return rc == TARGET_OK && result != end ? differs_at(r, c, result) : rc;
}

// A run through the helper's page loop (which verifies each page after
// programming it when asked), or a single page without it.
static int start_run(flash_runner &r, const chunk &c, uint32_t buf, bool verify)
{
    const flash_layout &lay = r.layout();
    const tarvex_images::flash_device_desc &d = r.algo().device;
    uint32_t len = static_cast<uint32_t>(c.bytes.size());
    uint32_t pages = (len + d.page_size - 1) / d.page_size;
    bool helper = lay.helper != 0;
    uint32_t timeout = d.program_timeout_ms * pages + (helper && verify ? verify_timeout_ms(len) : 0);
    uint32_t args[4] = {c.address, len, buf, lay.page_call + (verify ? PAGE_CALL_VERIFYING : PAGE_CALL_PLAIN)};
    r.expect(len);
    return r.start("ProgramPage", helper ? lay.helper + HELPER_PROGRAM_PAGES : lay.code + r.algo().program_page,
                   c.address, timeout, args, helper ? 4 : 3);
}

// The helper answers the bytes done and in R1 what the failing ProgramPage
// said, or 0 when Verify found a difference at the bytes done. Without the
// helper, ProgramPage's answer, then Verify on the page still in buf.
static int finish_run(flash_runner &r, const chunk &c, uint32_t buf, bool verify)
{
    uint32_t len = static_cast<uint32_t>(c.bytes.size()), done = 0, answer = 0;
    bool helper = r.layout().helper != 0;
    int rc = r.finish(&done, &answer);
    if (rc != TARGET_OK)
        return rc;
    if (!helper) {
        answer = done;
        done = answer == 0 ? len : 0;
    }
    if (done == len && verify && !helper && (rc = start_verify(r, c, buf)) == TARGET_OK)
        rc = finish_verify(r, c);
    if (done == len)
        return rc;
    if (answer != 0)
        return r.fail(TARGET_FAILED, c.address + done, "ProgramPage answered " + std::to_string(answer));
    return differs_at(r, c, c.address + done);
}

// Programs the runs; with verify, the algorithm's Verify checks each run
// while its bytes are still in the buffer, so that the image crosses the
// link once. *programmed_to: the end of the last run programmed.
static int program_pages(flash_runner &r, const std::vector<chunk> &runs, bool verify, flash_observer *obs,
                         flash_summary *sum, uint32_t *programmed_to)
{
    r.set_phase(PHASE_PROGRAM);
    uint64_t total = total_bytes(runs), done = 0;
    if (total == 0)
        return TARGET_OK;
    int rc;
    {
        phase_clock clock(obs, sum, PHASE_PROGRAM, total);
        rc = r.init(FNC_PROGRAM);
        if (rc == TARGET_OK)
            rc = pipelined(
                r, runs, obs, [&](const chunk &c, uint32_t buf) { return start_run(r, c, buf, verify); },
                [&](const chunk &c, uint32_t buf) {
                    int finished = finish_run(r, c, buf, verify);
                    if (finished == TARGET_OK) {
                        *programmed_to = c.address + static_cast<uint32_t>(c.bytes.size());
                        done += c.bytes.size();
                        sum->bytes_programmed += c.bytes.size();
                        clock.step(done);
                    }
                    return finished;
                });
        if (rc == TARGET_OK)
            rc = r.uninit(FNC_PROGRAM);
    }
    if (rc == TARGET_OK && verify) {
        sum->bytes_verified += total;
        sum->verified_in_program += total;
        sum->bytes[PHASE_VERIFY] += total;
        if (obs != nullptr)
            obs->progress(PHASE_VERIFY, total, total);
    }
    return rc;
}

// ---- verify -------------------------------------------------------------------------

static int verify_by_checksum(flash_runner &r, const std::vector<image_extent> &flash, uint64_t *done,
                              const phase_clock &clock)
{
    std::vector<bool> equal;
    int rc = same_as_image(r, flash, &equal);
    for (size_t i = 0; i < equal.size() && rc == TARGET_OK; i++) {
        if (!equal[i])
            return first_difference(r, flash[i].address, flash[i].bytes);
        *done += flash[i].bytes.size();
    }
    clock.step(*done);
    return rc;
}

// The image in pieces of one buffer each.
static std::vector<chunk> pieces_of(const std::vector<image_extent> &flash, uint32_t most)
{
    std::vector<chunk> pieces;
    for (const image_extent &e : flash)
        for (size_t off = 0; off < e.bytes.size(); off += most) {
            size_t len = std::min<size_t>(most, e.bytes.size() - off);
            pieces.push_back({e.address + static_cast<uint32_t>(off),
                              std::vector<uint8_t>(e.bytes.begin() + off, e.bytes.begin() + off + len)});
        }
    return pieces;
}

static int verify_by_algo(flash_runner &r, const std::vector<image_extent> &flash, flash_observer *obs, uint64_t *done,
                          const phase_clock &clock)
{
    const flash_layout &lay = r.layout();
    return pipelined(
        r, pieces_of(flash, lay.buffer_size), obs,
        [&r](const chunk &c, uint32_t buf) { return start_verify(r, c, buf); },
        [&](const chunk &c, uint32_t) {
            int rc = finish_verify(r, c);
            if (rc == TARGET_OK) {
                *done += c.bytes.size();
                clock.step(*done);
            }
            return rc;
        });
}

static int verify_flash(flash_runner &r, const std::vector<image_extent> &flash, flash_observer *obs,
                        flash_summary *sum)
{
    r.set_phase(PHASE_VERIFY);
    uint64_t total = 0, done = 0;
    for (const image_extent &e : flash)
        total += e.bytes.size();
    if (total == 0)
        return TARGET_OK;
    bool algo = r.algo().verify != tarvex_images::ALGO_ABSENT;
    if (!algo && r.layout().helper == 0)
        return r.fail(TARGET_FAILED, flash[0].address, "the algorithm has no Verify and no checksum routine is loaded");
    phase_clock clock(obs, sum, PHASE_VERIFY, total);
    int rc = algo ? r.init(FNC_VERIFY) : TARGET_OK;
    if (rc == TARGET_OK)
        rc = algo ? verify_by_algo(r, flash, obs, &done, clock) : verify_by_checksum(r, flash, &done, clock);
    if (rc == TARGET_OK && algo)
        rc = r.uninit(FNC_VERIFY);
    sum->bytes_verified += done;
    return rc;
}

static int verify_ram(flash_runner &r, const std::vector<image_extent> &ram)
{
    r.set_phase(PHASE_VERIFY);
    for (const image_extent &e : ram) {
        std::vector<uint8_t> now;
        int rc = memory_read(r.target(), e.address, static_cast<uint32_t>(e.bytes.size()), &now);
        if (rc != TARGET_OK)
            return r.fail(rc, e.address, "reading back failed");
        if (now != e.bytes)
            return first_difference(r, e.address, e.bytes);
    }
    return TARGET_OK;
}

static int write_ram(flash_runner &r, const std::vector<image_extent> &ram)
{
    r.set_phase(PHASE_PROGRAM);
    for (const image_extent &e : ram) {
        int rc = memory_write(r.target(), e.address, e.bytes.data(), static_cast<uint32_t>(e.bytes.size()));
        if (rc != TARGET_OK)
            return r.fail(rc, e.address, "writing RAM failed");
    }
    return TARGET_OK;
}

// ---- the operations -------------------------------------------------------------------

// A whole-flash erase programs the image into a flash that is otherwise
// empty: the plan covers every sector.
static std::vector<image_extent> whole_flash(const tarvex_images::flash_device_desc &d,
                                             const std::vector<image_extent> &flash)
{
    image_extent all{d.address, std::vector<uint8_t>(d.size, d.empty)};
    for (const image_extent &e : flash)
        std::copy(e.bytes.begin(), e.bytes.end(), all.bytes.begin() + (e.address - d.address));
    return {all};
}

// What verification after programming covers: the image's parts in the
// sectors that were erased and programmed, adjacent ones joined. The
// sectors left alone were found equal to the image by the checksum in this
// same operation, and nothing has written them since: they count as
// verified without sending their bytes again.
static std::vector<image_extent> programmed_parts(const std::vector<sector_plan> &sectors, flash_summary *sum)
{
    std::vector<image_extent> parts;
    for (const sector_plan &s : sectors)
        for (const image_extent &p : s.parts) {
            if (s.skip)
                sum->bytes_verified += p.bytes.size();
            else if (!parts.empty() && parts.back().address + parts.back().bytes.size() == p.address)
                parts.back().bytes.insert(parts.back().bytes.end(), p.bytes.begin(), p.bytes.end());
            else
                parts.push_back(p);
        }
    return parts;
}

static image_extent piece_of(const image_extent &e, uint64_t from, uint64_t to)
{
    auto at = e.bytes.begin() + static_cast<std::ptrdiff_t>(from - e.address);
    return {static_cast<uint32_t>(from), std::vector<uint8_t>(at, at + static_cast<std::ptrdiff_t>(to - from))};
}

// The pieces of parts that no run holds: pages of the image that were
// erased and needed no programming, which Verify has not seen yet. The
// runs are in increasing order.
static std::vector<image_extent> outside_runs(const std::vector<image_extent> &parts, const std::vector<chunk> &runs)
{
    std::vector<image_extent> rest;
    for (const image_extent &p : parts) {
        uint64_t at = p.address, end = at + p.bytes.size();
        for (const chunk &c : runs) {
            uint64_t from = c.address, to = from + c.bytes.size();
            if (to <= at || from >= end)
                continue;
            if (from > at)
                rest.push_back(piece_of(p, at, from));
            at = to;
        }
        if (at < end)
            rest.push_back(piece_of(p, at, end));
    }
    return rest;
}

// What a cancel left: nothing changed before the erase; erased sectors not
// yet programmed after it; all of the image in the verify phase.
static std::string cancelled_state(flash_phase phase, const std::vector<sector_plan> &sectors, uint32_t programmed_to)
{
    if (phase == PHASE_PREPARE)
        return "nothing was erased: the flash is as it was";
    if (phase == PHASE_VERIFY)
        return "the image is programmed, not all of it verified";
    return left_erased(sectors, programmed_to);
}

static int program_flash(flash_runner &r, const image_split &parts, const flash_options &opt, flash_observer *obs,
                         flash_summary *sum)
{
    const tarvex_images::flash_device_desc &d = r.algo().device;
    std::vector<sector_plan> sectors = plan_sectors(d, opt.chip_erase ? whole_flash(d, parts.flash) : parts.flash);
    uint32_t programmed_to = 0;
    int rc = r.place(PHASE_PREPARE);
    if (rc == TARGET_OK)
        rc = prepare_sectors(r, sectors, opt.chip_erase, sum);
    if (rc == TARGET_OK && stop_asked(obs))
        rc = TARGET_CANCELLED;
    if (rc == TARGET_OK)
        rc = erase_sectors(r, sectors, opt.chip_erase, obs, sum);
    // The algorithm's Verify runs on each buffer as it is programmed; what
    // is left for the verify phase is what was not programmed, or all of
    // it by checksum when the algorithm has no Verify.
    // A sector's content is only filled in once the steps before have
    // worked.
    bool in_program = opt.verify && r.algo().verify != tarvex_images::ALGO_ABSENT;
    std::vector<chunk> runs;
    if (rc == TARGET_OK) {
        runs = runs_of(sectors, d.page_size, r.layout().buffer_size, d.empty);
        rc = program_pages(r, runs, in_program, obs, sum, &programmed_to);
    }
    if (rc == TARGET_OK && opt.verify) {
        std::vector<image_extent> check = opt.chip_erase ? parts.flash : programmed_parts(sectors, sum);
        rc = verify_flash(r, in_program ? outside_runs(check, runs) : check, obs, sum);
    }
    if (rc == TARGET_CANCELLED)
        rc = stop_cancelled(r, cancelled_state(r.phase(), sectors, programmed_to));
    return rc;
}

int flash_program(link &l, const flash_setup &setup, const std::vector<image_extent> &image, const flash_options &opt,
                  flash_observer *obs, flash_summary *sum, flash_error *err)
{
    image_split parts;
    int rc = split_image(setup, image, &parts, err);
    if (rc != TARGET_OK)
        return rc;
    flash_runner r(l, setup, err);
    rc = program_flash(r, parts, opt, obs, sum);
    if (rc == TARGET_OK)
        rc = write_ram(r, parts.ram);
    if (rc == TARGET_OK && opt.verify)
        rc = verify_ram(r, parts.ram);
    if (rc == TARGET_OK && (rc = reset(l, opt.halt_after)) != TARGET_OK)
        rc = r.fail(rc, 0, "the reset after programming failed");
    return rc;
}

int flash_erase(link &l, const flash_setup &setup, uint32_t addr, uint32_t len, flash_observer *obs, flash_summary *sum,
                flash_error *err)
{
    const tarvex_images::flash_device_desc &d = setup.algo.device;
    bool whole = len == 0;
    if (!whole && !inside(addr, len, d.address, d.size)) {
        err->phase = PHASE_PREPARE;
        err->address = addr;
        err->outside = true;
        err->cause =
            "the range lies outside the flash (" + hex32(d.address) + ", " + std::to_string(d.size) + " bytes)";
        return TARGET_FAILED;
    }
    flash_runner r(l, setup, err);
    std::vector<image_extent> range = {{whole ? d.address : addr, std::vector<uint8_t>(whole ? d.size : len)}};
    std::vector<sector_plan> sectors = plan_sectors(d, range);
    int rc = r.place(PHASE_PREPARE);
    if (rc == TARGET_OK)
        rc = erase_sectors(r, sectors, whole, obs, sum);
    if (rc == TARGET_CANCELLED)
        rc = stop_cancelled(r, left_erased(sectors, 0) + "; the rest of the range is as it was");
    return rc;
}

int flash_verify(link &l, const flash_setup &setup, const std::vector<image_extent> &image, flash_observer *obs,
                 flash_summary *sum, flash_error *err)
{
    image_split parts;
    int rc = split_image(setup, image, &parts, err);
    if (rc != TARGET_OK)
        return rc;
    flash_runner r(l, setup, err);
    // RAM parts first: the algorithm's own RAM may overlap them.
    rc = verify_ram(r, parts.ram);
    if (rc == TARGET_OK)
        rc = r.place(PHASE_VERIFY);
    if (rc == TARGET_OK)
        rc = verify_flash(r, parts.flash, obs, sum);
    if (rc == TARGET_CANCELLED)
        rc = stop_cancelled(r, "nothing was changed");
    return rc;
}

} // namespace tarvex_flash
