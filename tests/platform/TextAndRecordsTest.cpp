// The counter's framework pieces: strict integer parsing, ASCII text helpers, typed-value
// records byte for byte, string lists and no-replace renames.
#include "TempDir.h"

#include "platform/FileUtils.h"
#include "platform/OsFile.h"
#include "platform/StrUtils.h"
#include "platform/StringList.h"
#include "platform/TypedStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <numeric>
#include <random>

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(uint8_t(v));
    return bytes;
}

TEST(StrictIntegerTest, AcceptsOnlyWholeSignedDecimalTexts) {
    EXPECT_EQ(TryStrToInt("0"), 0);
    EXPECT_EQ(TryStrToInt("720"), 720);
    EXPECT_EQ(TryStrToInt("+15"), 15);
    EXPECT_EQ(TryStrToInt("-15"), -15);
    EXPECT_EQ(TryStrToInt("007"), 7);
    EXPECT_EQ(TryStrToInt("2147483647"), INT32_MAX);
    EXPECT_EQ(TryStrToInt("-2147483648"), INT32_MIN);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1x", "0x10", "$10", "2147483648", "-2147483649",
                            "99999999999999999999", "1.0", "--1"})
        EXPECT_FALSE(TryStrToInt(bad).has_value()) << bad;
    EXPECT_FALSE(TryStrToInt(std::string_view("12\0", 3)).has_value());
}

TEST(StrictIntegerTest, StrToIntRaisesAndDefaults) {
    EXPECT_THROW(StrToInt("abc"), EConvertError);
    EXPECT_EQ(StrToIntDef("abc", -1), -1);
    EXPECT_EQ(StrToIntDef("42", -1), 42);
    try {
        StrToInt("x1");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }
    EXPECT_EQ(IntToStr(-2147483648LL), "-2147483648");
}

TEST(AsciiTextTest, UpperCaseTrimAndCompare) {
    EXPECT_EQ(UpperCase("http://www.Example.com/a"), "HTTP://WWW.EXAMPLE.COM/A");
    // Bytes above 127 (UTF-8 Cyrillic here) are never touched.
    EXPECT_EQ(UpperCase("\xD0\xB0z"), "\xD0\xB0Z");
    EXPECT_EQ(LowerCase("ABC\xC0"), "abc\xC0");
    EXPECT_EQ(Trim(" \t\r\nab c\x01 "), "ab c");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_TRUE(SameText("Word", "wORD"));
    EXPECT_FALSE(SameText("Word", "Words"));
    EXPECT_LT(CompareStr("ab", "abc"), 0);
    EXPECT_GT(CompareStr("\xFF", "a"), 0);
    EXPECT_EQ(CompareStr(std::string_view("a\0b", 3), std::string_view("a\0b", 3)), 0);
}

TEST(TypedRecordTest, IntegersTakeTheShortestForm) {
    struct Case {
        int32_t value;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {0, Bytes({2, 0})},
        {127, Bytes({2, 0x7F})},
        {-128, Bytes({2, 0x80})},
        {128, Bytes({3, 0x80, 0})},
        {-129, Bytes({3, 0x7F, 0xFF})},
        {32767, Bytes({3, 0xFF, 0x7F})},
        {-32768, Bytes({3, 0x00, 0x80})},
        {32768, Bytes({4, 0x00, 0x80, 0, 0})},
        {INT32_MIN, Bytes({4, 0, 0, 0, 0x80})},
    };
    for (const Case& c : cases) {
        TWriter writer;
        writer.WriteInteger(c.value);
        EXPECT_EQ(writer.Bytes(), c.bytes) << c.value;
        TReader reader(writer.Bytes());
        EXPECT_EQ(reader.ReadInteger(), c.value);
        EXPECT_FALSE(reader.HasMore());
    }
}

TEST(TypedRecordTest, PageRecordOfNewYear2001) {
    TWriter writer;
    writer.WriteDate(36892.0);
    writer.WriteInteger(1);
    EXPECT_EQ(writer.Bytes(), Bytes({0x11, 0, 0, 0, 0, 0x80, 0x03, 0xE2, 0x40, 0x02, 0x01}));
}

TEST(TypedRecordTest, StringsSwitchToLongFormAbove255) {
    TWriter writer;
    writer.WriteString("ab");
    writer.WriteString(std::string(255, 'x'));
    writer.WriteString(std::string(256, 'y'));
    const auto& b = writer.Bytes();
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 4), Bytes({6, 2, 'a', 'b'}));
    EXPECT_EQ(b[4], 6);
    EXPECT_EQ(b[5], 255);
    size_t longAt = 4 + 2 + 255;
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + long(longAt), b.begin() + long(longAt) + 5), Bytes({12, 0, 1, 0, 0}));
    TReader reader(b);
    EXPECT_EQ(reader.ReadString(), "ab");
    EXPECT_EQ(reader.ReadString(), std::string(255, 'x'));
    EXPECT_EQ(reader.ReadString(), std::string(256, 'y'));
    EXPECT_FALSE(reader.HasMore());
}

