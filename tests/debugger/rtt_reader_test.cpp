// The RTT reader and writer against an in-memory capture that answers as
// the server's does: rings of a fixed size over running positions, a
// position past the end read as the end, a reader behind the ring told what
// it lost, a down queue that takes what fits. The reader must deliver every
// byte once, in order, and count every byte it missed exactly.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "target_rtt.h"

namespace
{

using namespace tarvex_target;

class fake_capture : public rtt_access
{
public:
    struct ring {
        std::string all; // every byte the channel ever wrote; position = index
        uint64_t capacity = 1u << 20;
        uint64_t oldest() const { return all.size() > capacity ? all.size() - capacity : 0; }
    };
    std::map<int, ring> up;
    std::string down;           // what the down queue took
    size_t down_room = 1 << 20; // what it takes before it is full
    uint64_t polls = 0;
    tarvex::rtt_state state = tarvex::RTT_ATTACHED;
    int fail_next = 0; // a RESULT the next request answers
    std::vector<std::string> log;

    int start(unsigned, const rtt_place &) override { return answer("start"); }
    int stop() override { return answer("stop"); }
    int status(tarvex::rtt_status_record *s) override
    {
        s->state = state;
        s->polls = polls++;
        return answer("status");
    }
    int read(int channel, const tarvex::rtt_position &from, uint32_t max, uint32_t wait_ms,
             tarvex::rtt_chunk *chunk) override
    {
        int rc = answer("read " + std::to_string(channel) + " " + (from.at_end ? "end" : std::to_string(from.value)) +
                        " wait " + std::to_string(wait_ms));
        if (rc != TARGET_OK)
            return rc;
        const ring &r = up[channel];
        uint64_t end = r.all.size(), at = from.at_end ? end : from.value;
        at = at > end ? end : at;
        chunk->lost = at < r.oldest() ? r.oldest() - at : 0;
        chunk->start = at + chunk->lost;
        size_t n = static_cast<size_t>(std::min<uint64_t>(max, end - chunk->start));
        chunk->data.assign(r.all.begin() + static_cast<std::ptrdiff_t>(chunk->start),
                           r.all.begin() + static_cast<std::ptrdiff_t>(chunk->start + n));
        return TARGET_OK;
    }
    int write(int channel, const uint8_t *data, size_t len, uint32_t *accepted) override
    {
        int rc = answer("write " + std::to_string(channel) + " " + std::to_string(len));
        if (rc != TARGET_OK)
            return rc;
        size_t n = std::min(len, down_room - down.size());
        down.append(reinterpret_cast<const char *>(data), n);
        *accepted = static_cast<uint32_t>(n);
        return TARGET_OK;
    }

private:
    int answer(const std::string &what)
    {
        log.push_back(what);
        result_ = fail_next;
        fail_next = 0;
        return result_ == 0 ? TARGET_OK : TARGET_FAILED;
    }
};

struct collected {
    std::string bytes;
    uint64_t lost = 0;
};

// Every step's output by channel, checking that each read starts where
// the channel's previous one ended plus what it lost.
std::map<int, collected> collect(const std::vector<rtt_output> &out, std::map<int, uint64_t> *expect_at = nullptr)
{
    std::map<int, collected> by;
    for (const rtt_output &o : out) {
        if (expect_at != nullptr && expect_at->count(o.channel) != 0) {
            EXPECT_EQ(o.position, (*expect_at)[o.channel] + o.lost) << "channel " << o.channel;
        }
        if (expect_at != nullptr)
            (*expect_at)[o.channel] = o.position + o.data.size();
        by[o.channel].bytes.append(o.data.begin(), o.data.end());
        by[o.channel].lost += o.lost;
    }
    return by;
}

TEST(RttReader, FromTheEndShowsOnlyWhatComesAfterItsFirstRead)
{
    fake_capture cap;
    cap.up[0].all = "old output\n";
    rtt_reader reader(cap, {0}, false);
    std::vector<rtt_output> out;
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    EXPECT_TRUE(out.empty());
    cap.up[0].all += "new line\n";
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    cap.up[0].all += "and more";
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    auto by = collect(out);
    EXPECT_EQ(by[0].bytes, "new line\nand more");
    EXPECT_EQ(by[0].lost, 0u);
    EXPECT_EQ(reader.channels()[0].next.value, cap.up[0].all.size());
}

TEST(RttReader, FromTheStartCountsWhatTheRingNoLongerHolds)
{
    fake_capture cap;
    cap.up[0].capacity = 8;
    cap.up[0].all = "0123456789abcdef"; // the ring holds the last 8
    rtt_reader reader(cap, {0}, true);
    std::vector<rtt_output> out;
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].lost, 8u);
    EXPECT_EQ(out[0].position, 8u);
    EXPECT_EQ(std::string(out[0].data.begin(), out[0].data.end()), "89abcdef");
}

