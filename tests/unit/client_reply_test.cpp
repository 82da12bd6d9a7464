// The client library's reading of replies, against a peer that answers
// with canned bytes: a memory-read reply that lies about its length must
// fail the call, not size an allocation or return short data as whole.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tarvex_rtt.h"
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
        if (thread_.joinable())
            thread_.join();
        close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    // The request line the peer read, once it has answered and closed.
    std::string request()
    {
        thread_.join();
        return request_;
    }

private:
    void serve()
    {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            return;
        char c = 0;
        while (recv(fd, &c, 1, 0) == 1 && c != '\n')
            request_ += c;
        send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        close(fd);
    }
    std::string reply_;
    std::string request_;
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

// A read reply's header bounds what follows it: a length past what was asked
// is refused before any allocation, and a payload cut short fails the call.
TEST(ClientRttRead, SendsThePositionAndTakesTheAnnouncedBytes)
{
    struct rtt_case {
        const char *name;
        std::string reply;
        int status;
        int result;
        uint64_t start, lost;
        std::string data;
    };
    const rtt_case cases[] = {
        {"bytes", "1 0 40 2 3\nabc", 0, 0, 40, 2, "abc"},
        {"nothing came", "1 0 45 0 0\n", 0, 0, 45, 0, ""},
        {"capture stopped", "1 -8\n", 0, -8, 0, 0, ""},
        {"more than asked", "1 0 40 0 9\n123456789", tarvex::RTT_MALFORMED, 0, 0, 0, ""},
        {"cut short", "1 0 40 0 3\nab", -1, 0, 0, 0, ""},
        {"no fields", "1 0\n", tarvex::RTT_MALFORMED, 0, 0, 0, ""},
    };
    for (const rtt_case &c : cases) {
        SCOPED_TRACE(c.name);
        canned_peer peer(c.reply);
        tarvex::connection conn;
        ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
        int result = 99;
        tarvex::rtt_chunk chunk;
        tarvex::rtt_position from{false, 38};
        ASSERT_EQ(tarvex::rtt_read(conn, 7, 1, from, 8, 0, &result, &chunk), c.status);
        EXPECT_EQ(peer.request(), "tarvex-rtt-read 7 1 38 8 0");
        if (c.status != 0)
            continue;
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(chunk.start, c.start);
        EXPECT_EQ(chunk.lost, c.lost);
        EXPECT_EQ(std::string(chunk.data.begin(), chunk.data.end()), c.data);
    }
}

TEST(ClientRttRead, AsksFromTheEndAndKeepsTheLimits)
{
    canned_peer peer("1 0 0 0 0\n");
    tarvex::connection conn;
    ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
    int result = 0;
    tarvex::rtt_chunk chunk;
    ASSERT_EQ(tarvex::rtt_read(conn, 3, 0, tarvex::rtt_position{}, 1u << 30, 1u << 30, &result, &chunk), 0);
    EXPECT_EQ(peer.request(), "tarvex-rtt-read 3 0 end " + std::to_string(tarvex_wire::RTT_READ_LIMIT) + " " +
                                  std::to_string(tarvex_wire::RTT_WAIT_LIMIT_MS));
}

TEST(ClientRttStatus, ReadsTheLinesItsHeaderAnnounces)
{
    std::string lines = "state searching\naddress 0x0\nblocks 2\nrefused two blocks, none moved\npolls 0\nlooks 3\n";
    canned_peer peer("1 0 " + std::to_string(lines.size()) + "\n" + lines);
    tarvex::connection conn;
    ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
    int result = 99;
    tarvex::rtt_status_record r;
    ASSERT_EQ(tarvex::rtt_status(conn, 5, &result, &r), 0);
    EXPECT_EQ(peer.request(), "tarvex-rtt-status 5");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.state, tarvex::RTT_SEARCHING);
    EXPECT_EQ(r.blocks, 2u);
    EXPECT_EQ(r.refused, "two blocks, none moved");
}

TEST(ClientRttStatus, RefusesALengthPastTheServersBufferAndBrokenLines)
{
    const std::string replies[] = {"1 0 40000\n", "1 0 6\nstate\n"};
    for (const std::string &reply : replies) {
        canned_peer peer(reply);
        tarvex::connection conn;
        ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
        int result = 0;
        tarvex::rtt_status_record r;
        EXPECT_EQ(tarvex::rtt_status(conn, 5, &result, &r), tarvex::RTT_MALFORMED) << reply;
    }
}

TEST(ClientRttWrite, SendsTheBytesAfterTheLineAndBoundsTheCountAccepted)
{
    struct write_case {
        std::string reply;
        int status;
        uint32_t accepted;
    };
    const write_case cases[] = {{"1 0 3\n", 0, 3}, {"1 0 4\n", tarvex::RTT_MALFORMED, 0}, {"1 -8\n", 0, 0}};
    for (const write_case &c : cases) {
        canned_peer peer(c.reply);
        tarvex::connection conn;
        ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
        int result = 0;
        uint32_t accepted = 99;
        ASSERT_EQ(tarvex::rtt_write(conn, 2, 0, reinterpret_cast<const uint8_t *>("a\nb"), 3, &result, &accepted),
                  c.status)
            << c.reply;
        EXPECT_EQ(peer.request(), "tarvex-rtt-write 2 0 3") << "the line; its bytes follow it";
        if (c.status == 0) {
            EXPECT_EQ(accepted, c.accepted) << c.reply;
        }
    }
}

TEST(ClientRttStart, NamesTheRangeAndTheAddressInHexadecimal)
{
    struct start_case {
        unsigned flags;
        uint32_t address;
        const char *request;
    };
    const start_case cases[] = {
        {0, 0, "tarvex-rtt-start 4 0 20000000 20000"},
        {tarvex_wire::RTT_START_PLACE_ONLY, 0x20001230, "tarvex-rtt-start 4 1 20000000 20000 20001230"},
    };
    for (const start_case &c : cases) {
        canned_peer peer("1 0\n");
        tarvex::connection conn;
        ASSERT_EQ(conn.open("127.0.0.1", peer.port()), 0);
        int result = 99;
        ASSERT_EQ(tarvex::rtt_start(conn, 4, c.flags, 0x20000000, 0x20000, c.address, &result), 0);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(peer.request(), c.request);
    }
}

} // namespace
