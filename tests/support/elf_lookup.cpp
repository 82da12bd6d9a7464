#include "elf_lookup.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tarvex_test
{

namespace
{

// Standard output of a shell command line.
std::string output_of(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string quoted(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

uint32_t hex_number(const std::string &text)
{
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
}

struct chunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// One row of `objdump -s`: " ADDR HEXWORD HEXWORD ...  ASCII". The hex
// columns end at the first double space.
bool parse_dump_row(const std::string &line, chunk *row)
{
    std::istringstream fields(line);
    std::string addr;
    if (line.size() < 2 || line[0] != ' ' || !(fields >> addr))
        return false;
    size_t start = line.find(addr) + addr.size() + 1;
    size_t end = line.find("  ", start);
    std::string hex;
    for (char c : line.substr(start, end == std::string::npos ? std::string::npos : end - start))
        if (c != ' ')
            hex += c;
    row->address = hex_number(addr);
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        row->bytes.push_back(static_cast<uint8_t>(hex_number(hex.substr(i, 2))));
    return true;
}

// "-j NAME" for every section that occupies memory at run time (debug
// sections start at 0 too). `objdump -h` prints a row per section, then a
// row with its flags.
std::string loaded_sections(const std::string &path)
{
    std::istringstream lines(output_of("arm-none-eabi-objdump -h " + quoted(path)));
    std::string line, name, options;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string index, section;
        if (fields >> index >> section && section[0] == '.' &&
            index.find_first_not_of("0123456789") == std::string::npos)
            name = section;
        else if (!name.empty() && line.find("ALLOC") != std::string::npos && line.find("LOAD") != std::string::npos)
            options += " -j " + name;
        else
            name.clear();
    }
    return options;
}

} // namespace

elf_symbol elf_symbol_of(const std::string &path, const std::string &name)
{
    std::istringstream lines(output_of("arm-none-eabi-nm -S " + quoted(path)));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        if (f.size() < 3 || f.back() != name)
            continue;
        uint32_t size = f.size() == 4 ? hex_number(f[1]) : 0;
        bool code = f[f.size() - 2] == "T" || f[f.size() - 2] == "t";
        return {true, hex_number(f[0]) & (code ? ~1u : ~0u), size};
    }
    return {false, 0, 0};
}

std::vector<uint8_t> elf_bytes(const std::string &path, uint32_t address, uint32_t len)
{
    std::istringstream lines(output_of("arm-none-eabi-objdump -s" + loaded_sections(path) + " " + quoted(path)));
    std::vector<uint8_t> out(len);
    std::vector<bool> seen(len, false);
    std::string line;
    bool in_section = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Contents of section ", 0) == 0) {
            in_section = true;
            continue;
        }
        chunk row;
        if (!in_section || !parse_dump_row(line, &row))
            continue;
        for (size_t i = 0; i < row.bytes.size(); i++) {
            uint64_t at = uint64_t{row.address} + i;
            if (at >= address && at < uint64_t{address} + len) {
                out[at - address] = row.bytes[i];
                seen[at - address] = true;
            }
        }
    }
    for (bool b : seen)
        if (!b)
            return {};
    return out;
}

uint32_t elf_next_instruction(const std::string &path, uint32_t address)
{
    char range[96];
    snprintf(range, sizeof range, " --start-address=0x%x --stop-address=0x%x ", address, address + 8);
    std::istringstream lines(output_of("arm-none-eabi-objdump -d" + std::string(range) + quoted(path)));
    std::string line;
    while (std::getline(lines, line)) {
        // Instruction rows: "  ADDR:\tENCODING \tMNEMONIC ..."
        size_t colon = line.find(":\t");
        if (colon == std::string::npos)
            continue;
        uint32_t at = hex_number(line.substr(0, colon));
        if (at > address)
            return at;
    }
    return 0;
}

} // namespace tarvex_test
