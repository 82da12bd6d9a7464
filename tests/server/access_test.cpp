// Who the server admits: real uids (made for the suite, as root) on loopback
// IPv4, IPv6 and the Unix socket; peers from allowed networks, loopback
// addresses only; mistakes in the options; socket activation.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "server_process.h"

using tarvex_test::server_process;

namespace
{

// How a client fared.
enum outcome : int {
    SERVED = 0,        // its request was answered
    CLOSED = 1,        // connected, then closed without a reply
    NOT_CONNECTED = 2, // the connect failed (no listener)
    DENIED = 3,        // the connect failed for lack of permission on the socket file
};

// Two accounts: one in the suite's group (as a supplementary group), one
// not. Made with the system's tools and removed after the suite.
struct test_accounts {
    std::string group, admitted, refused;
    uid_t admitted_uid = 0, refused_uid = 0;
    bool made = false;
};

test_accounts accounts;

int run(const std::string &command)
{
    return system((command + " >/dev/null 2>&1").c_str());
}

// ctest runs each test in a process of its own, several at once; the
// account tools fail rather than wait when another one holds their lock.
int run_locked(const std::string &commands)
{
    return run("flock /tmp/tarvex-test-accounts.lock sh -c '" + commands + "'");
}

uid_t uid_of(const std::string &name)
{
    const struct passwd *pw = getpwnam(name.c_str());
    return pw != nullptr ? pw->pw_uid : 0;
}

// In a forked child: becomes user, sends one request to host, exits with
// the outcome.
[[noreturn]] void request_in_child(const std::string &user, const std::string &host, uint16_t port,
                                   const std::string &request)
{
    const struct passwd *pw = user.empty() ? nullptr : getpwnam(user.c_str());
    if (pw != nullptr &&
        (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0))
        _exit(99);
    tarvex::connection c;
    if (c.open(host, port, 0) != 0)
        _exit(c.error() == EACCES ? DENIED : NOT_CONNECTED);
    std::string reply;
    _exit(c.text(request, &reply, 5000) == 0 && reply.rfind("1 ", 0) == 0 ? SERVED : CLOSED);
}

// One request as user (empty: this process's uid); the outcome, and the
// client's pid into *child when asked.
int request_as(const std::string &user, const std::string &host, uint16_t port, pid_t *child = nullptr,
               const std::string &request = "get-nb-tcp-client\n")
{
    pid_t pid = fork();
    if (pid == 0)
        request_in_child(user, host, port, request);
    int status = 0;
    waitpid(pid, &status, 0);
    if (child != nullptr)
        *child = pid;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A request from a chosen loopback source address.
int request_from(const char *source, const char *server, uint16_t port)
{
    int family = strchr(server, ':') != nullptr ? AF_INET6 : AF_INET;
    struct sockaddr_storage from = {}, to = {};
    socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (family == AF_INET) {
        auto *f = reinterpret_cast<sockaddr_in *>(&from), *t = reinterpret_cast<sockaddr_in *>(&to);
        f->sin_family = t->sin_family = AF_INET;
        inet_pton(AF_INET, source, &f->sin_addr);
        inet_pton(AF_INET, server, &t->sin_addr);
        t->sin_port = htons(port);
    } else {
        auto *f = reinterpret_cast<sockaddr_in6 *>(&from), *t = reinterpret_cast<sockaddr_in6 *>(&to);
        f->sin6_family = t->sin6_family = AF_INET6;
        inet_pton(AF_INET6, source, &f->sin6_addr);
        inet_pton(AF_INET6, server, &t->sin6_addr);
        t->sin6_port = htons(port);
    }
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), length) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), length) != 0) {
        close(fd);
        return NOT_CONNECTED;
    }
    const char request[] = "get-nb-tcp-client\n";
    char reply[16] = {};
    bool answered = send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) > 0 && recv(fd, reply, 2, MSG_WAITALL) == 2;
    close(fd);
    return answered && reply[0] == '1' ? SERVED : CLOSED;
}

