#include "access.h"

#include <arpa/inet.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server_stats.h"
#include "sock_info.h"
#include "tarvex_log.h"
#include "time_support_common.h"

// Each list is small and fixed: a longer one is refused at start rather
// than cut short.
constexpr size_t ACCESS_LIST_MAX = 16;

struct allowed_network {
    int family; // AF_INET or AF_INET6
    std::array<uint8_t, 16> address;
    unsigned prefix_bits;
    char text[INET6_ADDRSTRLEN + 8];
};

// Users or groups by id, with the names they were given by.
struct named_ids {
    std::array<uint32_t, ACCESS_LIST_MAX> ids;
    std::array<char[32], ACCESS_LIST_MAX> names;
    size_t count;
};

struct access_rules {
    named_ids users;
    named_ids groups;
    std::array<allowed_network, ACCESS_LIST_MAX> networks;
    size_t network_count;
    bool bad_option; // a value that named nothing: the server must not start
    int diag_fd;     // NETLINK_SOCK_DIAG, opened once when owners are checked
    uint32_t diag_seq;
};

static access_rules rules = {};

static bool owner_rules_on()
{
    return rules.users.count > 0 || rules.groups.count > 0;
}

void access_reject_option(const char *option, const char *arg, const char *why)
{
    LOG_ERROR("--%s %s: %s", option, arg, why);
    rules.bad_option = true;
}

bool access_options_bad()
{
    return rules.bad_option;
}

static bool reject_option(const char *option, const char *arg, const char *why)
{
    access_reject_option(option, arg, why);
    return true;
}

static bool list_full(size_t count, const char *option, const char *arg)
{
    if (count < ACCESS_LIST_MAX)
        return false;
    char why[48];
    snprintf(why, sizeof(why), "more than %zu of these", ACCESS_LIST_MAX);
    reject_option(option, arg, why);
    return true;
}

// found: whether the name named an account (id then holds its id).
static bool add_named(named_ids *list, const char *option, const char *name, bool found, uint32_t id)
{
    if (list_full(list->count, option, name))
        return true;
    if (!found)
        return reject_option(option, name, strcmp(option, "allow-user") == 0 ? "no such user" : "no such group");
    list->ids[list->count] = id;
    snprintf(list->names[list->count++], sizeof(list->names[0]), "%s", name);
    return true;
}

static bool add_user(const char *name)
{
    const struct passwd *pw = getpwnam(name);
    return add_named(&rules.users, "allow-user", name, pw != nullptr, pw != nullptr ? pw->pw_uid : 0);
}

static bool add_group(const char *name)
{
    const struct group *gr = getgrnam(name);
    return add_named(&rules.groups, "allow-group", name, gr != nullptr, gr != nullptr ? gr->gr_gid : 0);
}

// "ADDRESS/BITS" or a bare address (the host alone). Host bits set past the
// prefix are refused: "10.1.2.3/8" more likely means a mistake than 10/8.
static int parse_network(const char *text, allowed_network *out)
{
    char address[INET6_ADDRSTRLEN + 1];
    const char *slash = strchr(text, '/');
    size_t length = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    if (length == 0 || length >= sizeof(address))
        return -1;
    memcpy(address, text, length);
    address[length] = '\0';
    out->address = {};
    if (inet_pton(AF_INET, address, out->address.data()) == 1)
        out->family = AF_INET;
    else if (inet_pton(AF_INET6, address, out->address.data()) == 1)
        out->family = AF_INET6;
    else
        return -1;
    unsigned max_bits = out->family == AF_INET ? 32 : 128;
    out->prefix_bits = max_bits;
    if (slash != nullptr) {
        const char *digits = slash + 1;
        char *end = nullptr;
        errno = 0;
        unsigned long bits = strtoul(digits, &end, 10);
        if (*digits < '0' || *digits > '9' || *end != '\0' || errno != 0 || bits > max_bits)
            return -1;
        out->prefix_bits = static_cast<unsigned>(bits);
    }
    for (unsigned bit = out->prefix_bits; bit < max_bits; bit++)
        if (out->address[bit / 8] & (0x80u >> (bit % 8)))
            return -1;
    snprintf(out->text, sizeof(out->text), "%s/%u", address, out->prefix_bits);
    return 0;
}

