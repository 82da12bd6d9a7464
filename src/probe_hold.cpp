// A probe's hold record exists while the probe is held; its waiters are the
// requests of other clients parked behind the holder, in arrival order. When
// a hold ends, all of its waiters move to the ready queue, which the loop
// empties at once by presenting each request again: the first may take a new
// hold, and those behind it then park again in the same order, keeping their
// first deadline. No request of another client is served in between, so no
// newcomer overtakes a waiter.
//
// The clients that joined a hold by its token are its members: they go as
// its holder does. When the hold ends they become orphans of the probe,
// refused there until their connection ends.
#include "probe_hold.h"

#include <sys/random.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "list_tarvex.h"
#include "tarvex_log.h"
#include "sock_info.h"
#include "tarvex_connection.h"
#include "time_support_common.h"

struct probe_hold {
    list_head link; // must stay first: in holds
    const tarvex_usb *usb;
    _sock_info *holder;
    uint64_t since_ms;
    list_head waiters;                      // hold_waiter, in arrival order
    list_head members;                      // hold_member
    char token[PROBE_HOLD_TOKEN_CHARS + 1]; // empty until shared
};

struct hold_member {
    list_head link; // must stay first: in its hold's members, or in orphans
    _sock_info *client;
    const tarvex_usb *usb;
};

struct hold_waiter {
    list_head link; // must stay first: in its hold's waiters, or in ready
    _sock_info *client;
    uint64_t since_ms;
    uint64_t deadline_ms;
};

static list_head holds = LIST_HEAD_INIT(holds);
static list_head ready = LIST_HEAD_INIT(ready);
static list_head orphans = LIST_HEAD_INIT(orphans);
// Waiters whose requests the loop is presenting again (probe_hold_next_ready),
// each until its client's next admission or probe_hold_presented.
static list_head resumed = LIST_HEAD_INIT(resumed);
static uint64_t hold_wait_ms = 30000;
static uint64_t hold_max_ms;

void probe_hold_set_limits(uint64_t wait_ms, uint64_t max_ms)
{
    hold_wait_ms = wait_ms;
    hold_max_ms = max_ms;
}

uint64_t probe_hold_wait_ms()
{
    return hold_wait_ms;
}

struct client_label {
    char text[sizeof(probe_hold_info::holder)];
};

// Clients that did not register a name are named by their socket.
static client_label label_of(const _sock_info *c)
{
    client_label l;
    if (c->client_name[0] != '\0')
        snprintf(l.text, sizeof(l.text), "%.39s", c->client_name);
    else
        snprintf(l.text, sizeof(l.text), "socket-%d", c->sock);
    return l;
}

static const char *probe_name(const tarvex_usb *usb)
{
    return usb->serial != nullptr ? usb->serial : "?";
}

static probe_hold *find_hold(const tarvex_usb *usb)
{
    list_for_each(pos, &holds)
    {
        probe_hold *h = list_entry<probe_hold>(pos);
        if (h->usb == usb)
            return h;
    }
    return nullptr;
}

static void refuse_log(const probe_hold *h, const _sock_info *c, uint64_t waited_ms)
{
    LOG_WARNING("probe %s held by %s: request of %s refused after waiting %" PRIu64 " ms", probe_name(h->usb),
                label_of(h->holder).text, label_of(c).text, waited_ms);
}

static hold_admission park(probe_hold *h, _sock_info *c, hold_waiter *w, uint64_t wait_ms)
{
    uint64_t now = monotonic_ms();
    if (w == nullptr && wait_ms > 0) {
        w = static_cast<hold_waiter *>(calloc(1, sizeof(hold_waiter)));
        if (w != nullptr) {
            w->client = c;
            w->since_ms = now;
            w->deadline_ms = now + wait_ms;
        }
    }
    if (w == nullptr) {
        refuse_log(h, c, 0);
        return HOLD_REFUSED;
    }
    list_add_tail(&w->link, &h->waiters);
    LOG_DEBUG("probe %s held by %s: request of %s waits", probe_name(h->usb), label_of(h->holder).text,
              label_of(c).text);
    return HOLD_QUEUED;
}

static hold_member *find_member(list_head *list, const tarvex_usb *usb, const _sock_info *c)
{
    list_for_each(pos, list)
    {
        hold_member *m = list_entry<hold_member>(pos);
        if (m->client == c && m->usb == usb)
            return m;
    }
    return nullptr;
}

// The holder and the clients that joined its hold.
static bool goes_as_holder(probe_hold *h, const _sock_info *c)
{
    return h->holder == c || find_member(&h->members, h->usb, c) != nullptr;
}

static hold_waiter *take_resumed(const _sock_info *c)
{
    list_for_each(pos, &resumed)
    {
        hold_waiter *w = list_entry<hold_waiter>(pos);
        if (w->client == c) {
            list_del(&w->link);
            return w;
        }
    }
    return nullptr;
}

