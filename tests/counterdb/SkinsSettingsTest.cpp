// Skins and site settings: adding, deleting and clearing skin slots, completeness, information
// records with their defaults, and the settings texts, each surviving a reopen.
#include "CounterTestSupport.h"

namespace {

class SkinsSettingsTest : public CounterTest {};

std::string Names(ICounter& c) {
    std::string all;
    for (const auto& e : c.GetSkinNames()) all += e.Text + ";";
    return all;
}

TEST_F(SkinsSettingsTest, AddAndDeleteSkinsSurviveReopen) {
    TSkinSet one = MakeSkinSet(1), two = MakeSkinSet(2);
    Session([&](ICounter& c) {
        EXPECT_TRUE(c.AddSkin(one.View()));
        EXPECT_TRUE(c.AddSkin(two.View()));
        c.DeleteSkin(1);
        c.DeleteSkin(0);
    });
    Session([&](ICounter& c) {
        EXPECT_EQ(c.GetSkinCount(), 3);
        EXPECT_EQ(Names(c), "Assigned image # 0;UnAssigned;Assigned image # 2;");
        EXPECT_FALSE(c.IsSkinComplete(1));
        EXPECT_TRUE(c.IsSkinComplete(2));
        TSkinImages images, zero;
        c.GetSkinImages(2, images);
        for (int i = 0; i < SkinImageCount; ++i) EXPECT_EQ(images[size_t(i)]->Bytes(), two.Bytes(i));
        c.GetSkinImages(1, images);
        c.GetSkinImages(0, zero);
        for (int i = 0; i < SkinImageCount; ++i) EXPECT_EQ(images[size_t(i)]->Bytes(), zero[size_t(i)]->Bytes());
        c.ClearSkins();
        EXPECT_EQ(c.GetSkinCount(), 1);
        EXPECT_TRUE(c.IsSkinComplete(0));
    });
}

TEST_F(SkinsSettingsTest, SkinIndexesOutsideTheSlotsAreIgnored) {
    Session([](ICounter& c) {
        c.DeleteSkin(2000000000);
        c.DeleteSkin(-5);
        c.DeleteSkin(1);
        EXPECT_EQ(c.GetSkinCount(), 1);
        EXPECT_FALSE(c.IsSkinComplete(7));
        EXPECT_FALSE(c.IsSkinComplete(-1));
        TSkinInfo texts;
        texts.SetName("untouched");
        int32_t colour = 5;
        TSkinLayout header{9, 9, 9, 9, 9, 9, 9, 9};
        c.GetSkinInfo(3, texts, colour, header);
        c.GetSkinInfo(-1, texts, colour, header);
        EXPECT_EQ(texts.Name(), "untouched");
        EXPECT_EQ(colour, 5);
        EXPECT_EQ(header.Align, 9);
        c.SetSkinInfo(4, header, texts, colour, nullptr);
        EXPECT_EQ(c.GetSkinCount(), 1);
        TSkinImages images;
        c.GetSkinImages(99, images);
        EXPECT_FALSE(images[0]->Bytes().empty());
    });
}

TEST_F(SkinsSettingsTest, MissingOrEmptyImages) {
    TSkinSet set = MakeSkinSet(3);
    Session([&](ICounter& c) {
        TSkinStreams partial = set.View();
        partial[10] = nullptr;
        EXPECT_THROW(c.AddSkin(partial), Exception);
        EXPECT_EQ(c.GetSkinCount(), 1) << "nothing is linked for a refused skin";
        set.Streams[8].Clear(); // digit 7
        EXPECT_TRUE(c.AddSkin(set.View()));
        EXPECT_FALSE(c.IsSkinComplete(1));
    });
}

TEST_F(SkinsSettingsTest, SkinInfoDefaultsAreStoredAndKept) {
    TSkinSet set = MakeSkinSet(4);
    Session([&](ICounter& c) {
        c.AddSkin(set.View());
        TSkinInfo texts;
        int32_t colour = 0;
        TSkinLayout header{0, 0, 0, 0, 0, 0, 0, 0};
        c.GetSkinInfo(1, texts, colour, header);
        EXPECT_EQ(header, TSkinLayout{});
        EXPECT_EQ(header.Bytes(), (std::array<uint8_t, 26>{2, 6, 0, 0, 0, 14, 0, 0, 0, 0,  0, 0, 0,
                                                           0, 3, 0, 0, 0, 25, 0, 0, 0, 81, 0, 0, 0}));
        EXPECT_EQ(texts.URL(), "http://");
        EXPECT_EQ(texts.Author(), "Unknown author");
        EXPECT_EQ(texts.Name(), "Noname");
        EXPECT_EQ(colour, 13611961);
    });
    Session([&](ICounter& c) {
        TSkinInfo texts;
        int32_t colour = 0;
        TSkinLayout header{0, 0, 0, 0, 0, 0, 0, 0};
        c.GetSkinInfo(1, texts, colour, header);
        EXPECT_EQ(header, TSkinLayout{});
        EXPECT_EQ(texts.Name(), "Noname");
        EXPECT_EQ(colour, 13611961);

        texts.SetName("Night");
        texts.SetAuthor(std::string(300, 'a'));
        c.SetSkinInfo(1, TSkinLayout{1, 4, 20, 3, 1, 2, 5, 60}, texts, 0x123456, nullptr);
    });
    Session([&](ICounter& c) {
        TSkinInfo texts;
        int32_t colour = 0;
        TSkinLayout header;
        c.GetSkinInfo(1, texts, colour, header);
        EXPECT_EQ(header, (TSkinLayout{1, 4, 20, 3, 1, 2, 5, 60}));
        EXPECT_EQ(texts.Name(), "Night");
        EXPECT_EQ(texts.Author(), std::string(255, 'a'));
        EXPECT_EQ(colour, 0x123456);
    });
}

TEST_F(SkinsSettingsTest, SkinInfoRecordBytes) {
    TSkinSet set = MakeSkinSet(5);
    Session([&](ICounter& c) {
        c.AddSkin(set.View());
        TSkinInfo texts;
        texts.SetURL("u");
        texts.SetAuthor("au");
        texts.SetName("nam");
        c.SetSkinInfo(1, TSkinLayout{1, -2, 3, 4, 5, 6, 7, 0x01020304}, texts, 0x00CFB3B9, nullptr);
    });
    TRawDatabase raw(DbFile());
    TRef<IVirtualAtom> skins = raw.Link(2);
    TRef<IVirtualAtom> skin = skins->OpenLinkAccess(1, AccessReadOnly);
    TRef<IVirtualAtom> info = skin->OpenLinkAccess(11, AccessReadOnly);
    std::vector<uint8_t> bytes = info->GetBytes();
    ASSERT_EQ(bytes.size(), 798u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 26),
              ByteList({1, 0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 4, 0, 0, 0, 5, 6, 0, 0, 0, 7, 0, 0, 0, 4, 3, 2, 1}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 26, bytes.begin() + 28), ByteList({1, 'u'}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 282, bytes.begin() + 285), ByteList({2, 'a', 'u'}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 538, bytes.begin() + 542), ByteList({3, 'n', 'a', 'm'}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 794, bytes.end()), ByteList({0xB9, 0xB3, 0xCF, 0}));
    for (uint32_t digit = 0; digit < 10; ++digit)
        EXPECT_EQ(skin->OpenLinkAccess(digit, AccessReadOnly)->GetBytes(), set.Bytes(int(digit) + 1));
    EXPECT_EQ(skin->GetBytes(), set.Bytes(0));
}