static bool add_network(const char *text)
{
    if (list_full(rules.network_count, "allow-network", text))
        return true;
    if (parse_network(text, &rules.networks[rules.network_count]) != 0)
        return reject_option("allow-network", text, "not an IPv4 or IPv6 network (ADDRESS/BITS, host bits zero)");
    rules.network_count++;
    return true;
}

bool access_handle_option(int code, const char *arg)
{
    if (code != OPT_ALLOW_USER && code != OPT_ALLOW_GROUP && code != OPT_ALLOW_NETWORK)
        return false;
    if (arg == nullptr || *arg == '\0') {
        LOG_ERROR("--allow-user, --allow-group and --allow-network need a value");
        rules.bad_option = true;
        return true;
    }
    if (code == OPT_ALLOW_USER)
        return add_user(arg);
    if (code == OPT_ALLOW_GROUP)
        return add_group(arg);
    return add_network(arg);
}

void access_format_address(const struct sockaddr *addr, char *out, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const struct sockaddr_in *>(addr);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
        snprintf(out, size, "%s:%u", host, ntohs(in->sin_port));
    } else if (addr->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
        snprintf(out, size, "[%s]:%u", host, ntohs(in6->sin6_port));
    } else if (addr->sa_family == AF_UNIX) {
        snprintf(out, size, "unix:%s", reinterpret_cast<const struct sockaddr_un *>(addr)->sun_path);
    } else {
        snprintf(out, size, "(family %d)", addr->sa_family);
    }
}

// The peer's address as the networks are written: an IPv4 peer of an IPv6
// socket (::ffff:a.b.c.d, on a socket the service manager made) as IPv4.
static int peer_network_address(const struct sockaddr_storage *peer, uint8_t *out)
{
    if (peer->ss_family == AF_INET) {
        memcpy(out, &reinterpret_cast<const struct sockaddr_in *>(peer)->sin_addr, 4);
        return AF_INET;
    }
    const struct in6_addr *a6 = &reinterpret_cast<const struct sockaddr_in6 *>(peer)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(a6)) {
        memcpy(out, a6->s6_addr + 12, 4);
        return AF_INET;
    }
    memcpy(out, a6->s6_addr, 16);
    return AF_INET6;
}

void access_note_peer(_sock_info *client, const struct sockaddr_storage *peer)
{
    memset(client->peer_address, 0, sizeof(client->peer_address));
    if (peer->ss_family == AF_UNIX)
        client->peer_family = AF_UNIX;
    else
        client->peer_family = static_cast<uint8_t>(peer_network_address(peer, client->peer_address));
}

static bool in_network(const allowed_network &net, int family, const uint8_t *address)
{
    if (net.family != family)
        return false;
    unsigned whole = net.prefix_bits / 8, rest = net.prefix_bits % 8;
    if (memcmp(net.address.data(), address, whole) != 0)
        return false;
    uint8_t mask = static_cast<uint8_t>(0xff00u >> rest);
    return rest == 0 || (net.address[whole] & mask) == (address[whole] & mask);
}

static bool in_allowed_networks(const struct sockaddr_storage *peer)
{
    uint8_t address[16];
    int family = peer_network_address(peer, address);
    for (size_t i = 0; i < rules.network_count; i++)
        if (in_network(rules.networks[i], family, address))
            return true;
    return false;
}

bool access_is_loopback(const struct sockaddr_storage *peer)
{
    uint8_t address[16];
    if (peer_network_address(peer, address) == AF_INET)
        return address[0] == 127;
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const struct sockaddr_in6 *>(peer)->sin6_addr);
}

static bool listed_uid(uid_t uid)
{
    for (size_t i = 0; i < rules.users.count; i++)
        if (rules.users.ids[i] == uid)
            return true;
    return false;
}

constexpr size_t ACCOUNT_GROUPS_MAX = 256;

// Supplementary groups included: the account's groups from the group
// database, not the ones a process happens to run with. The count (0 for
// an unknown account); past the array's size only the first ones.
static int account_groups(uid_t uid, std::array<gid_t, ACCOUNT_GROUPS_MAX> *groups)
{
    struct passwd pw, *found = nullptr;
    char text[4096];
    if (getpwuid_r(uid, &pw, text, sizeof(text), &found) != 0 || found == nullptr)
        return 0;
    int count = static_cast<int>(groups->size());
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups->data(), &count) < 0)
        count = static_cast<int>(groups->size());
    return count;
}

