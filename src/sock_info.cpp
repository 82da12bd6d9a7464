#include "sock_info.h"

#include <cstdlib>
#include <cstring>

#include "access.h"
#include "tarvex_log.h"
#include "tarvex_tcp_cmd.h"

list_head connection_list = LIST_HEAD_INIT(connection_list);
unsigned listening_records;

// The last key handed out; keys are never reused.
static uint32_t sock_info_keys;

_sock_info *alloc_sock_info()
{
    auto *psock_info = static_cast<_sock_info *>(malloc(sizeof(_sock_info)));
    if (psock_info == nullptr) {
        LOG_DEBUG("alloc_init_sock_info: malloc returned NULL.");
        return nullptr;
    }
    LOG_DEBUG("alloc_init_sock_info : Allocated %p", static_cast<void *>(psock_info));
    memset(psock_info, 0, sizeof(*psock_info));
    psock_info->request = tcp_cmd_new_request();
    if (psock_info->request == nullptr) {
        free(psock_info);
        return nullptr;
    }
    psock_info->sock = -1;
    psock_info->key = ++sock_info_keys;
    psock_info->peer_uid = ACCESS_UID_UNKNOWN;
    return psock_info;
}

_sock_info *alloc_sock_info_keyless()
{
    _sock_info *psock_info = alloc_sock_info();
    if (psock_info != nullptr) {
        psock_info->key = 0;
        sock_info_keys--;
    }
    return psock_info;
}

void free_sock_info(_sock_info *psock_info)
{
    LOG_DEBUG("Freed sock_info at %p", static_cast<void *>(psock_info));
    free(psock_info->recd_data.extra);
    free(psock_info->request);
    free(psock_info);
}

unsigned get_nb_tcp_client()
{
    return static_cast<unsigned>(list_count(&connection_list));
}
