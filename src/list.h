// Intrusive circular doubly linked list. A list is a head node whose links
// point at itself when empty; records embed a list_head as their FIRST field,
// so a node pointer converts back to its record with list_entry<T>().
#pragma once

#include <cstddef>

struct list_head {
    list_head *next;
    list_head *prev;
};

#define LIST_HEAD_INIT(name) \
    {                        \
        &(name), &(name)     \
    }

inline void init_list_head(list_head *head)
{
    head->next = head;
    head->prev = head;
}

inline void list_link_between(list_head *node, list_head *prev, list_head *next)
{
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

// Inserts node right after head (at the front of the list).
inline void list_add(list_head *node, list_head *head)
{
    list_link_between(node, head, head->next);
}

// Inserts node right before head (at the tail of the list).
inline void list_add_tail(list_head *node, list_head *head)
{
    list_link_between(node, head->prev, head);
}

// Unlinks node and clears both of its links.
inline void list_del(list_head *node)
{
    node->next->prev = node->prev;
    node->prev->next = node->next;
    node->next = nullptr;
    node->prev = nullptr;
}

// Moves node from its list to the front of head.
inline void list_move(list_head *node, list_head *head)
{
    list_del(node);
    list_add(node, head);
}

inline bool list_empty(const list_head *head)
{
    return head->next == head;
}

// Number of nodes after the head.
inline unsigned long list_count(const list_head *head)
{
    unsigned long n = 0;
    for (const list_head *pos = head->next; pos != head; pos = pos->next)
        n++;
    return n;
}

// REQUIRES: the list_head is the first field of T.
template <typename T> inline T *list_entry(list_head *node)
{
    return reinterpret_cast<T *>(node);
}

#define list_for_each(pos, head) for (list_head *pos = (head)->next; pos != (head); pos = pos->next)

// Safe against removal of the current node.
#define list_for_each_safe(pos, n, head) \
    for (list_head *pos = (head)->next, *n = pos->next; pos != (head); pos = n, n = pos->next)