static bool in_listed_group(uid_t uid)
{
    if (rules.groups.count == 0)
        return false;
    std::array<gid_t, ACCOUNT_GROUPS_MAX> groups;
    int count = account_groups(uid, &groups);
    for (int i = 0; i < count; i++)
        for (size_t g = 0; g < rules.groups.count; g++)
            if (groups[static_cast<size_t>(i)] == rules.groups.ids[g])
                return true;
    return false;
}

static bool in_server_group(uid_t uid)
{
    std::array<gid_t, ACCOUNT_GROUPS_MAX> groups;
    int count = account_groups(uid, &groups);
    for (int i = 0; i < count; i++)
        if (groups[static_cast<size_t>(i)] == getegid())
            return true;
    return false;
}

// Looking an account's groups up reads the passwd and group databases
// (about 100 us, on the loop thread); a client that connects often would pay
// it each time. So the answer for a uid, either way, is kept for
// GROUP_VERDICT_MS: an account added to or taken out of a listed group is
// seen by new connections within that time. A check is made only when a
// connection is accepted, so an admitted connection outlives any such change
// anyway, and the account's own processes keep their groups until its next
// login: a second more changes nothing an operator relies on.
constexpr uint64_t GROUP_VERDICT_MS = 1000;
constexpr size_t GROUP_VERDICTS = 16;

struct group_verdict {
    uint32_t uid;
    bool member;
    uint64_t until_ms; // past: a free slot
};

static std::array<group_verdict, GROUP_VERDICTS> verdicts;

static bool in_listed_group_recently(uid_t uid)
{
    uint64_t now = monotonic_ms();
    group_verdict *oldest = &verdicts[0];
    for (group_verdict &v : verdicts) {
        if (v.uid == uid && v.until_ms > now)
            return v.member;
        if (v.until_ms < oldest->until_ms)
            oldest = &v;
    }
    bool member = in_listed_group(uid);
    *oldest = {uid, member, now + GROUP_VERDICT_MS};
    return member;
}

static bool owner_admitted(uint32_t uid)
{
    if (uid == ACCESS_UID_UNKNOWN)
        return false;
    uid_t u = static_cast<uid_t>(uid);
    return u == 0 || u == geteuid() || listed_uid(u) || in_listed_group_recently(u);
}

static void fill_endpoint(const struct sockaddr_storage *addr, __be16 *port, __be32 *words)
{
    if (addr->ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const struct sockaddr_in *>(addr);
        *port = in->sin_port;
        memcpy(words, &in->sin_addr, 4);
    } else {
        const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(addr);
        *port = in6->sin6_port;
        memcpy(words, &in6->sin6_addr, 16);
    }
}

// NLMSG_OK compares the header's unsigned length with the signed count the
// macros take; clang, unlike GCC, reports that inside a system macro.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
// The answer to query seq in one datagram: 0 with *uid the owner, or
// unknown (an error answer, or a socket with no inode: TIME_WAIT and
// SYN_RECV answer uid 0 for that reason); -1 when the datagram answers an
// earlier query (one whose answer came after its time-out).
static int owner_of_reply(const uint8_t *reply, ssize_t size, uint32_t seq, uint32_t *uid)
{
    auto remaining = static_cast<int>(size);
    for (auto *h = reinterpret_cast<const struct nlmsghdr *>(reply); NLMSG_OK(h, remaining);
         h = NLMSG_NEXT(h, remaining)) {
        if (h->nlmsg_seq != seq)
            continue;
        *uid = ACCESS_UID_UNKNOWN;
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
            return 0;
        const auto *msg = static_cast<const struct inet_diag_msg *>(NLMSG_DATA(h));
        if (msg->idiag_inode != 0 && msg->idiag_state != TCP_TIME_WAIT && msg->idiag_state != TCP_SYN_RECV)
            *uid = msg->idiag_uid;
        return 0;
    }
    return -1;
}
#pragma GCC diagnostic pop

static uint32_t receive_owner(uint32_t seq)
{
    alignas(struct nlmsghdr) uint8_t reply[1024];
    uint32_t uid = ACCESS_UID_UNKNOWN;
    for (;;) {
        ssize_t got = recv(rules.diag_fd, reply, sizeof(reply), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || owner_of_reply(reply, got, seq, &uid) == 0)
            return uid;
    }
}

