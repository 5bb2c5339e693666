#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "ByteQueue.h"

namespace {

using corvel::ByteQueue;
using corvel::PendingAppend;

std::vector<uint8_t> takeAll(ByteQueue& queue)
{
    std::vector<uint8_t> bytes(queue.size());
    queue.take(bytes.data(), bytes.size());
    return bytes;
}

// Random appends, takes and truncations against a std::deque model cross the
// growth and compaction paths many times.
TEST(ByteQueueTest, BehavesAsAFifo)
{
    ByteQueue queue;
    std::deque<uint8_t> model;
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    uint8_t counter = 0;
    for (int step = 0; step < 3000; ++step) {
        const uint32_t action = next(10);
        if (action < 5) {
            std::vector<uint8_t> chunk(next(700));
            for (uint8_t& byte : chunk) {
                byte = counter++;
            }
            queue.append(chunk.data(), chunk.size());
            model.insert(model.end(), chunk.begin(), chunk.end());
        } else if (action < 9) {
            std::vector<uint8_t> out(next(900));
            out.resize(queue.take(out.data(), out.size()));
            ASSERT_EQ(out, std::vector<uint8_t>(model.begin(), model.begin() + static_cast<long>(out.size())));
            model.erase(model.begin(), model.begin() + static_cast<long>(out.size()));
        } else {
            const size_t keep = next(static_cast<uint32_t>(model.size()) + 10);
            queue.truncate(keep);
            if (keep < model.size()) {
                model.resize(keep);
            }
        }
        ASSERT_EQ(queue.size(), model.size()) << "step " << step;
    }
    EXPECT_EQ(takeAll(queue), std::vector<uint8_t>(model.begin(), model.end()));
    EXPECT_TRUE(queue.empty());
}

TEST(ByteQueueTest, PendingAppendKeepsOnlyCommittedBytes)
{
    ByteQueue queue;
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    queue.append(bytes, 2);
    {
        PendingAppend dropped(queue);
        queue.append(bytes + 2, 3);
    }
    EXPECT_EQ(takeAll(queue), (std::vector<uint8_t>{1, 2}));

    queue.append(bytes, 1);
    {
        PendingAppend kept(queue);
        queue.append(bytes + 1, 2);
        kept.restart();
        queue.append(bytes + 4, 2);
        kept.commit();
    }
    EXPECT_EQ(takeAll(queue), (std::vector<uint8_t>{1, 5, 6}));
}

}  // namespace
