// Arbitrary text into the tokeniser and the number parsers.
#include <cstdint>
#include <cstring>
#include <string>

#include "tarvex_tcp_cmd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str(); // up to the first NUL, as a received request is read
    char tokens[TARVEX_TCP_TOKEN_SLOTS][TARVEX_TCP_TOKEN_SIZE];
    memset(tokens, 0x7F, sizeof(tokens));
    int count = tcp_cmd_tokenize(text.c_str(), tokens);
    if (count > TARVEX_TCP_TOKEN_SLOTS)
        __builtin_trap();
    for (int i = 0; i < count; i++) {
        size_t len = strnlen(tokens[i], TARVEX_TCP_TOKEN_SIZE);
        if (len == 0 || len >= TARVEX_TCP_TOKEN_SIZE || strchr(tokens[i], ' ') != nullptr)
            __builtin_trap(); // tokens are non-empty, terminated, and hold no separator
        int32_t dec = 0;
        uint32_t hex = 0;
        tcp_cmd_parse_dec(tokens[i], &dec);
        tcp_cmd_parse_hex(tokens[i], &hex);
    }
    tcp_cmd_find_keyword(text.c_str());
    return 0;
}