// One exact query for the client's own socket: its local end is the peer's
// address, its remote end ours.
static uint32_t loopback_owner(int sock, const struct sockaddr_storage *peer)
{
    struct sockaddr_storage local;
    socklen_t local_len = sizeof(local);
    if (rules.diag_fd < 0 || getsockname(sock, reinterpret_cast<struct sockaddr *>(&local), &local_len) != 0 ||
        local.ss_family != peer->ss_family)
        return ACCESS_UID_UNKNOWN;
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 req;
    } request = {};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++rules.diag_seq;
    request.req.sdiag_family = static_cast<uint8_t>(peer->ss_family);
    request.req.sdiag_protocol = IPPROTO_TCP;
    request.req.idiag_states = ~0u;
    fill_endpoint(peer, &request.req.id.idiag_sport, request.req.id.idiag_src);
    fill_endpoint(&local, &request.req.id.idiag_dport, request.req.id.idiag_dst);
    request.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (send(rules.diag_fd, &request, sizeof(request), 0) != static_cast<ssize_t>(sizeof(request)))
        return ACCESS_UID_UNKNOWN;
    return receive_owner(request.header.nlmsg_seq);
}

static void refuse(stats_refusal reason, uint32_t uid, const char *from, const char *why)
{
    stats_refused(reason, from);
    if (uid == ACCESS_UID_UNKNOWN)
        LOG_WARNING("access: refused uid unknown from %s: %s", from, why);
    else
        LOG_WARNING("access: refused uid %u from %s: %s", uid, from, why);
}

