// List row objects made and freed in turns, across the blocks they are carved from: each keeps
// its own values, and no two live ones share memory.
#include "counterdb/UCounter.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

namespace {

TEST(RowObjectTest, LiveObjectsKeepTheirValuesWhileOthersComeAndGo) {
    std::vector<std::unique_ptr<TObject>> live;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 2500; ++i) live.push_back(std::make_unique<TCObject>(i, round + i / 8.0, -i));
        // Every other one goes; the next round reuses their memory.
        for (size_t i = 0; i < live.size(); i += 2) live[i].reset();
        std::erase(live, nullptr);
    }
    std::set<const TObject*> seen;
    for (const auto& object : live) {
        ASSERT_TRUE(seen.insert(object.get()).second);
        const auto* row = dynamic_cast<const TCObject*>(object.get());
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->Visits, -row->Hits);
        EXPECT_EQ(row->Date - row->Hits / 8.0, double(int(row->Date - row->Hits / 8.0)));
    }
}

} // namespace
