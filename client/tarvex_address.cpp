#include "tarvex_address.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace tarvex
{

bool parse_number(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        return false;
    // Decimal unless 0x: an address copied with a leading zero ("010") is
    // not octal to the people typing it.
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char *end = nullptr;
    unsigned long long n = strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0)
        return false;
    unsigned long long unit = 1;
    if (*end == 'K' || *end == 'k')
        unit = 1024;
    else if (*end == 'M' || *end == 'm')
        unit = 1024 * 1024;
    if (unit != 1)
        end++;
    if (*end != '\0' || n > max / unit)
        return false;
    *value = n * unit;
    return true;
}

bool parse_port(const std::string &text, uint16_t *port)
{
    uint64_t n = 0;
    if (!parse_number(text, 65535, &n) || n == 0)
        return false;
    *port = static_cast<uint16_t>(n);
    return true;
}

int server_from_environment(server_address *a)
{
    const char *host = getenv("TARVEX_HOST");
    const char *port = getenv("TARVEX_PORT");
    if (host != nullptr && *host != '\0')
        a->host = host;
    if (port != nullptr && *port != '\0' && !parse_port(port, &a->port))
        return -1;
    return 0;
}

std::string hold_ticket_text(const hold_ticket &t)
{
    return t.serial + ":" + t.token;
}

int hold_from_environment(hold_ticket *t)
{
    const char *text = getenv(HOLD_VARIABLE);
    if (text == nullptr || *text == '\0')
        return 0;
    std::string value = text;
    size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return -1;
    t->serial = value.substr(0, colon);
    t->token = value.substr(colon + 1);
    if (t->token.empty())
        return -1;
    for (char c : t->token)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return -1;
    return 1;
}

} // namespace tarvex
