#include "tarvex_connection.h"

#include <cstdlib>
#include <cstring>

#include "list_tarvex.h"
#include "tarvex_log.h"
#include "sock_info.h"
#include "tarvex_usb.h"

list_head assoc_list = LIST_HEAD_INIT(assoc_list);
volatile bool auto_exit_flag = false;
volatile bool ask_to_kill = false;

static uint32_t assoc_index = 256;

uint32_t new_assoc_index()
{
    return assoc_index++;
}

// An association that still reaches a registered probe.
static bool reaches_probe(const tarvex_assoc *assoc)
{
    return assoc->valid && assoc->tarvex_usb != nullptr;
}

tarvex_assoc *make_connection(struct tarvex_usb *usb, _sock_info *psock_info)
{
    auto *assoc = static_cast<tarvex_assoc *>(calloc(1, sizeof(tarvex_assoc)));
    if (assoc == nullptr)
        return nullptr;
    assoc->tarvex_usb = usb;
    assoc->sock_info = psock_info;
    assoc->valid = true;
    assoc->key = new_assoc_index();
    LOG_DEBUG("add to list assoc of %p, sock_info object %p", static_cast<void *>(usb),
              static_cast<void *>(psock_info));
    list_add_tail(&assoc->list, &assoc_list);
    return assoc;
}

// No association is ever reused: a reuse test that compared association keys
// with probe keys could hand one client's association to another client, whose
// association a failed open would then free. Each open gets its own key.
tarvex_assoc *add_connection(struct tarvex_usb *usb, _sock_info *psock_info)
{
    LOG_DEBUG("find connection : %p, %p, %p", static_cast<void *>(&assoc_list), static_cast<void *>(&assoc_list),
              static_cast<void *>(assoc_list.prev));
    LOG_DEBUG("new tarvex_assoc %d", psock_info != nullptr ? psock_info->key : 0);
    tarvex_assoc *assoc = make_connection(usb, psock_info);
    if (assoc != nullptr)
        LOG_DEBUG("new new_connection %d", assoc->key);
    return assoc;
}

tarvex_assoc *get_connection_by_name(uint32_t key_to_find)
{
    list_for_each(pos, &assoc_list)
    {
        tarvex_assoc *assoc = list_entry<tarvex_assoc>(pos);
        if (assoc->key == key_to_find) {
            LOG_DEBUG("hit %d", key_to_find);
            return assoc;
        }
    }
    return nullptr;
}

tarvex_assoc *get_connection_by_sock(const _sock_info *psock_info)
{
    if (psock_info == nullptr)
        return nullptr;
    list_for_each(pos, &assoc_list)
    {
        tarvex_assoc *assoc = list_entry<tarvex_assoc>(pos);
        if (assoc->sock_info != nullptr && assoc->sock_info->key == psock_info->key)
            return assoc;
    }
    return nullptr;
}

static bool held_by(const tarvex_assoc *assoc, const char *client_name)
{
    return client_name == nullptr ||
           (assoc->sock_info != nullptr && strcmp(assoc->sock_info->client_name, client_name) == 0);
}

unsigned get_nb_client_for_usb(uint32_t usb_key, const char *client_name)
{
    unsigned count = 0;
    list_for_each(pos, &assoc_list)
    {
        const tarvex_assoc *assoc = list_entry<tarvex_assoc>(pos);
        if (reaches_probe(assoc) && assoc->tarvex_usb->key == usb_key && held_by(assoc, client_name))
            count++;
    }
    return count;
}

unsigned get_tcp_number_client()
{
    return static_cast<unsigned>(list_count(&assoc_list));
}

void free_connection(tarvex_assoc *assoc)
{
    list_del(&assoc->list);
    free(assoc);
}

void invalidate_connections_of(const struct tarvex_usb *usb)
{
    list_for_each(pos, &assoc_list)
    {
        tarvex_assoc *assoc = list_entry<tarvex_assoc>(pos);
        if (assoc->tarvex_usb == usb) {
            assoc->valid = false;
            assoc->tarvex_usb = nullptr;
        }
    }
}

// Associations on the same probe that stay once this one is gone: those
// already being closed do not count, so of two closes in a row the second is
// the last user whatever order their probe parts finish in.
static unsigned other_users(const tarvex_assoc *closing)
{
    unsigned count = 0;
    list_for_each(pos, &assoc_list)
    {
        const tarvex_assoc *assoc = list_entry<tarvex_assoc>(pos);
        if (assoc != closing && !assoc->closing && reaches_probe(assoc) && assoc->tarvex_usb == closing->tarvex_usb)
            count++;
    }
    return count;
}

bool close_connection_begin(uint32_t assoc_id, bool leave_mode, assoc_close *c)
{
    LOG_DEBUG("close_connection : assoc key %d", assoc_id);
    *c = assoc_close{assoc_id, nullptr, leave_mode, false, false};
    tarvex_assoc *assoc = get_connection_by_name(assoc_id);
    if (assoc == nullptr || assoc->closing)
        return false;
    assoc->closing = true;
    c->began = true;
    if (!reaches_probe(assoc)) {
        // The probe was removed, so this association was its last user: there
        // is nothing to close, but the auto-exit rule applies as for any last
        // close, or a client holding only such associations could never end
        // the server by leaving.
        LOG_DEBUG("close_connection : assoc %d has no probe left", assoc_id);
        c->last_user = true;
        return false;
    }
    c->usb = assoc->tarvex_usb;
    c->last_user = other_users(assoc) == 0;
    LOG_DEBUG("close_connection : usb to find  %d, last user %d", c->usb->key, c->last_user);
    return true;
}

void close_connection_probe_part(const assoc_close *c)
{
    if (c->usb == nullptr || !c->last_user)
        return;
    tarvex_usb_handle_s *h = c->usb->dev;
    // Other clients on the same probe rely on its debug mode, so only the
    // last association takes the probe out of it.
    if (c->leave_mode && h->fd != nullptr)
        tarvex_exit_mode(h, c->key);
    LOG_DEBUG("close_connection : tarvex_usb_close %p", static_cast<void *>(h));
    tarvex_usb_close(h);
    h->fd = nullptr;
}

int close_connection_end(const assoc_close *c)
{
    tarvex_assoc *assoc = c->began ? get_connection_by_name(c->key) : nullptr;
    if (assoc == nullptr)
        return 0;
    if (c->usb != nullptr && c->last_user) {
        entry_step(c->usb, ENTRY_LAST_CLOSED);
        LOG_DEBUG("last tcp client : %d", get_tcp_number_client());
    }
    // The closing association is still listed, so this fires only when it is
    // the last association of all.
    if (c->last_user)
        evaluate_auto_kiil(1);
    free_connection(assoc);
    return 0;
}

bool evaluate_auto_kiil(unsigned wanted_client)
{
    unsigned count = get_tcp_number_client();
    if (auto_exit_flag && count == wanted_client) {
        ask_to_kill = true;
        return true;
    }
    LOG_DEBUG("not ask to exit() because %d", count);
    return ask_to_kill;
}