TEST(TypedRecordTest, ReaderRefusesWrongTagsAndShortData) {
    std::vector<uint8_t> text = Bytes({6, 3, 'a', 'b', 'c'});
    EXPECT_THROW(TReader(text).ReadInteger(), EReadError);
    std::vector<uint8_t> number = Bytes({2, 5});
    EXPECT_THROW(TReader(number).ReadString(), EReadError);
    std::vector<uint8_t> shortText = Bytes({6, 9, 'a'});
    EXPECT_THROW(TReader(shortText).ReadString(), EReadError);
    std::vector<uint8_t> shortInt = Bytes({4, 1, 2});
    EXPECT_THROW(TReader(shortInt).ReadInteger(), EReadError);
    std::vector<uint8_t> empty;
    EXPECT_THROW(TReader(empty).ReadDate(), EReadError);
    std::vector<uint8_t> hugeLength = Bytes({12, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    EXPECT_THROW(TReader(hugeLength).ReadString(), EReadError);
}

TEST(TypedRecordTest, DateAcceptsAnIntegerAsWholeDays) {
    std::vector<uint8_t> bytes = Bytes({4, 0x1C, 0x90, 0, 0}); // 36892
    EXPECT_EQ(TReader(bytes).ReadDate(), 36892.0);
    TWriter writer;
    writer.WriteDate(36892.5);
    EXPECT_EQ(TReader(writer.Bytes()).ReadDate(), 36892.5);
}

class TTracked : public TObject {
public:
    explicit TTracked(int& alive) : Alive(alive) { ++Alive; }
    ~TTracked() override { --Alive; }
    int& Alive;
};

TEST(StringListTest, OwnsItsObjectsAndFindsTextsIgnoringCase) {
    int alive = 0;
    {
        TStringList list;
        list.AddObject("a", std::make_unique<TTracked>(alive));
        list.AddObject("b", std::make_unique<TTracked>(alive));
        list.AddInteger("c", 7);
        EXPECT_EQ(alive, 2);
        EXPECT_NE(list.ObjectAs<TTracked>(0), nullptr);
        EXPECT_EQ(list.ObjectAs<TTracked>(2), nullptr);
        EXPECT_EQ(list.Integers(2), 7);
        list.Delete(0);
        EXPECT_EQ(alive, 1);
        EXPECT_EQ(list.IndexOf("C"), 1) << "lookup ignores ASCII case";
        EXPECT_THROW(list.Strings(2), Exception);
        EXPECT_THROW(list.Strings(-1), Exception);
    }
    EXPECT_EQ(alive, 0);
}

// Random orders of lists of every length up to 40 against the list built afresh in that order:
// each entry, its object and its number move together, and an order that is no permutation is
// refused before anything moves.
TEST(StringListTest, ReorderMovesEachEntryWithItsObjectOnce) {
    std::mt19937 random(7);
    int alive = 0;
    for (size_t length = 0; length <= 40; ++length) {
        TStringList list;
        for (size_t i = 0; i < length; ++i) {
            list.AddObject(std::to_string(i), std::make_unique<TTracked>(alive));
            list.SetInteger(int(i), int32_t(i));
        }
        std::vector<TObject*> objects;
        for (size_t i = 0; i < length; ++i) objects.push_back(list.Objects(int(i)));
        std::vector<uint32_t> order(length);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), random);
        if (length >= 2) {
            std::vector<uint32_t> twice = order;
            twice[0] = twice[1];
            EXPECT_THROW(list.Reorder(twice), Exception);
            EXPECT_THROW(list.Reorder(std::vector<uint32_t>(length - 1)), Exception);
        }
        list.Reorder(order);
        ASSERT_EQ(list.Count(), int(length));
        for (size_t i = 0; i < length; ++i) {
            EXPECT_EQ(list.Strings(int(i)), std::to_string(order[i]));
            EXPECT_EQ(list.Objects(int(i)), objects[order[i]]);
            EXPECT_EQ(list.Integers(int(i)), int32_t(order[i]));
        }
        EXPECT_EQ(alive, int(length));
    }
    EXPECT_EQ(alive, 0);
}

class FileNameTest : public TempDirTest {};

TEST_F(FileNameTest, RenameNeverReplacesAnExistingFile) {
    std::string a = Temp.File("a"), b = Temp.File("b"), c = Temp.File("c");
    TTempDir::WriteBytes(a, Bytes({1}));
    TTempDir::WriteBytes(b, Bytes({2}));
    EXPECT_FALSE(OsFileLayer().RenameNoReplace(a, b));
    EXPECT_EQ(TTempDir::ReadBytes(b), Bytes({2}));
    EXPECT_TRUE(FileExists(a));
    EXPECT_TRUE(OsFileLayer().RenameNoReplace(a, c));
    EXPECT_FALSE(FileExists(a));
    EXPECT_EQ(TTempDir::ReadBytes(c), Bytes({1}));
    EXPECT_NE(ScratchNameBeside(c), ScratchNameBeside(c));
    EXPECT_TRUE(DeleteFileName(c));
    EXPECT_TRUE(DeleteFileName(c));
    EXPECT_FALSE(FileExists(c));
}

TEST(FileName, ProgramPathIsFoundWhenStartedThroughPath) {
    EXPECT_EQ(ProgramFilePath("./cgi-bin/counter"), "./cgi-bin/counter");
    std::string self = ProgramFilePath("platform_tests");
    EXPECT_EQ(self.front(), '/');
    EXPECT_TRUE(FileExists(self));
}

} // namespace
