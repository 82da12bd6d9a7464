#include "bkpt_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tarvex_log.h"
#include "rsp_framing.h"
#include "target.h"

namespace tarvex_gdb
{

using namespace tarvex_target;

constexpr const char *HEADER = "tarvex-gdbserver BKPT record 1";
// The neighbourhood kept of each BKPT: the aligned block around it, within
// RAM. Code loaded anew differs within a few instructions of any spot.
constexpr uint32_t AROUND = 16;
constexpr size_t MOST_RECORDED = 256;

static std::string hex32(uint32_t v)
{
    char text[12];
    snprintf(text, sizeof(text), "%08x", v);
    return text;
}

std::string planted_text(const std::vector<planted_bkpt> &list)
{
    std::string text = std::string(HEADER) + "\n";
    for (const planted_bkpt &p : list)
        text += hex32(p.addr) + " " + hex_encode(p.original, 2) + " " + hex32(p.around_base) + " " +
                hex_encode(p.around.data(), p.around.size()) + "\n";
    return text;
}

// Exactly `digits` hex digits.
static bool hex_field(const std::string &field, size_t digits, uint32_t *value)
{
    if (field.size() != digits || field.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = static_cast<uint32_t>(strtoul(field.c_str(), nullptr, 16));
    return true;
}

static bool parse_line(const std::string &line, planted_bkpt *p)
{
    std::istringstream in(line);
    std::string addr, original, base, around, extra;
    std::vector<uint8_t> half;
    if (!(in >> addr >> original >> base >> around) || (in >> extra) || !hex_field(addr, 8, &p->addr) ||
        !hex_field(base, 8, &p->around_base) || original.size() != 4 || !hex_decode(original, &half) ||
        around.size() > 2 * AROUND || !hex_decode(around, &p->around))
        return false;
    std::copy(half.begin(), half.end(), p->original);
    uint64_t end = static_cast<uint64_t>(p->around_base) + p->around.size();
    return p->addr % 2 == 0 && p->addr >= p->around_base && p->addr + 2ull <= end && end <= 0x100000000ull;
}

bool planted_parse(const std::string &text, std::vector<planted_bkpt> *list)
{
    std::istringstream in(text);
    std::string line;
    list->clear();
    if (!std::getline(in, line) || line != HEADER)
        return false;
    while (std::getline(in, line)) {
        planted_bkpt p;
        if (list->size() == MOST_RECORDED || !parse_line(line, &p))
            return false;
        list->push_back(p);
    }
    return true;
}

static std::string file_name(const std::string &serial)
{
    std::string name = serial;
    for (char &c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            c = '_';
    return name + ".bkpt";
}

static std::string state_dir()
{
    const char *state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return state;
    const char *home = getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state" : "";
}

std::string planted_path(const std::string &serial)
{
    std::string dir = state_dir();
    if (dir.empty() || serial.empty())
        return "";
    return dir + "/tarvex-gdbserver/" + file_name(serial);
}

// ---- the session's record -----------------------------------------------------

// Each directory of the path up to the file's, as the XDG base directory
// rules ask: owner only.
static int make_dirs(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST)
            return -1;
    return 0;
}

void bkpt_record::save()
{
    std::vector<planted_bkpt> all = left_;
    all.insert(all.end(), own_.begin(), own_.end());
    if (all.empty()) {
        unlink(path_.c_str());
        return;
    }
    std::string next = path_ + ".new";
    std::ofstream out;
    if (make_dirs(path_) == 0)
        out.open(next, std::ios::trunc);
    out << planted_text(all);
    out.close();
    if (!out || rename(next.c_str(), path_.c_str()) != 0)
        LOG_WARNING("cannot keep the record of BKPT instructions in RAM in %s: %s", path_.c_str(), strerror(errno));
}

static bool in_halfword(uint32_t a, uint32_t addr)
{
    return a - addr < 2;
}

// The neighbourhood as it was left, except at the BKPTs of the record
// other than this one: those may be in place or taken out already.
static bool left_as_recorded(const planted_bkpt &p, const std::vector<planted_bkpt> &all,
                             const std::vector<uint8_t> &now)
{
    for (size_t i = 0; i < now.size(); i++) {
        uint32_t a = p.around_base + static_cast<uint32_t>(i);
        bool other = std::any_of(all.begin(), all.end(),
                                 [&](const planted_bkpt &o) { return o.addr != p.addr && in_halfword(a, o.addr); });
        if (!other && now[i] != p.around[i])
            return false;
    }
    return true;
}

// 0 when every BKPT of the list was dealt with; -1 when the probe failed,
// the ones not dealt with kept for the next session.
int bkpt_record::take_out(tarvex_target::link &l, const std::vector<planted_bkpt> &left)
{
    int taken = 0;
    for (size_t n = 0; n < left.size(); n++) {
        const planted_bkpt &p = left[n];
        std::vector<uint8_t> now;
        int rc = memory_read(l, p.around_base, static_cast<uint32_t>(p.around.size()), &now);
        uint32_t at = p.addr - p.around_base;
        if (rc == TARGET_OK && left_as_recorded(p, left, now)) {
            rc = memory_write(l, p.addr, p.original, 2);
            taken += rc == TARGET_OK;
        } else if (rc == TARGET_OK && (now[at] != p.original[0] || now[at + 1] != p.original[1])) {
            LOG_WARNING("left a BKPT of an earlier session at 0x%08x in place: the RAM around it changed since "
                        "(the instruction it replaced was 0x%02x%02x)",
                        p.addr, p.original[1], p.original[0]);
        }
        if (rc != TARGET_OK) {
            left_.assign(left.begin() + static_cast<long>(n), left.end());
            return -1;
        }
    }
    if (taken > 0)
        LOG_INFO("took out %d BKPT instruction%s an earlier session left in RAM (its front end was killed?)", taken,
                 taken == 1 ? "" : "s");
    return 0;
}

void bkpt_record::start(tarvex_target::link &l, const std::string &serial)
{
    path_ = planted_path(serial);
    std::ifstream in(path_);
    if (path_.empty() || !in)
        return;
    std::stringstream text;
    text << in.rdbuf();
    std::vector<planted_bkpt> left;
    if (!planted_parse(text.str(), &left))
        LOG_WARNING("%s is no record of BKPT instructions; it is ignored and removed", path_.c_str());
    else if (take_out(l, left) != 0)
        LOG_WARNING("the BKPT instructions an earlier session left in RAM could not be checked; they are kept in %s",
                    path_.c_str());
    save();
}

// GDB takes its breakpoints out at each stop and puts them back at each
// resume: a neighbourhood read once is kept for the next time, and kept
// current with GDB's writes. (Another client's write in between makes it
// stale; the next session then leaves that BKPT in place, the safe side.)
static planted_bkpt *find_at(std::vector<planted_bkpt> &list, uint32_t addr)
{
    auto it = std::find_if(list.begin(), list.end(), [&](const planted_bkpt &p) { return p.addr == addr; });
    return it == list.end() ? nullptr : &*it;
}

constexpr size_t MOST_KNOWN = 64;

void bkpt_record::breakpoints_changed(tarvex_target::link &l, const debug_units &u)
{
    if (path_.empty())
        return;
    auto planted = [&](const planted_bkpt &p) {
        return std::any_of(u.soft.begin(), u.soft.end(), [&](const soft_breakpoint &b) { return b.addr == p.addr; });
    };
    auto gone = std::stable_partition(own_.begin(), own_.end(), planted);
    bool changed = gone != own_.end();
    for (auto it = gone; it != own_.end(); ++it) {
        if (planted_bkpt *k = find_at(known_, it->addr))
            *k = *it;
        else if (known_.size() < MOST_KNOWN)
            known_.push_back(*it);
    }
    own_.erase(gone, own_.end());
    for (const soft_breakpoint &b : u.soft) {
        if (find_at(own_, b.addr) != nullptr)
            continue;
        planted_bkpt p;
        if (const planted_bkpt *k = find_at(known_, b.addr)) {
            p = *k;
        } else {
            // Read with the BKPT in place, as the next session will find
            // it. A front end killed between the BKPT's write and this
            // leaves it unrecorded, as before there was a record.
            p.addr = b.addr;
            p.around_base = std::max(b.addr & ~(AROUND - 1), u.ram_base);
            uint64_t end = std::min<uint64_t>((b.addr & ~(AROUND - 1)) + AROUND, uint64_t(u.ram_base) + u.ram_size);
            if (memory_read(l, p.around_base, static_cast<uint32_t>(end - p.around_base), &p.around) != TARGET_OK)
                continue;
        }
        std::copy(b.saved, b.saved + 2, p.original);
        own_.push_back(p);
        changed = true;
    }
    if (changed)
        save();
}

// GDB's write into a kept neighbourhood; under a BKPT, its own included
// when it is out now, it wrote the instruction the BKPT stands for
// (units_repatch), which is a BKPT again in RAM when planted.
static bool apply_write(planted_bkpt &p, const debug_units &u, uint32_t addr, const uint8_t *data, uint32_t len)
{
    bool changed = false;
    for (size_t i = 0; i < p.around.size(); i++) {
        uint32_t a = p.around_base + static_cast<uint32_t>(i);
        bool under_bkpt =
            in_halfword(a, p.addr) ||
            std::any_of(u.soft.begin(), u.soft.end(), [&](const soft_breakpoint &b) { return in_halfword(a, b.addr); });
        if (a - addr < len && !under_bkpt) {
            p.around[i] = data[a - addr];
            changed = true;
        }
    }
    for (const soft_breakpoint &b : u.soft)
        if (b.addr == p.addr && !std::equal(b.saved, b.saved + 2, p.original)) {
            std::copy(b.saved, b.saved + 2, p.original);
            changed = true;
        }
    return changed;
}

void bkpt_record::memory_written(const debug_units &u, uint32_t addr, const uint8_t *data, uint32_t len)
{
    bool changed = false;
    for (planted_bkpt &p : own_)
        changed |= apply_write(p, u, addr, data, len);
    for (planted_bkpt &p : known_)
        apply_write(p, u, addr, data, len);
    if (changed)
        save();
}

} // namespace tarvex_gdb