hold_admission probe_hold_admit(tarvex_usb *usb, _sock_info *c, uint64_t wait_ms)
{
    hold_waiter *w = take_resumed(c);
    probe_hold *h = find_hold(usb);
    if (find_member(&orphans, usb, c) != nullptr) {
        free(w);
        LOG_WARNING("probe %s: the hold %s worked under has ended: its request is refused", probe_name(usb),
                    label_of(c).text);
        return HOLD_REFUSED;
    }
    if (h == nullptr || goes_as_holder(h, c)) {
        free(w);
        return HOLD_GO;
    }
    return park(h, c, w, wait_ms);
}

void probe_hold_take(tarvex_usb *usb, _sock_info *c)
{
    probe_hold *h = find_hold(usb);
    if (h != nullptr)
        return; // admitted: c holds it already
    h = static_cast<probe_hold *>(calloc(1, sizeof(probe_hold)));
    if (h == nullptr) {
        LOG_ERROR("probe %s: no memory for the hold of %s", probe_name(usb), label_of(c).text);
        return;
    }
    h->usb = usb;
    h->holder = c;
    h->since_ms = monotonic_ms();
    init_list_head(&h->waiters);
    init_list_head(&h->members);
    list_add_tail(&h->link, &holds);
    LOG_INFO("probe %s held by %s", probe_name(usb), label_of(c).text);
}

static void end_hold(probe_hold *h, const char *reason)
{
    LOG_INFO("probe %s: hold of %s ended after %" PRIu64 " ms (%s); %lu waiting", probe_name(h->usb),
             label_of(h->holder).text, monotonic_ms() - h->since_ms, reason, list_count(&h->waiters));
    list_for_each_safe(pos, n, &h->waiters)
    {
        list_del(pos);
        list_add_tail(pos, &ready);
    }
    list_for_each_safe(pos, n, &h->members)
    {
        list_del(pos);
        list_add_tail(pos, &orphans);
    }
    list_del(&h->link);
    free(h);
}

int probe_hold_release(const tarvex_usb *usb, const _sock_info *c)
{
    probe_hold *h = find_hold(usb);
    if (h == nullptr || !goes_as_holder(h, c))
        return -1;
    if (h->holder == c)
        end_hold(h, "released");
    return 0;
}

int probe_hold_force_release(const tarvex_usb *usb, char *holder, size_t size)
{
    probe_hold *h = find_hold(usb);
    if (h == nullptr)
        return -1;
    snprintf(holder, size, "%s", label_of(h->holder).text);
    end_hold(h, "released by an administrator");
    return 0;
}

// Waiters and members alike: records whose list link comes first and that
// name their client.
template <typename entry> static void drop_entries_of(list_head *list, const _sock_info *c)
{
    list_for_each_safe(pos, n, list)
    {
        entry *e = list_entry<entry>(pos);
        if (e->client != c)
            continue;
        list_del(pos);
        free(e);
    }
}

static void drop_orphans_of(const tarvex_usb *usb)
{
    list_for_each_safe(pos, n, &orphans)
    {
        hold_member *m = list_entry<hold_member>(pos);
        if (m->usb != usb)
            continue;
        list_del(pos);
        free(m);
    }
}

static bool make_token(char *token)
{
    uint8_t bytes[PROBE_HOLD_TOKEN_CHARS / 2];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes)))
        return false;
    for (size_t i = 0; i < sizeof(bytes); i++)
        snprintf(token + 2 * i, 3, "%02x", bytes[i]);
    return true;
}

int probe_hold_share(const tarvex_usb *usb, const _sock_info *c, char *token)
{
    probe_hold *h = find_hold(usb);
    if (h == nullptr || !goes_as_holder(h, c))
        return -1;
    if (h->token[0] == '\0' && !make_token(h->token)) {
        LOG_ERROR("probe %s: no random bytes for the token of the hold of %s", probe_name(usb), label_of(c).text);
        h->token[0] = '\0';
        return -1;
    }
    memcpy(token, h->token, sizeof(h->token));
    return 0;
}

// Every character compared, so that the time taken says nothing of how
// much of a guess was right.
static bool same_token(const char *mine, const char *given)
{
    if (strlen(given) != PROBE_HOLD_TOKEN_CHARS)
        return false;
    unsigned differ = 0;
    for (unsigned i = 0; i < PROBE_HOLD_TOKEN_CHARS; i++)
        differ |= static_cast<unsigned>(mine[i] ^ given[i]);
    return differ == 0;
}