class Access : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0)
            return;
        std::string tag = std::to_string(getpid() % 100000);
        accounts.group = "tvxg" + tag;
        accounts.admitted = "tvxin" + tag;
        accounts.refused = "tvxout" + tag;
        accounts.made =
            run_locked("groupadd " + accounts.group + " && useradd -M -N -s /usr/sbin/nologin -G " + accounts.group +
                       " " + accounts.admitted + " && useradd -M -N -s /usr/sbin/nologin " + accounts.refused) == 0;
        accounts.admitted_uid = uid_of(accounts.admitted);
        accounts.refused_uid = uid_of(accounts.refused);
    }
    static void TearDownTestSuite()
    {
        if (accounts.group.empty())
            return;
        run_locked("userdel " + accounts.admitted + "; userdel " + accounts.refused + "; groupdel " + accounts.group);
    }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make two test users (CI runs as root)";
        ASSERT_TRUE(accounts.made) << "useradd/groupadd failed";
    }

    // A server with the suite's group admitted, on loopback IPv4 and IPv6
    // and on a Unix socket anyone may connect to.
    void start_guarded(server_process *s, std::vector<std::string> extra = {})
    {
        ASSERT_EQ(chmod(s->dir.c_str(), 0711), 0); // other uids reach the socket inside
        std::vector<std::string> args = {"--allow-group",         accounts.group, "--unix",
                                         s->dir + "/tarvex.sock", "--unix-mode",  "0666"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(s->start(args), 0);
        ASSERT_EQ(s->wait_listening(), 0);
    }
};

// What needs root but no accounts of its own.
class AccessAsRoot : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root (CI runs as root)";
    }
};

TEST_F(Access, GroupMemberIsServedOthersAreClosedBeforeTheirFirstReply)
{
    server_process s;
    start_guarded(&s);
    std::vector<std::string> hosts = {"127.0.0.1", "unix:" + s.dir + "/tarvex.sock"};
    if (tarvex_test::ipv6_loopback_available())
        hosts.insert(hosts.end(), {"::1", "[::1]"});
    for (const std::string &host : hosts) {
        EXPECT_EQ(request_as(accounts.admitted, host, s.port), SERVED) << host;
        EXPECT_EQ(request_as(accounts.refused, host, s.port), CLOSED) << host;
        EXPECT_EQ(request_as("", host, s.port), SERVED) << host << ": root";
    }
    std::string uid = std::to_string(accounts.refused_uid);
    EXPECT_TRUE(s.wait_stderr("Warn : access: refused uid " + uid + " from 127.0.0.1:")) << s.stderr_text();
    if (tarvex_test::ipv6_loopback_available()) {
        EXPECT_TRUE(s.wait_stderr("Warn : access: refused uid " + uid + " from [::1]:"));
    }
    EXPECT_TRUE(s.wait_stderr("Warn : access: refused uid " + uid + " from the unix socket"));
    // The refused never counted as clients: one client now, the asker.
    EXPECT_EQ(request_as("", "127.0.0.1", s.port), SERVED);
    tarvex::connection c = s.connect();
    std::string reply;
    ASSERT_EQ(c.text("get-nb-tcp-client\n", &reply), 0);
    EXPECT_EQ(reply, "1 1\n");
}

TEST_F(Access, NamedUserIsServedAndTheUnixPeerIsNamedByUidAndPid)
{
    server_process s;
    ASSERT_EQ(chmod(s.dir.c_str(), 0711), 0);
    ASSERT_EQ(s.start({"--allow-user", accounts.refused, "--unix", s.dir + "/u.sock", "--unix-mode", "0666"}), 0);
    ASSERT_EQ(s.wait_listening(), 0);
    pid_t child = -1;
    EXPECT_EQ(request_as(accounts.refused, "unix:" + s.dir + "/u.sock", s.port, &child), SERVED);
    EXPECT_TRUE(s.wait_stderr("unix client: uid " + std::to_string(accounts.refused_uid) + " pid " +
                              std::to_string(child) + "\n"))
        << s.stderr_text();
    EXPECT_EQ(request_as(accounts.admitted, "127.0.0.1", s.port), CLOSED) << "only the named user";
}

TEST_F(Access, SocketFilePermissionKeepsOutAUidThatMayNotWriteIt)
{
    server_process s;
    ASSERT_EQ(chmod(s.dir.c_str(), 0711), 0);
    std::string path = s.dir + "/g.sock";
    ASSERT_EQ(s.start({"--unix", path, "--unix-group", accounts.group}), 0); // 0660 by default
    ASSERT_EQ(s.wait_listening(), 0);
    EXPECT_TRUE(s.wait_stderr("unix:" + path + " 0660 " + accounts.group)) << s.stderr_text();
    EXPECT_EQ(request_as(accounts.admitted, "unix:" + path, s.port), SERVED);
    EXPECT_EQ(request_as(accounts.refused, "unix:" + path, s.port), DENIED);
}

