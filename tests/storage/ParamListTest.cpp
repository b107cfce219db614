// Parameter texts and the storage's parameters.
#include "platform/StrUtils.h"
#include "storage/ParamList.h"
#include "storage/Support.h"

#include <gtest/gtest.h>

namespace {
constexpr const char* ClassText = "{28C7266E-7262-431C-BF61-DCB4F19C8DC0}";

std::string StorageParamError(const std::string& text) {
    TOstraStorageParameters params;
    try {
        ParseStorageParameters(text, params);
    } catch (const EKVZError& error) {
        EXPECT_EQ(error.Code, 19);
        return error.what();
    }
    return "";
}
} // namespace

TEST(ParamList, SplitsItemsNamesAndValues) {
    TParamList list(";; ,Mode = READONLY ,");
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Items(0).Name, "Mode");
    EXPECT_EQ(list.Items(0).Value, "READONLY");

    list.Parse("a:1=2\nflag; :skipped; b = x:y ,c");
    ASSERT_EQ(list.Count(), 4u);
    EXPECT_EQ(list.Items(0).Value, "1=2");
    EXPECT_EQ(list.Items(1).Name, "flag");
    EXPECT_EQ(list.Items(1).Value, "");
    EXPECT_EQ(list.Items(2).Value, "x:y");
    EXPECT_EQ(list.Items(3).Name, "c");
    EXPECT_THROW(list.Items(4), EInvalidIndex);
}

TEST(ParamList, LookupAndTypedValues) {
    TParamList list("Size=12; size=13; On=yes; Off=OFF; Bad=maybe; G=" + std::string(ClassText));
    EXPECT_EQ(list.GetInt("SIZE"), 12);
    EXPECT_TRUE(list.Exists("on"));
    EXPECT_FALSE(list.Exists("missing"));
    EXPECT_TRUE(list.ParamByName("On").AsBoolean());
    EXPECT_FALSE(list.ParamByName("off").AsBoolean());
    try {
        list.ParamByName("Bad").AsBoolean();
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "\"maybe\" is not a valid boolean value");
    }
    try {
        list.ParamByName("missing");
        FAIL();
    } catch (const EParamParserError& error) {
        EXPECT_STREQ(error.what(), "\"missing\" - unknown parameter");
    }
    EXPECT_EQ(list.ParamByName("G").AsGUID().ToString(), ClassText);
    EXPECT_THROW(list.ParamByName("On").AsInteger(), EConvertError);
    // A failed conversion is tried again, a successful one is kept.
    TParam& bad = list.ParamByName("Bad");
    bad.Value = "7";
    EXPECT_EQ(bad.AsInteger(), 7);
    bad.Value = "8";
    EXPECT_EQ(bad.AsInteger(), 7);
}

TEST(ParamList, StorageParameterDefaultsAndValues) {
    TOstraStorageParameters params;
    params.Cache = 5;
    ParseStorageParameters("", params);
    EXPECT_EQ(params.Mode, TOpenMode::OpenOrCreate);
    EXPECT_TRUE(params.Classes.empty());
    EXPECT_FALSE(params.WriteThrough);
    EXPECT_EQ(params.Cache, 0);
    EXPECT_EQ(params.AtomSizeAlign, 1);

    ParseStorageParameters("Mode:Open; Class:" + std::string(ClassText), params);
    EXPECT_EQ(params.Mode, TOpenMode::Open);
    ASSERT_EQ(params.Classes.size(), 1u);
    EXPECT_EQ(params.Classes[0].ToString(), ClassText);

    ParseStorageParameters("mode=cReAtE; class={00000000-0000-0000-0000-000000000001}; Class=" +
                               std::string(ClassText) + "; Cache=100; WriteThrough=ON; AtomSizeAlign=255",
                           params);
    EXPECT_EQ(params.Mode, TOpenMode::Create);
    ASSERT_EQ(params.Classes.size(), 2u);
    EXPECT_EQ(params.Classes[1].ToString(), ClassText);
    EXPECT_EQ(params.Cache, 100);
    EXPECT_TRUE(params.WriteThrough);
    EXPECT_EQ(params.AtomSizeAlign, 255);
    for (const char* yes : {"yes", "ON", "1", "True"}) {
        ParseStorageParameters(std::string("WriteThrough=") + yes, params);
        EXPECT_TRUE(params.WriteThrough) << yes;
    }
}

TEST(ParamList, StorageParameterErrors) {
    EXPECT_EQ(StorageParamError("Mode=sometimes"), "SOMETIMES: Invalid MODE value");
    EXPECT_EQ(StorageParamError("Class=nope"), "nope: Invalid CLASS value");
    EXPECT_EQ(StorageParamError("Cache=big"), "big: Invalid CACHE value");
    EXPECT_EQ(StorageParamError("WriteThrough=maybe"), "maybe: Invalid WRITETHROUGH value");
    EXPECT_EQ(StorageParamError("AtomSizeAlign=256"), "256: Invalid AtomSizeAlign value");
    EXPECT_EQ(StorageParamError("AtomSizeAlign=0"), "0: Invalid AtomSizeAlign value");
    EXPECT_EQ(StorageParamError("Cachesize=1"), "Cachesize: Unknown parameter");
    // The first error ends processing; what came before it stays.
    TOstraStorageParameters params;
    EXPECT_THROW(ParseStorageParameters("Mode=Open; Bad=1; Cache=3", params), EKVZError);
    EXPECT_EQ(params.Mode, TOpenMode::Open);
    EXPECT_EQ(params.Cache, 0);
}

TEST(ParamList, StripFileScheme) {
    EXPECT_EQ(StripFileScheme("FILE://C:\\data\\x"), "C:\\data\\x");
    EXPECT_EQ(StripFileScheme("file:///tmp/x"), "/tmp/x");
    EXPECT_EQ(StripFileScheme("C:\\data\\x"), "C:\\data\\x");
    EXPECT_EQ(StripFileScheme("file:/"), "file:/");
}