int probe_hold_join(const tarvex_usb *usb, _sock_info *c, const char *token)
{
    probe_hold *h = find_hold(usb);
    if (h != nullptr && goes_as_holder(h, c))
        return 0;
    if (h == nullptr || h->token[0] == '\0' || !same_token(h->token, token)) {
        LOG_WARNING("probe %s: %s presented a token that names no hold on it: refused", probe_name(usb),
                    label_of(c).text);
        return -1;
    }
    hold_member *m = static_cast<hold_member *>(calloc(1, sizeof(hold_member)));
    if (m == nullptr) {
        LOG_ERROR("probe %s: no memory for %s to join the hold of %s", probe_name(usb), label_of(c).text,
                  label_of(h->holder).text);
        return -1;
    }
    m->client = c;
    m->usb = usb;
    list_add_tail(&m->link, &h->members);
    hold_member *orphan = find_member(&orphans, usb, c);
    if (orphan != nullptr) {
        list_del(&orphan->link);
        free(orphan);
    }
    LOG_INFO("probe %s: %s joined the hold of %s", probe_name(usb), label_of(c).text, label_of(h->holder).text);
    return 0;
}

void probe_hold_client_gone(const _sock_info *c)
{
    list_for_each_safe(pos, n, &holds)
    {
        probe_hold *h = list_entry<probe_hold>(pos);
        if (h->holder == c) {
            end_hold(h, "the holder's connection closed");
            continue;
        }
        drop_entries_of<hold_waiter>(&h->waiters, c);
        drop_entries_of<hold_member>(&h->members, c);
    }
    drop_entries_of<hold_waiter>(&ready, c);
    drop_entries_of<hold_member>(&orphans, c);
    drop_entries_of<hold_waiter>(&resumed, c);
}

static bool holder_reaches(const probe_hold *h)
{
    list_for_each(pos, &assoc_list)
    {
        const tarvex_assoc *a = list_entry<tarvex_assoc>(pos);
        if (a->sock_info == h->holder && a->tarvex_usb == h->usb && a->valid && !a->closing)
            return true;
    }
    return false;
}

void probe_hold_association_ended(const tarvex_usb *usb)
{
    probe_hold *h = find_hold(usb);
    if (h != nullptr && !holder_reaches(h))
        end_hold(h, "the holder's association closed");
}

void probe_hold_forget(const tarvex_usb *usb)
{
    probe_hold *h = find_hold(usb);
    if (h != nullptr)
        end_hold(h, "the probe left the registry");
    drop_orphans_of(usb);
}

const _sock_info *probe_hold_holder(const tarvex_usb *usb)
{
    const probe_hold *h = find_hold(usb);
    return h != nullptr ? h->holder : nullptr;
}

void probe_hold_query(const tarvex_usb *usb, probe_hold_info *info)
{
    *info = {};
    const probe_hold *h = find_hold(usb);
    if (h == nullptr)
        return;
    snprintf(info->holder, sizeof(info->holder), "%.39s", label_of(h->holder).text);
    info->age_ms = monotonic_ms() - h->since_ms;
    info->waiters = static_cast<unsigned>(list_count(&h->waiters));
}

size_t probe_hold_waiter_names(const tarvex_usb *usb, char (*names)[sizeof(probe_hold_info::holder)], size_t max)
{
    const probe_hold *h = find_hold(usb);
    size_t count = 0;
    if (h == nullptr)
        return 0;
    list_for_each(pos, &h->waiters)
    {
        if (count < max)
            snprintf(names[count], sizeof(names[count]), "%s", label_of(list_entry<hold_waiter>(pos)->client).text);
        count++;
    }
    return count;
}

_sock_info *probe_hold_next_ready()
{
    if (list_empty(&ready))
        return nullptr;
    hold_waiter *w = list_entry<hold_waiter>(ready.next);
    list_del(&w->link);
    list_add_tail(&w->link, &resumed);
    return w->client;
}

void probe_hold_presented(const _sock_info *c)
{
    drop_entries_of<hold_waiter>(&resumed, c);
}

uint64_t probe_hold_next_deadline_ms()
{
    uint64_t nearest = UINT64_MAX;
    list_for_each(pos, &holds)
    {
        const probe_hold *h = list_entry<probe_hold>(pos);
        if (hold_max_ms > 0 && h->since_ms + hold_max_ms < nearest)
            nearest = h->since_ms + hold_max_ms;
        list_for_each(w, &h->waiters)
        {
            uint64_t deadline = list_entry<hold_waiter>(w)->deadline_ms;
            if (deadline < nearest)
                nearest = deadline;
        }
    }
    return nearest;
}

_sock_info *probe_hold_next_expired(uint64_t now)
{
    list_for_each(pos, &holds)
    {
        const probe_hold *h = list_entry<probe_hold>(pos);
        list_for_each(at, &h->waiters)
        {
            hold_waiter *w = list_entry<hold_waiter>(at);
            if (w->deadline_ms > now)
                continue;
            refuse_log(h, w->client, now - w->since_ms);
            _sock_info *c = w->client;
            list_del(&w->link);
            free(w);
            return c;
        }
    }
    return nullptr;
}

void probe_hold_end_expired(uint64_t now)
{
    if (hold_max_ms == 0)
        return;
    list_for_each_safe(pos, n, &holds)
    {
        probe_hold *h = list_entry<probe_hold>(pos);
        if (h->since_ms + hold_max_ms <= now)
            end_hold(h, "held longer than --hold-max");
    }
}