static bool admit_unix_peer(_sock_info *client)
{
    struct ucred cred = {};
    socklen_t len = sizeof(cred);
    if (getsockopt(client->sock, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        client->peer_uid = cred.uid;
        snprintf(client->client_name, sizeof(client->client_name), "uid %u pid %d", cred.uid, cred.pid);
    }
    LOG_INFO("unix client: %s", client->client_name);
    if (owner_rules_on() && !owner_admitted(client->peer_uid)) {
        refuse(REFUSED_OWNER, client->peer_uid, "the unix socket", "neither a listed user nor in a listed group");
        return false;
    }
    return true;
}

// The peer's address is formatted for the warning only: an admitted client
// does not pay for it.
static void refuse_peer(stats_refusal reason, uint32_t uid, const struct sockaddr_storage *peer, const char *why)
{
    char from[INET6_ADDRSTRLEN + 16];
    access_format_address(reinterpret_cast<const struct sockaddr *>(peer), from, sizeof(from));
    refuse(reason, uid, from, why);
}

bool access_network_admits(const struct sockaddr *peer, socklen_t length)
{
    struct sockaddr_storage addr = {};
    if (rules.network_count == 0 || length > sizeof(addr))
        return true;
    memcpy(&addr, peer, length);
    if (addr.ss_family != AF_INET && addr.ss_family != AF_INET6)
        return false;
    if (in_allowed_networks(&addr))
        return true;
    refuse_peer(REFUSED_NETWORK, ACCESS_UID_UNKNOWN, &addr, "outside the allowed networks");
    return false;
}

bool access_admit(_sock_info *client, const struct sockaddr_storage *peer)
{
    if (peer->ss_family == AF_UNIX)
        return admit_unix_peer(client);
    if (rules.network_count == 0 && !owner_rules_on())
        return true;
    if (rules.network_count > 0 && !in_allowed_networks(peer)) {
        refuse_peer(REFUSED_NETWORK, ACCESS_UID_UNKNOWN, peer, "outside the allowed networks");
        return false;
    }
    if (!owner_rules_on())
        return true;
    client->peer_uid = loopback_owner(client->sock, peer);
    if (client->peer_uid != ACCESS_UID_UNKNOWN) {
        if (owner_admitted(client->peer_uid))
            return true;
        refuse_peer(REFUSED_OWNER, client->peer_uid, peer, "neither a listed user nor in a listed group");
        return false;
    }
    // A host on the network: its owner cannot be known, the networks decide.
    if (!access_is_loopback(peer))
        return true;
    refuse_peer(REFUSED_OWNER_UNKNOWN, ACCESS_UID_UNKNOWN, peer, "owner unknown (gone before the check)");
    return false;
}

bool access_may_end_server(const _sock_info *client)
{
    if (!owner_rules_on())
        return true;
    uint32_t uid = client->peer_uid;
    if (uid == 0 || (uid != ACCESS_UID_UNKNOWN && static_cast<uid_t>(uid) == geteuid()))
        return true;
    if (uid == ACCESS_UID_UNKNOWN)
        LOG_WARNING("access: tarvex-exit refused for \"%s\" (uid unknown): only root and the server's user may end it",
                    client->client_name);
    else
        LOG_WARNING("access: tarvex-exit refused for \"%s\" (uid %u): only root and the server's user may end it",
                    client->client_name, uid);
    return false;
}

// Over TCP the server knows the peer's uid only through a socket lookup
// for loopback peers (and none for remote ones), and any relay an admitted
// user runs passes for its users; ending someone else's hold is left to the
// peers the kernel names directly.
bool access_may_release_holds(const _sock_info *client, char *who, size_t size)
{
    uint32_t uid = client->peer_uid;
    const char *name = client->client_name[0] != '\0' ? client->client_name : "unnamed";
    if (uid == ACCESS_UID_UNKNOWN)
        snprintf(who, size, "%.40s (uid unknown)", name);
    else
        snprintf(who, size, "%.40s (uid %u)", name, uid);
    bool on_unix = client->peer_family == AF_UNIX && uid != ACCESS_UID_UNKNOWN;
    auto u = static_cast<uid_t>(uid);
    if (on_unix && (u == 0 || u == geteuid() || in_server_group(u)))
        return true;
    const struct group *gr = getgrgid(getegid());
    if (on_unix)
        LOG_WARNING("access: %s may not release another client's hold: only root, the server's user and members "
                    "of its group %s may",
                    who, gr != nullptr ? gr->gr_name : "?");
    else
        LOG_WARNING("access: %s may not release another client's hold: only on the Unix socket", who);
    return false;
}

// "users a b, groups c" or "anyone".
static void describe_owners(char *out, size_t size)
{
    if (!owner_rules_on()) {
        snprintf(out, size, "anyone");
        return;
    }
    int used = snprintf(out, size, "root, uid %u (the server's)", static_cast<unsigned>(geteuid()));
    for (size_t i = 0; i < rules.users.count && used > 0 && static_cast<size_t>(used) < size; i++)
        used += snprintf(out + used, size - static_cast<size_t>(used), "%s%s", i == 0 ? ", users " : " ",
                         rules.users.names[i]);
    for (size_t i = 0; i < rules.groups.count && used > 0 && static_cast<size_t>(used) < size; i++)
        used += snprintf(out + used, size - static_cast<size_t>(used), "%s%s", i == 0 ? ", groups " : " ",
                         rules.groups.names[i]);
}

static void describe_networks(bool beyond_loopback, char *out, size_t size)
{
    if (rules.network_count == 0) {
        snprintf(out, size, "%s", beyond_loopback ? "any network" : "loopback");
        return;
    }
    int used = snprintf(out, size, "networks");
    for (size_t i = 0; i < rules.network_count && used > 0 && static_cast<size_t>(used) < size; i++)
        used += snprintf(out + used, size - static_cast<size_t>(used), " %s", rules.networks[i].text);
}

static int open_diag_socket()
{
    rules.diag_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (rules.diag_fd < 0) {
        LOG_ERROR("access: cannot open the socket diagnostics (netlink): %s; the owner of loopback clients "
                  "cannot be checked",
                  strerror(errno));
        return -1;
    }
    // The kernel answers during the send; a missing answer must not hold the loop.
    struct timeval limit = {1, 0};
    setsockopt(rules.diag_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return 0;
}

int access_start(bool beyond_loopback, const char *listening)
{
    rules.diag_fd = -1;
    if (owner_rules_on() && open_diag_socket() != 0)
        return -1;
    char owners[512], networks[512];
    describe_owners(owners, sizeof(owners));
    describe_networks(beyond_loopback, networks, sizeof(networks));
    LOG_INFO("access: %s, from %s; at %s", owners, networks, listening);
    if (beyond_loopback && rules.network_count == 0)
        LOG_WARNING("access: listening beyond loopback without --allow-network: any host that reaches the port is "
                    "served");
    return 0;
}
