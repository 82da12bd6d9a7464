// A Prometheus server (Debian's prometheus) of a test or a benchmark of its
// own: it scrapes one target every interval, keeps its storage in a scratch
// directory, and is killed (and its directory removed) when destroyed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tarvex_test
{

struct prometheus_process {
    uint16_t port = 0;
    pid_t pid = -1;
    std::string dir;

    prometheus_process() = default;
    prometheus_process(const prometheus_process &) = delete;
    prometheus_process &operator=(const prometheus_process &) = delete;
    ~prometheus_process();
    // Scrapes 127.0.0.1:target_port/metrics every interval ("100ms"). 0, or
    // -1 when it cannot be started; it answers queries a moment later.
    int start(uint16_t target_port, const std::string &interval = "100ms");
    // An instant query through the HTTP API: the value of its first series,
    // or -1 when it has none (or Prometheus does not answer yet).
    double query(const std::string &expression);
    // Waits until the expression's value is `value`: Prometheus has scraped
    // what the caller caused. False after timeout_ms.
    bool sees(const std::string &expression, double value, int timeout_ms = 60000);
};

} // namespace tarvex_test
