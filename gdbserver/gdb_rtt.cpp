#include "gdb_rtt.h"

#include <cstdio>

#include "gdb_session.h"
#include "tarvex_address.h"

namespace tarvex_gdb
{

using namespace tarvex_target;

// Console output goes to GDB in pieces of this many bytes (twice as many
// hexadecimal digits in the packet).
constexpr size_t CONSOLE_PIECE = 1024;

static const char USAGE[] = "usage: monitor rtt start [ADDR | scan BASE LEN] | stop | status\n";

static std::string hex32(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

// The session's RAM when it holds the range, else the SRAM region.
static rtt_place place_in(const gdb_session &s, uint32_t address)
{
    rtt_place place;
    memory_region ram = s.config().ram;
    if (address == 0 || (address >= ram.base && address - ram.base < ram.size)) {
        place.ram_base = ram.base;
        place.ram_size = ram.size;
    }
    place.address = address;
    return place;
}

static bool number(const std::string &text, uint64_t max, uint32_t *value)
{
    uint64_t n = 0;
    if (!tarvex::parse_number(text, max, &n))
        return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

// words: "rtt" "start" [ADDR | "scan" BASE LEN]
static bool place_words(const gdb_session &s, const std::vector<std::string> &words, rtt_place *place)
{
    uint32_t address = 0, base = 0, size = 0;
    if (words.size() == 2) {
        *place = place_in(s, 0);
        return true;
    }
    if (words.size() == 3 && number(words[2], 0xFFFFFFFCu, &address) && address != 0) {
        *place = place_in(s, address);
        return true;
    }
    if (words.size() != 5 || words[2] != "scan" || !number(words[3], 0xFFFFFFFFu, &base) ||
        !number(words[4], 0x100000000ull - base, &size) || size < 24)
        return false;
    place->ram_base = base;
    place->ram_size = size;
    place->address = 0;
    return true;
}

static std::string rtt_start(gdb_session &s, gdb_rtt &r, const std::vector<std::string> &words)
{
    rtt_place place;
    if (!place_words(s, words, &place))
        return USAGE;
    int rc = r.access.start(0, place);
    if (rc != TARGET_OK)
        return "error: the server refused RTT capture (result " + std::to_string(r.access.result()) + ")\n";
    if (r.reader == nullptr) {
        r.reader = std::make_unique<rtt_reader>(r.access, std::vector<int>{0}, false);
        r.reader->skip_to_end();
    }
    std::string where = place.address != 0
                            ? "the block at " + hex32(place.address)
                            : "scanning " + hex32(place.ram_base) + "-" + hex32(place.ram_base + place.ram_size - 1);
    return "RTT capture started: " + where + "; channel 0 shows while the core runs\n";
}

static std::string rtt_stop(gdb_rtt &r)
{
    bool wanted = r.reader != nullptr;
    rtt_release(r);
    return wanted ? "RTT capture stopped for this session (other readers' goes on)\n"
                  : "RTT capture was not started in this session\n";
}

static std::string channel_text(const char *dir, const tarvex::rtt_channel_status &ch, const char *first,
                                const char *second)
{
    char text[192];
    snprintf(text, sizeof(text), "%s %d \"%s\": %u bytes, %s; %llu %s, %llu %s\n", dir, ch.index, ch.name.c_str(),
             ch.size, tarvex::rtt_mode_name(ch.mode), static_cast<unsigned long long>(ch.first), first,
             static_cast<unsigned long long>(ch.second), second);
    return text;
}

std::string rtt_status_text(const tarvex::rtt_status_record &st)
{
    char text[192];
    snprintf(text, sizeof(text), "RTT %s, block at 0x%08x (%u found), %llu polls, %llu looks\n",
             tarvex::rtt_state_name(st.state), st.address, st.blocks, static_cast<unsigned long long>(st.polls),
             static_cast<unsigned long long>(st.looks));
    std::string out = text;
    if (!st.refused.empty())
        out += "refused: " + st.refused + "\n";
    for (const tarvex::rtt_channel_status &ch : st.up)
        out += channel_text("up", ch, "captured", "lost");
    for (const tarvex::rtt_channel_status &ch : st.down)
        out += channel_text("down", ch, "queued", "written");
    return out;
}

static std::string rtt_status(gdb_rtt &r)
{
    tarvex::rtt_status_record st;
    int rc = r.access.status(&st);
    if (rc == TARGET_LOST)
        return "error: no reply from tarvex-server\n";
    // The server answers a stopped capture's status with its lines, state
    // "stopped", or (a server that never captured) with the result.
    bool stopped =
        rc == TARGET_OK ? st.state == tarvex::RTT_STOPPED : r.access.result() == tarvex_wire::RESULT_RTT_STOPPED;
    if (stopped)
        return "RTT capture is stopped: no client wants it (monitor rtt start)\n";
    if (rc != TARGET_OK)
        return "error: the server gives no RTT status (result " + std::to_string(r.access.result()) + ")\n";
    return rtt_status_text(st);
}

std::string rtt_monitor(gdb_session &s, gdb_rtt &r, const std::vector<std::string> &words)
{
    std::string verb = words.size() >= 2 ? words[1] : "";
    if (verb == "start")
        return rtt_start(s, r, words);
    if (verb == "stop" && words.size() == 2)
        return rtt_stop(r);
    if (verb == "status" && words.size() == 2)
        return rtt_status(r);
    return USAGE;
}

void rtt_forward(gdb_session &s, gdb_rtt &r)
{
    if (r.reader == nullptr)
        return;
    std::vector<rtt_output> out;
    r.reader->step(0, &out);
    for (const rtt_output &o : out) {
        std::string text(o.data.begin(), o.data.end());
        if (o.lost > 0)
            text = "[rtt: " + std::to_string(o.lost) + " bytes lost]\n" + text;
        for (size_t at = 0; at < text.size(); at += CONSOLE_PIECE)
            s.console(text.substr(at, CONSOLE_PIECE));
    }
}

void rtt_release(gdb_rtt &r)
{
    if (r.reader == nullptr)
        return;
    r.reader.reset();
    r.access.stop();
}

} // namespace tarvex_gdb
