// A small HTTP/1.1 client for the tests of the server's HTTP side: one
// request per connection over loopback, the whole answer read until the
// server closes or its Content-Length has come.
#pragma once

#include <cstdint>
#include <string>

namespace tarvex_test
{

struct http_reply {
    int status = 0; // 0: no status line came
    std::string headers;
    std::string body;
};

// Sends `request` as it is (from `source`, a loopback address to bind, when
// not empty) and reads the answer. 0 when the connection was made and
// closed, or a whole answer came, within timeout_ms.
int http_exchange(uint16_t port, const std::string &request, http_reply *reply, int timeout_ms = 20000,
                  const std::string &source = "");
// GET path; 0 with a whole answer.
int http_get(uint16_t port, const std::string &path, http_reply *reply, int timeout_ms = 20000);
// Any method, with a JSON body when `body` is not empty (WebDriver's requests).
int http_request(uint16_t port, const std::string &method, const std::string &path, const std::string &body,
                 http_reply *reply, int timeout_ms = 60000);
// A connected socket to 127.0.0.1:port, or -1; the caller closes it.
int http_connect(uint16_t port, const std::string &source = "");

// The value of the sample `series` (name with its labels, as the server
// writes them) in a metrics exposition; -1 when there is no such line.
double metric_value(const std::string &exposition, const std::string &series);

} // namespace tarvex_test
