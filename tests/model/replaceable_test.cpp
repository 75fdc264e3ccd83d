#include "model/Replaceable.h"

#include <gtest/gtest.h>

#include <memory>

namespace quorvel {
namespace {

int made = 0;
std::shared_ptr<int> makeDefault() {
    ++made;
    return std::make_shared<int>(0);
}

TEST(Replaceable, ScopesRestoreWhatTheyReplacedAndUnsetMeansDefault) {
    made = 0;
    Replaceable<std::shared_ptr<int>> seam(makeDefault);
    const auto original = seam.get();
    EXPECT_EQ(seam.get(), original) << "the default is made once and kept";
    EXPECT_EQ(made, 1);

    const auto outer = std::make_shared<int>(1), inner = std::make_shared<int>(2);
    const auto beforeOuter = seam.replace(outer);
    const auto beforeInner = seam.replace(inner);
    EXPECT_EQ(seam.get(), inner);
    EXPECT_EQ(seam.replace(beforeInner), inner);
    EXPECT_EQ(seam.get(), outer);
    seam.replace(beforeOuter);
    EXPECT_EQ(seam.get(), original);

    seam.replace(nullptr);
    const auto fresh = seam.get();
    ASSERT_TRUE(fresh) << "an unset seam falls back to a new default, never to nothing";
    EXPECT_EQ(made, 2);
}

}  // namespace
}  // namespace quorvel