TEST(RttReader, AReaderThatFellBehindLosesExactlyWhatWasOverwritten)
{
    fake_capture cap;
    cap.up[1].capacity = 100;
    rtt_reader reader(cap, {1}, false);
    std::vector<rtt_output> out;
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    std::string written;
    std::map<int, uint64_t> at;
    // Bursts of growing size: the later ones overrun the ring between reads.
    for (int burst = 1; burst <= 40; burst++) {
        std::string bytes;
        for (int i = 0; i < burst * 7; i++)
            bytes += static_cast<char>('a' + (written.size() + bytes.size()) % 26);
        cap.up[1].all += bytes;
        written += bytes;
        ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    }
    auto by = collect(out, &at);
    EXPECT_EQ(by[1].bytes.size() + by[1].lost, written.size()) << "every byte is either delivered or counted lost";
    EXPECT_GT(by[1].lost, 0u);
    EXPECT_EQ(reader.channels()[0].lost, by[1].lost);
    // What was delivered is the stream with the lost stretches cut out.
    std::string rebuilt;
    for (const rtt_output &o : out) {
        EXPECT_EQ(std::string(o.data.begin(), o.data.end()), written.substr(o.position, o.data.size()));
        rebuilt += std::string(o.data.begin(), o.data.end());
    }
    EXPECT_EQ(rebuilt, by[1].bytes);
}

TEST(RttReader, ReadsEveryChannelAndWaitsOnlyWhenNoneHadBytes)
{
    fake_capture cap;
    rtt_reader reader(cap, {2, 0}, true);
    cap.up[0].all = "zero";
    cap.up[2].all = "two";
    std::vector<rtt_output> out;
    ASSERT_EQ(reader.step(100, &out), TARGET_OK);
    EXPECT_EQ(cap.log, (std::vector<std::string>{"read 2 0 wait 0", "read 0 0 wait 0"}));
    cap.log.clear();
    ASSERT_EQ(reader.step(100, &out), TARGET_OK);
    EXPECT_EQ(cap.log, (std::vector<std::string>{"read 2 3 wait 0", "read 0 4 wait 0", "read 2 3 wait 100"}))
        << "a quiet round waits on the first channel";
    auto by = collect(out);
    EXPECT_EQ(by[0].bytes, "zero");
    EXPECT_EQ(by[2].bytes, "two");
}

TEST(RttReader, AFailedReadKeepsThePositionSoNothingIsLostOrRepeated)
{
    fake_capture cap;
    rtt_reader reader(cap, {0}, true);
    std::vector<rtt_output> out;
    cap.up[0].all = "before ";
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    cap.up[0].all += "during ";
    cap.fail_next = tarvex_wire::RESULT_RTT_GONE;
    EXPECT_EQ(reader.step(0, &out), TARGET_FAILED);
    EXPECT_EQ(cap.result(), tarvex_wire::RESULT_RTT_GONE);
    cap.up[0].all += "after";
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    auto by = collect(out);
    EXPECT_EQ(by[0].bytes, "before during after");
    EXPECT_EQ(by[0].lost, 0u);
}

TEST(RttReader, SkippingToTheEndDropsWhatWasCapturedBefore)
{
    fake_capture cap;
    cap.up[0].all = "previous firmware\n";
    rtt_reader reader(cap, {0}, true);
    ASSERT_EQ(reader.skip_to_end(), TARGET_OK);
    cap.up[0].all += "this run\n";
    std::vector<rtt_output> out;
    ASSERT_EQ(reader.step(0, &out), TARGET_OK);
    EXPECT_EQ(collect(out)[0].bytes, "this run\n");
}

TEST(RttWriter, SendsInOrderInPiecesTheServerTakesAndKeepsTheRest)
{
    fake_capture cap;
    cap.down_room = 5000;
    rtt_writer writer(cap);
    std::string text;
    for (int i = 0; i < 9000; i++)
        text += static_cast<char>('A' + i % 23);
    writer.queue(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    ASSERT_EQ(writer.push(), TARGET_OK);
    EXPECT_EQ(cap.log, (std::vector<std::string>{"write 0 4096", "write 0 4096"}))
        << "the second piece is taken in part: the queue is full, the push ends";
    EXPECT_EQ(cap.down, text.substr(0, 5000));
    EXPECT_EQ(writer.pending(), 4000u);
    cap.down_room = 1 << 20;
    cap.log.clear();
    ASSERT_EQ(writer.push(), TARGET_OK);
    EXPECT_EQ(cap.log, (std::vector<std::string>{"write 0 4000"}));
    EXPECT_EQ(cap.down, text);
    EXPECT_EQ(writer.pending(), 0u);
}

TEST(RttWriter, AFailedWriteKeepsItsBytes)
{
    fake_capture cap;
    rtt_writer writer(cap);
    writer.queue(reinterpret_cast<const uint8_t *>("hi\n"), 3);
    cap.fail_next = tarvex_wire::RESULT_RTT_STOPPED;
    EXPECT_EQ(writer.push(), TARGET_FAILED);
    EXPECT_EQ(writer.pending(), 3u);
    ASSERT_EQ(writer.push(), TARGET_OK);
    EXPECT_EQ(cap.down, "hi\n");
}

TEST(RttSettle, WaitsForTwoPollsOfAnAttachedBlockAndNoneOtherwise)
{
    fake_capture cap;
    cap.polls = 10;
    ASSERT_EQ(rtt_settle(cap, 10000), TARGET_OK);
    EXPECT_GE(cap.polls, 13u) << "the last status seen shows two polls after the first";
    EXPECT_EQ(cap.log.size(), 3u);
    cap.log.clear();
    cap.state = tarvex::RTT_SEARCHING;
    ASSERT_EQ(rtt_settle(cap, 10000), TARGET_OK);
    EXPECT_EQ(cap.log.size(), 1u) << "nothing is captured while searching: no wait";
}

} // namespace