TEST_F(SkinsSettingsTest, SettingsSurviveReopen) {
    Session([](ICounter& c) {
        EXPECT_EQ(c.GetHomePageURL(), "/default.htm");
        c.SetHomePageURL("");
        c.SetSiteName("");
        c.SetPassword("");
        c.SetInterval(30);
    });
    {
        TRawDatabase raw(DbFile());
        EXPECT_EQ(raw.Text(6), "/default.htm") << "the first read stores the default";
        EXPECT_EQ(raw.Text(4), "30");
    }
    Session([](ICounter& c) {
        EXPECT_EQ(c.GetHomePageURL(), "/default.htm");
        EXPECT_EQ(c.GetSiteName(), "");
        EXPECT_EQ(c.GetPassword(), "");
        EXPECT_EQ(c.GetInterval(), 30);
        c.SetHomePageURL("/start.html");
        c.SetSiteName("Example \xD0\xA1\xD0\xB0\xD0\xB9\xD1\x82");
        c.SetPassword("pa ss");
    });
    Session([](ICounter& c) {
        EXPECT_EQ(c.GetHomePageURL(), "/start.html");
        EXPECT_EQ(c.GetSiteName(), "Example \xD0\xA1\xD0\xB0\xD0\xB9\xD1\x82");
        EXPECT_EQ(c.GetPassword(), "pa ss");
    });
}

} // namespace