TEST_F(AccessAsRoot, AClientGoneBeforeTheOwnerQueryIsRefused)
{
    server_process s;
    ASSERT_EQ(s.start({"--allow-group", "nogroup"}), 0);
    ASSERT_EQ(s.wait_listening(), 0);
    // The server is stopped while a root client connects and closes: when
    // it accepts, the client's socket has no owner any more.
    s.send_signal(SIGSTOP);
    int status = 0;
    ASSERT_EQ(waitpid(s.pid, &status, WUNTRACED), s.pid);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(s.port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    close(fd);
    s.send_signal(SIGCONT);
    EXPECT_TRUE(s.wait_stderr("Warn : access: refused uid unknown from 127.0.0.1:")) << s.stderr_text();
    EXPECT_EQ(request_as("", "127.0.0.1", s.port), SERVED) << "root itself is admitted";
}

TEST_F(Access, OnlyRootAndTheServersUserMayEndIt)
{
    server_process s;
    start_guarded(&s);
    std::string host = "unix:" + s.dir + "/tarvex.sock";
    pid_t child = -1;
    // "0\n" is no "1 ..." reply: the client reports CLOSED.
    EXPECT_EQ(request_as(accounts.admitted, host, s.port, &child, "tarvex-exit\n"), CLOSED);
    EXPECT_TRUE(s.wait_stderr("tarvex-exit refused for \"uid " + std::to_string(accounts.admitted_uid)));
    EXPECT_EQ(s.wait_exit(0), -1);
    EXPECT_EQ(request_as("", host, s.port), SERVED);
    tarvex::connection root = s.connect();
    ASSERT_EQ(root.send_bytes("tarvex-exit\n", 12), 0);
    EXPECT_EQ(s.wait_exit(), 0);
}

// Tries a request as user on loopback until its outcome is `wanted`, for
// at most a few times the second a group decision is kept; the last outcome.
int outcome_within_bound(const std::string &user, uint16_t port, int wanted)
{
    int got = -1;
    for (int tries = 0; tries < 150 && got != wanted; tries++) {
        if (tries > 0)
            usleep(20000);
        got = request_as(user, "127.0.0.1", port);
    }
    return got;
}

// The server keeps a uid's group decision for a second: a change of the
// group database must still reach new connections, both ways.
TEST_F(Access, AGroupChangeReachesNewConnectionsWithinASecond)
{
    server_process s;
    start_guarded(&s);
    ASSERT_EQ(request_as(accounts.refused, "127.0.0.1", s.port), CLOSED);
    ASSERT_EQ(run_locked("gpasswd -a " + accounts.refused + " " + accounts.group), 0);
    EXPECT_EQ(outcome_within_bound(accounts.refused, s.port, SERVED), SERVED) << "added to the group";
    ASSERT_EQ(run_locked("gpasswd -d " + accounts.refused + " " + accounts.group), 0);
    EXPECT_EQ(outcome_within_bound(accounts.refused, s.port, CLOSED), CLOSED) << "taken out of the group";
}

struct network_case {
    const char *allowed;
    const char *source;
    const char *server;
    int outcome;
};

TEST_F(AccessAsRoot, AllowedNetworksAdmitTheirPeersOnly)
{
    const network_case cases[] = {
        {"127.0.0.2/32", "127.0.0.2", "127.0.0.1", SERVED},
        {"127.0.0.2/32", "127.0.0.3", "127.0.0.1", CLOSED},
        {"127.0.0.0/30", "127.0.0.3", "127.0.0.1", SERVED},
        {"127.0.0.0/30", "127.0.0.4", "127.0.0.1", CLOSED},
        {"127.0.0.0/8", "::1", "::1", CLOSED},
        {"::1/128", "::1", "::1", SERVED},
        {"::1/128", "127.0.0.1", "127.0.0.1", CLOSED},
    };
    for (const network_case &c : cases) {
        if (strchr(c.source, ':') != nullptr && !tarvex_test::ipv6_loopback_available())
            continue;
        server_process s;
        ASSERT_EQ(s.start({"--allow-network", c.allowed}), 0);
        ASSERT_EQ(s.wait_listening(), 0);
        // The IPv6 listener comes after the IPv4 one that wait_listening
        // sees; the access line follows them all.
        ASSERT_TRUE(s.wait_stderr("access: ")) << s.stderr_text();
        EXPECT_EQ(request_from(c.source, c.server, s.port), c.outcome) << c.allowed << " from " << c.source;
        if (c.outcome == CLOSED) {
            EXPECT_TRUE(s.wait_stderr("outside the allowed networks")) << c.allowed << " " << s.stderr_text();
        }
    }
}

struct bad_option_case {
    std::vector<std::string> args;
    const char *message;
};

TEST_F(AccessAsRoot, MistakesInTheOptionsStopTheServerAtStart)
{
    const bad_option_case cases[] = {
        {{"--allow-group", "tvx-no-such-group"}, "--allow-group tvx-no-such-group: no such group"},
        {{"--allow-user", "tvx-no-such-user"}, "--allow-user tvx-no-such-user: no such user"},
        {{"--allow-network", "10.1.2.3/8"}, "--allow-network 10.1.2.3/8: not an IPv4"},
        {{"--allow-network", "10.0.0.0/33"}, "not an IPv4"},
        {{"--allow-network", "::1/129"}, "not an IPv4"},
        {{"--allow-network", "10.0.0.0/"}, "not an IPv4"},
        {{"--allow-network", "lab"}, "not an IPv4"},
        {{"--unix-mode", "0999"}, "--unix-mode 0999: not an octal mode"},
        {{"--unix-group", "tvx-no-such-group"}, "--unix-group tvx-no-such-group: no such group"},
        {{"--unix", "relative.sock"}, "--unix relative.sock: not an absolute path"},
        {{"--listen", "localhost"}, "--listen localhost: not an IPv4 or IPv6 address"},
    };
    for (const bad_option_case &c : cases) {
        std::string out, err;
        EXPECT_EQ(tarvex_test::run_server_to_end(c.args, &out, &err), 251) << c.args[1];
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST_F(AccessAsRoot, TheRulesInForceAreStatedInOneLine)
{
    if (!tarvex_test::ipv6_loopback_available())
        GTEST_SKIP() << "this host has no ::1";
    server_process s;
    ASSERT_EQ(s.start({"--allow-group", "nogroup", "--unix", s.dir + "/tarvex.sock", "--unix-mode", "0666",
                       "--allow-network", "127.0.0.0/8", "--allow-network", "::1/128"}),
              0);
    std::string port = std::to_string(s.port);
    EXPECT_TRUE(s.wait_stderr(
        "Info : access: root, uid 0 (the server's), groups nogroup, from networks 127.0.0.0/8 ::1/128; at 127.0.0.1:" +
        port + " [::1]:" + port + " unix:" + s.dir + "/tarvex.sock 0666 root\n"))
        << s.stderr_text();

    server_process v6;
    ASSERT_EQ(v6.start({"--listen", "::1"}), 0);
    EXPECT_TRUE(v6.wait_stderr("access: anyone, from loopback; at [::1]:" + std::to_string(v6.port) + "\n"))
        << v6.stderr_text();
    EXPECT_EQ(request_as("", "::1", v6.port), SERVED);
    EXPECT_FALSE(tarvex_test::port_listening(v6.port, false)) << "--listen names the addresses exactly";

    server_process open;
    ASSERT_EQ(open.start({"--network-enable"}), 0);
    std::string any_port = std::to_string(open.port);
    EXPECT_TRUE(open.wait_stderr("access: anyone, from any network; at 0.0.0.0:" + any_port + " [::]:" + any_port))
        << open.stderr_text();
    EXPECT_TRUE(open.wait_stderr("Warn : access: listening beyond loopback without --allow-network"));
}

TEST_F(AccessAsRoot, StaleSocketFileIsReplacedALiveOneRefused)
{
    server_process first;
    std::string path = first.dir + "/s.sock";
    {
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        close(stale);
    }
    ASSERT_EQ(first.start({"--unix", path}), 0);
    ASSERT_EQ(first.wait_listening(), 0);
    EXPECT_EQ(request_as("", "unix:" + path, 0), SERVED);
    EXPECT_TRUE(first.wait_stderr("replacing the socket file of a server that is gone"));

    std::string out, err;
    EXPECT_EQ(
        tarvex_test::run_server_to_end({"-p", std::to_string(tarvex_test::free_port()), "--unix", path}, &out, &err),
        252);
    EXPECT_NE(err.find("a live server already listens there"), std::string::npos) << err;
    EXPECT_EQ(request_as("", "unix:" + path, 0), SERVED) << "the live server keeps its socket";

    std::string plain = first.dir + "/plain";
    ASSERT_EQ(run("touch " + plain), 0);
    EXPECT_EQ(
        tarvex_test::run_server_to_end({"-p", std::to_string(tarvex_test::free_port()), "--unix", plain}, &out, &err),
        252);
    EXPECT_NE(err.find("the path exists and is not a socket"), std::string::npos) << err;
    struct stat st;
    EXPECT_EQ(stat(plain.c_str(), &st), 0) << "a file that is no socket stays";

    first.send_signal(SIGINT);
    EXPECT_EQ(first.wait_exit(), 2);
    EXPECT_NE(stat(path.c_str(), &st), 0) << "the socket file goes with the server";
}

TEST_F(AccessAsRoot, AnUnwritableDirectoryStopsTheServerAtStart)
{
    server_process scratch;
    ASSERT_EQ(chmod(scratch.dir.c_str(), 0755), 0); // root's, not writable by the user
    std::string out, err;
    int status = tarvex_test::run_to_end({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                          TARVEX_SERVER_PATH, "-p", std::to_string(tarvex_test::free_port()), "--unix",
                                          scratch.dir + "/x.sock"},
                                         &out, &err);
    EXPECT_EQ(status, 252) << err;
    EXPECT_NE(err.find("cannot make the socket: Permission denied"), std::string::npos) << err;
}

// The service manager's sockets: systemd-socket-activate binds, then runs
// the server on the first connection with LISTEN_FDS.
pid_t start_activated(uint16_t port, const std::string &path, uint16_t other_port, const std::string &dir)
{
    return tarvex_test::spawn_program({"/usr/bin/systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port),
                                       "-l", path, "--", TARVEX_SERVER_PATH, "-p", std::to_string(other_port)},
                                      dir + "/activated.out", dir + "/activated.err");
}

bool wait_port(uint16_t port)
{
    for (int i = 0; i < 500; i++) {
        if (tarvex_test::port_listening(port))
            return true;
        usleep(10000);
    }
    return false;
}

TEST_F(AccessAsRoot, SocketActivatedServerServesTheSocketsItIsGivenAndRestartsAtOnce)
{
    if (access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is not installed (Debian package systemd)";
    server_process scratch;
    uint16_t port = tarvex_test::free_port(), other = tarvex_test::free_port();
    std::string path = scratch.dir + "/act.sock";
    pid_t pid = start_activated(port, path, other, scratch.dir);
    ASSERT_TRUE(wait_port(port));
    tarvex::connection tcp, local;
    ASSERT_EQ(tcp.open("127.0.0.1", port), 0);
    std::string reply;
    ASSERT_EQ(tcp.text("get-nb-tcp-client\n", &reply), 0);
    EXPECT_EQ(reply, "1 1\n");
    ASSERT_EQ(local.open("unix:" + path, 0), 0);
    ASSERT_EQ(local.text("get-nb-tcp-client\n", &reply), 0);
    EXPECT_EQ(reply, "1 2\n");
    std::string err = tarvex_test::read_file(scratch.dir + "/activated.err");
    EXPECT_NE(err.find("socket activation: 2 listening sockets"), std::string::npos) << err;
    EXPECT_FALSE(tarvex_test::port_listening(other)) << "the server bound its own port";
    EXPECT_EQ(err.find("port par default"), std::string::npos) << err;

    // Killed with both clients connected, then started again at once.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = start_activated(port, path, other, scratch.dir);
    ASSERT_TRUE(wait_port(port));
    tarvex::connection again;
    ASSERT_EQ(again.open("127.0.0.1", port, 0), 0);
    ASSERT_EQ(again.text("get-nb-tcp-client\n", &reply), 0);
    EXPECT_EQ(reply, "1 1\n");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace
