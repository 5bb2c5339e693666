#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "SessionTable.h"

using namespace vexa::pkcs11;

namespace {

std::vector<CK_SESSION_HANDLE> handles(const CSessionTable& table)
{
    std::vector<CK_SESSION_HANDLE> all;
    for (const auto& entry : table.all()) {
        all.push_back(entry.first);
    }
    return all;
}

TEST(SessionTableTest, HandlesAreFoundUntilRemoved)
{
    CSessionTable table;
    table.add(5, SessionEntry{1, 2});
    const auto found = table.find(5);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->slot, 1);
    EXPECT_EQ(found->generation, 2u);
    EXPECT_FALSE(table.find(6));
    EXPECT_TRUE(table.remove(5));
    EXPECT_FALSE(table.remove(5));
    EXPECT_FALSE(table.find(5));
}

// Sessions of slot 0 opened on device generations 1 and 2, and of slot 1 on
// generation 1.
TEST(SessionTableTest, ForgetsBySlotAndByDevice)
{
    struct Case {
        const char* name;
        void (*forget)(CSessionTable&);
        std::vector<CK_SESSION_HANDLE> left;
    };
    const Case cases[] = {
        {"slot 0", [](CSessionTable& t) { t.removeSlot(0); }, {30}},
        {"slot 0 not on device 2", [](CSessionTable& t) { EXPECT_EQ(t.removeOtherDevices(0, 2), 1u); }, {20, 30}},
        {"slot 1 not on device 1", [](CSessionTable& t) { EXPECT_EQ(t.removeOtherDevices(1, 1), 0u); }, {10, 20, 30}},
        {"everything", [](CSessionTable& t) { t.clear(); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSessionTable table;
        table.add(10, SessionEntry{0, 1});
        table.add(20, SessionEntry{0, 2});
        table.add(30, SessionEntry{1, 1});
        c.forget(table);
        EXPECT_EQ(handles(table), c.left);
    }
}

TEST(SlotTableTest, FindsSlotsOfTheTableInPlace)
{
    CSlotTable table;
    EXPECT_EQ(table.find(0), nullptr);
    CSlotTable::Table slots;
    for (const SlotId id : {0, 2}) {
        slots.emplace(id, std::make_shared<CSlot>(nullptr, std::make_unique<CExchangeLock>()));
    }
    EXPECT_TRUE(table.replace(std::move(slots)).empty());
    EXPECT_EQ(table.ids(), (std::vector<SlotId>{0, 2}));
    const SlotPtr kept = table.find(2);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(table.find(1), nullptr);
    EXPECT_EQ(table.find(0x100000000ull), nullptr) << "slot ids are not cut to 32 bits";

    const CSlotTable::Table old = table.replace({});
    EXPECT_EQ(old.size(), 2u);
    EXPECT_TRUE(table.ids().empty());
    EXPECT_EQ(kept.use_count(), 2) << "a slot found before lives on with its finder";
}

}  // namespace
