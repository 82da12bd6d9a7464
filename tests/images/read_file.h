// Whole files for the readers' tests.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace images_test
{

inline std::vector<uint8_t> file_bytes(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> bytes_of(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Position of the first occurrence of text in bytes, or npos.
inline size_t find_text(const std::vector<uint8_t> &bytes, const std::string &text)
{
    std::string all(bytes.begin(), bytes.end());
    return all.find(text);
}

} // namespace images_test
