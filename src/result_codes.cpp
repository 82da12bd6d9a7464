#include "result_codes.h"

#include <cstdio>

namespace
{
struct named_code {
    int code;
    const char *name;
};

constexpr named_code names[] = {
    {ERROR_OK, "ERROR_OK"},
    {ERROR_ALIGNMENT, "ERROR_ALIGNMENT"},
    {ERROR_FAIL, "ERROR_FAIL"},
    {ERROR_WAIT, "ERROR_WAIT"},
    {ERROR_PROBE_HELD, "ERROR_PROBE_HELD"},
    {ERROR_NOT_PERMITTED, "ERROR_NOT_PERMITTED"},
    {ERROR_NO_USB, "ERROR_NO_USB"},
};
} // namespace

const char *result_name(int code)
{
    for (const named_code &n : names)
        if (n.code == code)
            return n.name;
    thread_local char other[24];
    snprintf(other, sizeof(other), "result %d", code);
    return other;
}
