#include "tarvex_connection.h"

#include <cstdlib>

#include "list_tarvex.h"
#include "log.h"
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

unsigned get_nb_client_for_usb(uint32_t usb_key)
{
    unsigned count = 0;
    list_for_each(pos, &assoc_list)
    {
        const tarvex_assoc *assoc = list_entry<tarvex_assoc>(pos);
        if (reaches_probe(assoc) && assoc->tarvex_usb->key == usb_key)
            count++;
    }
    return count;
}

unsigned get_usb_number_client(uint32_t usb_key)
{
    return get_nb_client_for_usb(usb_key);
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

// The closing association is the probe's last: close its USB device.
static void close_last_user(tarvex_assoc *assoc)
{
    struct tarvex_usb *usb = assoc->tarvex_usb;
    LOG_DEBUG("close_connection : assoc found as the last user of tarvex %d at %p", assoc->key,
              static_cast<void *>(assoc));
    LOG_DEBUG("close_connection : tarvex_usb_close %p", static_cast<void *>(usb->dev));
    tarvex_usb_close(usb->dev);
    usb->opened = false;
    LOG_DEBUG("last tcp client : %d", get_tcp_number_client());
    usb->dev->fd = nullptr;
    // The closing association is still listed, so this fires only when it is
    // the last association of all.
    evaluate_auto_kiil(1);
}

int close_connection(uint32_t assoc_id)
{
    LOG_DEBUG("close_connection : assoc key %d", assoc_id);
    tarvex_assoc *assoc = get_connection_by_name(assoc_id);
    if (assoc == nullptr)
        return 0;
    if (reaches_probe(assoc)) {
        uint32_t usb_key = assoc->tarvex_usb->key;
        unsigned connection_count = get_usb_number_client(usb_key);
        LOG_DEBUG("close_connection : usb to find  %d, connection_count %d", usb_key, connection_count);
        if (connection_count == 1)
            close_last_user(assoc);
    } else {
        // The probe was removed, so this association was its last user: there
        // is nothing to close, but the auto-exit rule applies as for any last
        // close, or a client holding only such associations could never end
        // the server by leaving.
        LOG_DEBUG("close_connection : assoc %d has no probe left", assoc_id);
        evaluate_auto_kiil(1);
    }
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
