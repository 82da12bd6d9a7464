// The client library's reading of replies, against a peer that answers
// with canned bytes: a memory-read reply that lies about its length must
// fail the call, not size an allocation or return short data as whole.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tarvex_text.h"

namespace
{

// Accepts one connection on a loopback port, reads the request line, sends
// the canned reply and closes.
class canned_peer
{
public:
    explicit canned_peer(std::string reply) : reply_(std::move(reply))
    {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), len) == 0 && listen(listen_fd_, 1) == 0 &&
            getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~canned_peer()
    {
        shutdown(listen_fd_, SHUT_RDWR);
        thread_.join();
        close(listen_fd_);
    }
    uint16_t port() const { return port_; }

private:
    void serve()
    {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            return;
        char c = 0;
        while (recv(fd, &c, 1, 0) == 1 && c != '\n') {
        }
        send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        close(fd);
    }
    std::string reply_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

struct read_case {
    const char *name;
    std::string reply;
    int status;       // read_mem's return
    int result;       // the header's result, when status is 0
    std::string data; // the bytes returned, when status is 0
};

TEST(ClientReadMem, DecodesTheHeaderAndTrustsNoLengthBeyondTheRequest)
{
    // The request is 4 bytes (size 1, count 4).
    const read_case cases[] = {
        {"whole reply", std::string("1 0 4\nABCD"), 0, 0, "ABCD"},
        {"failed read still carries its bytes", std::string("1 -4 4\n\0\0\0\0", 11), 0, -4, std::string(4, '\0')},
        {"refused request has no length", "1 -4\n", 0, -4, ""},
        {"more than asked", "1 0 99999999999\n", -1, 0, ""},
        {"five of four", "1 0 5\nABCDE", -1, 0, ""},
        {"data cut short", "1 0 4\nAB", -1, 0, ""},
        {"no reply line", "1 0 4", -1, 0, ""},
    };
    for (const read_case &c : cases) {
        SCOPED_TRACE(c.name);
        canned_peer peer(c.reply);
        tarvex::connection conn;
        ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
        tarvex::mem_request r;
        r.assoc = 1;
        r.size = 1;
        r.count = 4;
        int result = 99;
        std::vector<uint8_t> data;
        ASSERT_EQ(tarvex::read_mem(conn, r, &result, &data, 2000), c.status);
        if (c.status != 0)
            continue;
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(std::string(data.begin(), data.end()), c.data);
    }
}

// Replies are read in chunks: what arrives behind a line in the same
// receive (a payload, the next reply) must reach the next read intact.
TEST(ClientConnection, KeepsWhatFollowsALineForTheNextRead)
{
    canned_peer peer("1 0\n1 0 4\nAB\nD2 x\n");
    tarvex::connection conn;
    ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
    ASSERT_EQ(conn.send_bytes("go\n", 3), 0);
    std::string line;
    ASSERT_EQ(conn.recv_line(&line, 2000), 0);
    EXPECT_EQ(line, "1 0\n");
    EXPECT_TRUE(conn.readable()) << "the rest of the receive is waiting";
    ASSERT_EQ(conn.recv_line(&line, 2000), 0);
    EXPECT_EQ(line, "1 0 4\n");
    char payload[4] = {};
    ASSERT_EQ(conn.recv_exact(payload, sizeof(payload), 2000), 0);
    EXPECT_EQ(std::string(payload, sizeof(payload)), "AB\nD") << "a newline inside a payload is data";
    ASSERT_EQ(conn.recv_line(&line, 2000), 0);
    EXPECT_EQ(line, "2 x\n");
    EXPECT_NE(conn.recv_line(&line, 2000), 0) << "the peer closed after its bytes";
    EXPECT_EQ(line, "");
}

} // namespace
