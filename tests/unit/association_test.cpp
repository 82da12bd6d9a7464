// The association registry on probe entries that are not open, so no USB
// traffic is involved.
#include <gtest/gtest.h>

#include <cstring>

#include "list_tarvex.h"
#include "sock_info.h"
#include "tarvex_connection.h"

namespace
{

// A binary close as the event loop runs it, with the probe's part in line.
int close_association(uint32_t key)
{
    assoc_close c;
    if (close_connection_begin(key, false, &c))
        close_connection_probe_part(&c);
    return close_connection_end(&c);
}

class Associations : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; i++) {
            memset(&handles_[i], 0, sizeof(handles_[i]));
            memset(&probes_[i], 0, sizeof(probes_[i]));
            probes_[i].dev = &handles_[i];
            probes_[i].key = 0xA000u + static_cast<uint32_t>(i);
            memset(&clients_[i], 0, sizeof(clients_[i]));
            clients_[i].key = 10u + static_cast<uint32_t>(i);
        }
    }
    void TearDown() override
    {
        while (!list_empty(&assoc_list))
            free_connection(list_entry<tarvex_assoc>(assoc_list.next));
        auto_exit_flag = false;
    }
    tarvex_usb_handle_s handles_[2];
    tarvex_usb probes_[2];
    _sock_info clients_[2];
};

TEST_F(Associations, KeysRiseFromTheirStartAndAreNeverReused)
{
    tarvex_assoc *a = add_connection(&probes_[0], &clients_[0]);
    ASSERT_NE(a, nullptr);
    uint32_t first = a->key;
    EXPECT_GE(first, 256u);
    EXPECT_EQ(close_association(first), 0);
    tarvex_assoc *b = add_connection(&probes_[0], &clients_[0]);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->key, first + 1) << "a closed key is not handed out again";
}

TEST_F(Associations, EveryOpenMakesANewAssociationEvenWhenKeysCollide)
{
    tarvex_assoc *a = add_connection(&probes_[0], &clients_[0]);
    ASSERT_NE(a, nullptr);
    // A probe whose key equals an association key must not take that
    // association over from its client.
    probes_[1].key = a->key;
    tarvex_assoc *b = add_connection(&probes_[1], &clients_[1]);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->sock_info, &clients_[0]);
    EXPECT_EQ(a->tarvex_usb, &probes_[0]);
    tarvex_assoc *c = add_connection(&probes_[0], &clients_[0]);
    EXPECT_NE(c->key, a->key);
    EXPECT_EQ(get_nb_client_for_usb(probes_[0].key), 2u);
    EXPECT_EQ(get_tcp_number_client(), 3u);
    EXPECT_EQ(get_connection_by_sock(&clients_[0]), a) << "the client's first association in creation order";
    EXPECT_EQ(get_connection_by_name(b->key), b);
}

TEST_F(Associations, ClosingAnUnknownKeyChangesNothing)
{
    uint32_t key = add_connection(&probes_[0], &clients_[0])->key;
    EXPECT_EQ(close_association(key + 1000), 0);
    EXPECT_EQ(get_tcp_number_client(), 1u);
    EXPECT_EQ(close_association(key), 0);
    EXPECT_EQ(close_association(key), 0);
    EXPECT_EQ(get_tcp_number_client(), 0u);
}

TEST_F(Associations, InvalidAssociationsAreNotCountedAndCloseWithoutTheProbe)
{
    tarvex_assoc *a = add_connection(&probes_[0], &clients_[0]);
    tarvex_assoc *b = add_connection(&probes_[1], &clients_[1]);
    uint32_t key_a = a->key;
    invalidate_connections_of(&probes_[0]);
    EXPECT_FALSE(a->valid);
    EXPECT_EQ(a->tarvex_usb, nullptr);
    EXPECT_TRUE(b->valid);
    EXPECT_EQ(get_nb_client_for_usb(probes_[0].key), 0u);
    EXPECT_EQ(get_tcp_number_client(), 2u) << "still held by its client";
    // The entry is gone: closing must not reach it.
    memset(&probes_[0], 0xDD, sizeof(probes_[0]));
    EXPECT_EQ(close_association(key_a), 0);
    EXPECT_EQ(get_connection_by_name(key_a), nullptr);
    EXPECT_EQ(get_tcp_number_client(), 1u);
}

TEST_F(Associations, AutoExitRuleCountsEveryAssociation)
{
    auto_exit_flag = true;
    add_connection(&probes_[0], &clients_[0]);
    add_connection(&probes_[1], &clients_[1]);
    EXPECT_FALSE(evaluate_auto_kiil(1)) << "two associations, wanted one";
    EXPECT_FALSE(evaluate_auto_kiil(0));
}

// Two closes begun before either ends, as when both wait on the probe's
// worker (they end in the order they began): the first leaves the probe open
// for the other, the second leaves it open for nobody.
TEST_F(Associations, TheProbeStaysOpenUntilItsLastAssociationHasClosed)
{
    probes_[0].state = ENTRY_OPEN;
    uint32_t keys[2] = {add_connection(&probes_[0], &clients_[0])->key, add_connection(&probes_[0], &clients_[1])->key};
    assoc_close closes[2];
    for (int i = 0; i < 2; i++)
        EXPECT_TRUE(close_connection_begin(keys[i], false, &closes[i]));
    EXPECT_FALSE(closes[0].last_user);
    EXPECT_TRUE(closes[1].last_user);
    close_connection_end(&closes[0]);
    EXPECT_EQ(probes_[0].state, ENTRY_OPEN);
    close_connection_end(&closes[1]);
    EXPECT_EQ(probes_[0].state, ENTRY_FOUND);
    EXPECT_EQ(get_tcp_number_client(), 0u);
}

} // namespace
