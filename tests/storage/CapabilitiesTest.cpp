// Capability texts: parsing, lookup, requirement checks and the storage's own text.
#include "platform/StrUtils.h"
#include "storage/Capabilities.h"

#include <gtest/gtest.h>

namespace {
TRef<TCapabilities> StorageCaps() { return MakeObj<TCapabilities>(nullptr, StorageCapabilityText()); }
} // namespace

TEST(Capabilities, ParsesItemsSkippingEmptyOnes) {
    auto caps = MakeObj<TCapabilities>(nullptr, "A=1;;b = 2\r\n");
    ASSERT_EQ(caps->List.Items().size(), 2u);
    EXPECT_EQ(caps->List.Items()[0].Name, "A");
    EXPECT_EQ(caps->List.Items()[1].Value, 2);
    EXPECT_EQ(caps->GetCapability(";"), "A=1;b=2");
    EXPECT_EQ(MakeObj<TCapabilities>(nullptr, "")->GetCapability(";"), "");
}

TEST(Capabilities, NamesAreCheckedAndComparedWithoutCase) {
    auto caps = StorageCaps();
    EXPECT_EQ(caps->GetCapabilityInt("transactions"), 3);
    EXPECT_EQ(caps->GetCapabilityInt("ABSENT"), -1);
    try {
        caps->GetCapabilityInt("1X");
        FAIL();
    } catch (const ECapListError& error) {
        EXPECT_STREQ(error.what(), "\"1X\" is not a valid capability name");
    }
    EXPECT_EQ(TCapList("_x9 = -4").ValueOf("_X9"), -4);
    EXPECT_THROW(TCapList("9x = 1"), ECapListError);
    EXPECT_THROW(TCapList("a-b = 1"), ECapListError);
    EXPECT_THROW(TCapList("= 1"), ECapListError);
    EXPECT_EQ(TCapList("dup=1,DUP=2").ValueOf("dup"), 1);
}

TEST(Capabilities, RequirementChecks) {
    auto caps = StorageCaps();
    EXPECT_TRUE(caps->CheckCapabilities("TRANSACTIONS=2; CACHE=1"));
    EXPECT_FALSE(caps->CheckCapabilities("MULTITHREADED=1"));
    EXPECT_TRUE(caps->CheckCapabilities(""));
    EXPECT_FALSE(caps->CheckCapabilities("ABSENT=0"));
    EXPECT_TRUE(caps->CheckCapabilities("ABSENT=-1"));
    try {
        caps->CheckCapabilities("X");
        FAIL();
    } catch (const ECapListError& error) {
        EXPECT_STREQ(error.what(), "'=' sign missing in capabilities string");
    }
    try {
        caps->CheckCapabilities("X=abc");
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "'abc' is not a valid integer value");
    }
}

TEST(Capabilities, StorageTextLayout) {
    std::string text = StorageCapabilityText();
    EXPECT_EQ(text.size(), 405u);
    EXPECT_EQ(text.substr(0, 27), "DISTRIBUTED_STORAGE    = 0;");
    EXPECT_EQ(text.substr(27 * 2, 27), "TRANSACTIONS           = 3;");
    EXPECT_EQ(text.substr(27 * 14), "FULL_VERSION           = 1;");
    EXPECT_EQ(StorageCaps()->GetCapability(";").substr(0, 36), "DISTRIBUTED_STORAGE=0;ENUMERATION=2;");
}
