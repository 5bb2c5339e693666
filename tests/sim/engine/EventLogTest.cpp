// The event log keeps only what one reply can carry, newest lines first kept.
#include <gtest/gtest.h>

#include "TempDir.h"
#include "TokenEventLog.h"

namespace vexa::test::engine {
namespace {

using vexa::sim::engine::CEventLog;

TEST(EventLogTest, DropsWholeOldestLinesAndKeepsThemAcrossRestarts)
{
    TempDir dir("vexa-eventlog");
    const std::string path = dir.file("events.log");
    {
        CEventLog log(path, 64);
        for (int i = 0; i < 10; ++i) {
            log.add("2026-01-01 00:00:0" + std::to_string(i), "event " + std::to_string(i));
        }
        // Each line is 29 bytes: two fit into 64.
        EXPECT_EQ(log.text(), "2026-01-01 00:00:08 event 8\n2026-01-01 00:00:09 event 9\n");
    }
    CEventLog reloaded(path, 40);
    EXPECT_EQ(reloaded.text(), "2026-01-01 00:00:09 event 9\n");
    reloaded.add("2026-01-01 00:00:10", std::string(100, 'x'));
    EXPECT_EQ(reloaded.text().size(), 40u);
    EXPECT_EQ(reloaded.text().back(), '\n');
}

}  // namespace
}  // namespace vexa::test::engine
