#include "prometheus_process.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "http_client.h"
#include "server_process.h"

namespace tarvex_test
{

int prometheus_process::start(uint16_t target_port, const std::string &interval)
{
    dir = scratch_path("prometheus", std::to_string(target_port));
    mkdir(dir.c_str(), 0700);
    write_file(dir + "/prometheus.yml", "global:\n  scrape_interval: " + interval + "\n  scrape_timeout: " + interval +
                                            "\nscrape_configs:\n  - job_name: tarvex\n    static_configs:\n"
                                            "      - targets: ['127.0.0.1:" +
                                            std::to_string(target_port) + "']\n");
    port = free_port();
    pid = spawn_program({"/usr/bin/prometheus", "--config.file=" + dir + "/prometheus.yml",
                         "--storage.tsdb.path=" + dir + "/data",
                         "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                        dir + "/stdout", dir + "/stderr");
    return pid > 0 ? 0 : -1;
}

prometheus_process::~prometheus_process()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::string out, err;
    if (!dir.empty())
        run_to_end({"/bin/rm", "-rf", dir}, &out, &err);
}

double prometheus_process::query(const std::string &expression)
{
    std::string encoded;
    for (unsigned char ch : expression) {
        char hex[4];
        snprintf(hex, sizeof(hex), "%%%02X", ch);
        encoded += isalnum(ch) ? std::string(1, static_cast<char>(ch)) : std::string(hex);
    }
    http_reply reply;
    if (http_get(port, "/api/v1/query?query=" + encoded, &reply) != 0 || reply.status != 200)
        return -1;
    nlohmann::json doc = nlohmann::json::parse(reply.body, nullptr, false);
    if (doc.is_discarded() || doc["data"]["result"].empty())
        return -1;
    return std::stod(doc["data"]["result"][0]["value"][1].get<std::string>());
}

bool prometheus_process::sees(const std::string &expression, double value, int timeout_ms)
{
    return eventually([&] { return query(expression) == value; }, timeout_ms);
}

} // namespace tarvex_test
