// The learnt-node table against a map, with handles that collide, so that probes run long and
// forgetting moves entries back over the gaps it leaves.
#include "index/LearntNodes.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(LearntNodesTest, KeepsWhatAMapKeepsThroughLearningForgettingAndClearing) {
    std::mt19937 random(7);
    TLearntNodes table;
    struct TKept {
        std::string Text;
        TAtomHandle Value;
    };
    std::map<TAtomHandle, TKept> model;
    // Scattered handles, unlike a file's mostly consecutive ones, make clusters that run past
    // the table's end.
    std::vector<TAtomHandle> handles(3000);
    for (TAtomHandle& handle : handles) handle = TAtomHandle(random() | 1);
    for (int step = 0; step < 200000; ++step) {
        TAtomHandle handle = handles[random() % handles.size()];
        int what = int(random() % 10);
        if (what < 5) {
            std::string text(1 + random() % 40, char('a' + random() % 3));
            size_t children = text.size() > 2 ? text.size() : 0;
            TLearntNode& node = table.Entry(handle, text, children);
            if (!model.count(handle) || model[handle].Text != text) {
                EXPECT_FALSE(node.ValueKnown);
                for (TAtomHandle child : table.Children(node)) ASSERT_EQ(child, 0u);
            }
            node.Value = handle * 3 + text.size();
            node.ValueKnown = true;
            if (children) table.Children(node).back() = handle;
            model[handle] = {text, node.Value};
        } else if (what < 8) {
            table.Erase(handle);
            model.erase(handle);
        } else if (what == 8 && step % 1000 == 0) {
            table.Clear();
            model.clear();
        }
        ASSERT_EQ(table.Size(), model.size()) << "step " << step;
        if (!model.count(handle)) {
            ASSERT_EQ(table.Find(handle), nullptr) << "step " << step;
        }
        if (step % 97 != 0) continue;
        for (const auto& [kept, content] : model) {
            TLearntNode* node = table.Find(kept);
            ASSERT_NE(node, nullptr) << "step " << step << " handle " << kept;
            ASSERT_EQ(table.Text(*node), content.Text);
            ASSERT_EQ(node->Value, content.Value);
            if (!table.Children(*node).empty()) {
                ASSERT_EQ(table.Children(*node).back(), kept);
            }
        }
    }
}

} // namespace
