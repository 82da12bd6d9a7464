#include "gdb_flash.h"

#include <algorithm>
#include <cstdio>

#include "gdb_packets.h"
#include "gdb_session.h"
#include "tarvex_log.h"
#include "target_hold.h"

namespace tarvex_gdb
{

using namespace tarvex_target;
using namespace tarvex_flash;

// vFlashDone waits this long behind another client's hold.
constexpr int HOLD_WAIT_S = 30;

static gdb_flash &state(gdb_session &s)
{
    gdb_flash &f = s.flash();
    if (!f.looked) {
        f.looked = true;
        f.source = s.config().flash_source;
        std::string why;
        f.usable = flash_setup_load(s.link(), f.source, &f.setup, &why) == 0;
        f.setup.ram_base = s.config().ram.base;
        f.setup.ram_size = s.config().ram.size;
        if (f.usable && !f.setup.warning.empty())
            LOG_WARNING("%s", f.setup.warning.c_str());
        if (f.usable)
            LOG_INFO("flash algorithm: %s", f.setup.algo.device.name.c_str());
        else
            LOG_INFO("flash stays read-only for GDB: %s", why.c_str());
    }
    return f;
}

std::string flash_regions(gdb_session &s)
{
    gdb_flash &f = state(s);
    if (!f.usable)
        return "";
    const tarvex_images::flash_device_desc &d = f.setup.algo.device;
    std::string xml;
    for (size_t i = 0; i < d.sectors.size(); i++) {
        uint32_t from = d.sectors[i].offset;
        uint32_t to = i + 1 < d.sectors.size() ? d.sectors[i + 1].offset : d.size;
        char text[160];
        snprintf(text, sizeof(text),
                 "<memory type=\"flash\" start=\"0x%x\" length=\"0x%x\">"
                 "<property name=\"blocksize\">0x%x</property></memory>\n",
                 d.address + from, to - from, d.sectors[i].size);
        xml += text;
    }
    return xml;
}

memory_region flash_extent(gdb_session &s)
{
    gdb_flash &f = state(s);
    if (!f.usable)
        return s.config().flash;
    return {f.setup.algo.device.address, f.setup.algo.device.size};
}

static bool in_flash(const gdb_flash &f, uint32_t addr, uint32_t len)
{
    const tarvex_images::flash_device_desc &d = f.setup.algo.device;
    return f.usable && addr >= d.address &&
           static_cast<uint64_t>(addr) + len <= static_cast<uint64_t>(d.address) + d.size;
}

// "vFlashErase:ADDR,LENGTH": the range becomes erased bytes in the image
// that vFlashDone programs.
int flash_erase_packet(gdb_session &s, const std::string &body, std::string *reply)
{
    gdb_flash &f = state(s);
    size_t pos = sizeof("vFlashErase:") - 1;
    uint32_t addr = 0, len = 0;
    if (!parse_hex_field(body, &pos, &addr) || pos >= body.size() || body[pos++] != ',' ||
        !parse_hex_field(body, &pos, &len) || pos != body.size() || !in_flash(f, addr, len)) {
        *reply = "E16";
        return PACKET_REPLY;
    }
    f.pending.push_back({addr, std::vector<uint8_t>(len, f.setup.algo.device.empty)});
    s.forget_flash();
    *reply = "OK";
    return PACKET_REPLY;
}

// "vFlashWrite:ADDR:DATA": into the erased range that holds it, or a range
// of its own.
int flash_write_packet(gdb_session &s, const std::string &body, std::string *reply)
{
    gdb_flash &f = state(s);
    size_t pos = sizeof("vFlashWrite:") - 1;
    uint32_t addr = 0;
    std::vector<uint8_t> data;
    if (!parse_hex_field(body, &pos, &addr) || pos >= body.size() || body[pos] != ':' ||
        !rsp_unescape(body, pos + 1, &data) || !in_flash(f, addr, static_cast<uint32_t>(data.size()))) {
        *reply = "E16";
        return PACKET_REPLY;
    }
    auto holder = std::find_if(f.pending.begin(), f.pending.end(), [&](const tarvex_images::image_extent &e) {
        return addr >= e.address && addr + data.size() <= e.address + e.bytes.size();
    });
    if (holder != f.pending.end())
        std::copy(data.begin(), data.end(), holder->bytes.begin() + (addr - holder->address));
    else
        f.pending.push_back({addr, data});
    *reply = "OK";
    return PACKET_REPLY;
}

// Programs what the erases and writes gathered, under the probe's hold;
// the core stays halted at the reset vector, as GDB expects after a load.
int flash_done_packet(gdb_session &s, const std::string &, std::string *reply)
{
    gdb_flash &f = state(s);
    std::vector<tarvex_images::image_extent> image;
    image.swap(f.pending);
    std::string why;
    flash_error err;
    flash_summary sum;
    flash_options opt;
    opt.halt_after = true;
    int rc = tarvex_images::image_normalize(image, &why) == 0 ? TARGET_OK : TARGET_FAILED;
    if (rc != TARGET_OK)
        err.cause = why;
    else if ((rc = hold_take(s.link(), HOLD_WAIT_S, nullptr, &why)) != TARGET_OK)
        err.cause = why;
    if (rc == TARGET_OK) {
        rc = flash_program(s.link(), f.setup, image, opt, nullptr, &sum, &err);
        hold_release(s.link());
        // The algorithm ran on the core: every register GDB saw is gone,
        // and flash holds what it programmed (or part of it).
        s.forget_registers();
        s.forget_flash();
    }
    if (rc != TARGET_OK) {
        LOG_ERROR("flash load failed in the %s phase at 0x%08x: %s", flash_phase_name(err.phase), err.address,
                  err.cause.c_str());
        *reply = "E05";
        return PACKET_REPLY;
    }
    LOG_INFO("flash load: %u sectors erased, %u unchanged, %llu bytes programmed", sum.sectors_erased,
             sum.sectors_skipped, static_cast<unsigned long long>(sum.bytes_programmed));
    *reply = "OK";
    return PACKET_REPLY;
}

} // namespace tarvex_gdb
