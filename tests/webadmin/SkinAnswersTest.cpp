// The skin editor page, the skin upload and the image answers, through the web module.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "SkinFileBuilder.h"
#include "WebFixture.h"
#include "imaging/GifImage.h"
#include "webadmin/RequestGuard.h"
#include "webadmin/SkinAnswers.h"
#include "webadmin/SkinType.h"

namespace {

const std::string Boundary = "----KestrowTest7d1";
const std::string SuccessPage =
    "<html><head></head><body text=#003399 bgcolor=#EEEEEE><style><!--  a {text-decoration:none;};  --></style>"
    "<a href=\"/cgi-bin/counter?page=editskins\"><center><font size=+2 color=black>Skin added succesfully! Back to "
    "Skin editor</a><br></body></html>";
const std::string ErrorPage =
    "<html><head></head><body text=#003399 bgcolor=#EEEEEE><style><!--  a {text-decoration:none;};  --></style>"
    "<a href=\"/cgi-bin/counter?page=editskins\"><center><font size=+2 color=black>Error during adding skin! Back "
    "to Skin editor and try again</a><br></body></html>";

struct TFormPart {
    std::string Name;
    std::string Data;
    bool WithType = true;
};

std::string MultipartBody(const std::vector<TFormPart>& parts) {
    std::string body;
    for (const TFormPart& part : parts) {
        body += "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"" + part.Name +
                "\"; filename=\"skin file.skn\"\r\n";
        if (part.WithType) body += "Content-Type: application/octet-stream\r\n";
        body += "\r\n" + part.Data + "\r\n";
    }
    return body + "--" + Boundary + "--\r\n";
}

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

struct TGifFacts {
    std::string Signature;
    int Width = 0;
    int Height = 0;
};

TGifFacts DecodeGif(const std::string& bytes) {
    TGifFacts facts;
    facts.Signature = bytes.substr(0, 6);
    TMemoryStream stream(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    TGIFImage gif;
    gif.LoadFromStream(stream);
    facts.Width = gif.GetWidth();
    facts.Height = gif.GetHeight();
    return facts;
}

class SkinAnswersTest : public WebTest {
protected:
    TCgiAnswer Post(const std::string& body,
                    const std::string& contentType = "multipart/form-data; boundary=" + Boundary,
                    std::string length = {}) {
        if (length.empty()) length = std::to_string(body.size());
        return Request("", {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", contentType}, {"CONTENT_LENGTH", length}},
                       body);
    }

    int32_t SkinCount() {
        int32_t count = 0;
        WithCounter([&](ICounter& counter) { count = counter.GetSkinCount(); });
        return count;
    }

    TCgiAnswer Image(const std::string& query, const std::string& contentType) {
        TCgiAnswer answer = Request(query);
        EXPECT_TRUE(answer.HasHeader("Content-Type: " + contentType)) << query << "\n" << answer.Head;
        EXPECT_TRUE(answer.HasHeader("Content-Length: " + std::to_string(answer.Body.size()))) << query;
        return answer;
    }
};

} // namespace

TEST_F(SkinAnswersTest, LogosPastTheCollectionGiveLogoZeroAndNegativeOnesTheErrorAnswer) {
    TGifFacts first = DecodeGif(Image("logos=1&img=0", "image/gif").Body);
    EXPECT_EQ(first.Signature, "GIF87a");
    EXPECT_EQ(first.Width, 207);
    std::string logo0 = Image("logos=1&img=0", "image/gif").Body;
    for (std::string img : {"5", "abc", "99999999999", ""})
        EXPECT_EQ(Image("logos=1&img=" + img, "image/gif").Body, logo0) << img;
    for (std::string img : {"-1", "-2147483648"}) {
        TCgiAnswer negative = Request("logos=1&img=" + img);
        EXPECT_TRUE(negative.Head.starts_with("Status: 500 Internal Server Error\r\n")) << negative.Head;
        EXPECT_NE(negative.Body.find("Message: List index out of bounds (" + img + ")<br>"), std::string::npos);
    }
    TCgiAnswer path = Request("img=4", {{"PATH_INFO", "/Images"}});
    EXPECT_TRUE(path.HasHeader("Content-Type: image/gif"));
    EXPECT_EQ(DecodeGif(path.Body).Height, 31);
    EXPECT_FALSE(std::filesystem::exists(DatabaseFile()));
}

TEST_F(SkinAnswersTest, DiagramIsAnEmptyGifAnswer) {
    TCgiAnswer answer = Request("diagram=1");
    EXPECT_TRUE(answer.HasHeader("Content-Type: image/gif")) << answer.Head;
    EXPECT_TRUE(answer.HasHeader("Content-Length: 0")) << answer.Head;
    EXPECT_TRUE(answer.Body.empty());
}

TEST_F(SkinAnswersTest, PreviewOfTheDefaultSkinAndOfBadNumbers) {
    TCgiAnswer answer = Image("skin=0", "image/GIF");
    TGifFacts gif = DecodeGif(answer.Body);
    EXPECT_EQ(gif.Signature, "GIF87a");
    EXPECT_EQ(gif.Width, 81);
    EXPECT_EQ(gif.Height, 63) << "the 14-pixel strip below the 81 x 49 background";
    for (std::string skin : {"abc", "-3", "1", "2147483647"})
        EXPECT_EQ(Image("skin=" + skin, "image/GIF").Body, answer.Body) << skin;
}

TEST_F(SkinAnswersTest, UploadStoresTheSkinAsSentAndPreviewsIt) {
    TSkinFile file;
    file.Layout = {2, 6, 77, 3, 1, 2, 20, 70};
    file.Info = InfoBlock("http://a.example/", "Author <b>", "Green");
    file.Colour = 0x000A0B0C;
    TCgiAnswer answer = Post(MultipartBody({{"page", "x", false}, {"file1", Text(file.Bytes())}}));
    EXPECT_TRUE(answer.HasHeader("Content-Type: text/html"));
    EXPECT_EQ(answer.Body, SuccessPage);

    WithCounter([&](ICounter& counter) {
        ASSERT_EQ(counter.GetSkinCount(), 2);
        EXPECT_TRUE(counter.IsSkinComplete(1));
        TSkinImages images;
        counter.GetSkinImages(1, images);
        for (int i = 0; i < SkinImageCount; ++i) EXPECT_EQ(images[size_t(i)]->Bytes(), file.Images[size_t(i)]) << i;
        TSkinInfo info;
        int32_t colour = 0;
        TSkinLayout layout;
        counter.GetSkinInfo(1, info, colour, layout);
        TSkinLayout expected = file.Layout;
        expected.DigitHeight = 14;
        EXPECT_EQ(layout, expected);
        EXPECT_EQ(info.Author(), "Author <b>");
        EXPECT_EQ(colour, 0x000A0B0C);
    });
    TGifFacts gif = DecodeGif(Image("skin=1", "image/GIF").Body);
    EXPECT_EQ(gif.Width, 81);
    EXPECT_EQ(gif.Height, 49) << "overlay: the strip stays on the background";
}

TEST_F(SkinAnswersTest, UploadsThatStoreNothing) {
    const std::string good = Text(TSkinFile().Bytes());
    std::string truncated = good.substr(0, good.size() - 100);
    const std::vector<std::pair<std::string, std::string>> bodies = {
        {"another name", MultipartBody({{"file2", good}})},
        {"no content type", MultipartBody({{"file1", good, false}})},
        {"empty file", MultipartBody({{"file1", ""}})},
        {"truncated skin", MultipartBody({{"file1", truncated}})},
        {"valid then invalid", MultipartBody({{"file1", good}, {"file1", truncated}})},
        {"no closing delimiter", MultipartBody({{"file1", good}}).substr(0, 400)},
        {"preamble", "junk\r\n" + MultipartBody({{"file1", good}})},
    };
    for (const auto& [what, body] : bodies) EXPECT_EQ(Post(body).Body, ErrorPage) << what;
    EXPECT_EQ(Post(MultipartBody({{"file1", good}}), "multipart/form-data; boundary=\"" + Boundary + "\"").Body,
              ErrorPage)
        << "a quoted boundary keeps its quotes";
    EXPECT_EQ(Post(MultipartBody({{"file1", good}}), "multipart/form-data").Body, ErrorPage) << "no boundary";
    EXPECT_EQ(Post("x", "Multipart/Form-Data; boundary=b", std::to_string(MaxMultipartContent + 1)).Body, ErrorPage)
        << "oversized";
    EXPECT_EQ(Post(MultipartBody({{"file1", good}}), "multipart/form-data; boundary=" + Boundary, "99999").Body,
              "Request content is empty!!!");
    TCgiAnswer empty = Post("", "multipart/form-data; boundary=b", "0");
    EXPECT_TRUE(empty.Body.empty());
    EXPECT_FALSE(empty.HasHeader("Content-Length: 0")) << "an empty text body has no length line";
    EXPECT_EQ(SkinCount(), 1);
    EXPECT_EQ(Post(MultipartBody({{"file1", truncated}, {"file1", good}})).Body, SuccessPage) << "the last one counts";
    EXPECT_EQ(SkinCount(), 2);
}

TEST_F(SkinAnswersTest, UploadsPastTheSkinLimitOrFromAnotherSiteStoreNothing) {
    const std::string body = MultipartBody({{"file1", Text(TSkinFile().Bytes())}});
    TCgiAnswer foreign = Request("",
                                 {{"REQUEST_METHOD", "POST"},
                                  {"CONTENT_TYPE", "multipart/form-data; boundary=" + Boundary},
                                  {"CONTENT_LENGTH", std::to_string(body.size())},
                                  {"HTTP_HOST", "counter.example"},
                                  {"HTTP_ORIGIN", "http://evil.example"}},
                                 body);
    EXPECT_NE(foreign.Body.find(CrossSiteRefusalText + " Back to Skin editor</a>"), std::string::npos) << foreign.Body;
    EXPECT_FALSE(std::filesystem::exists(DatabaseFile())) << "refused before the database is opened";

    for (int32_t count = 1; count < MaxSkinCount; ++count) ASSERT_EQ(Post(body).Body, SuccessPage) << count;
    EXPECT_EQ(Post(body).Body, ErrorPage);
    EXPECT_EQ(SkinCount(), MaxSkinCount);
    // A deleted skin makes room again.
    Page("page=editskins&ed=delpg&val=3");
    EXPECT_EQ(Post(body).Body, SuccessPage);
}

TEST_F(SkinAnswersTest, UploadWhileTheDatabaseIsHeld) {
    Request("page=admin");
    int fd = ::open(DatabaseFile().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    TCgiAnswer answer = Post(MultipartBody({{"file1", Text(TSkinFile().Bytes())}}));
    ::close(fd);
    EXPECT_EQ(answer.Body, "Counter database is unavaliable!!! Please, try again in a few second.");
    EXPECT_EQ(SkinCount(), 1);
}

TEST_F(SkinAnswersTest, EditorListsCompleteSkinsAndDeletesWithinBounds) {
    const std::string good = Text(TSkinFile().Bytes());
    ASSERT_EQ(Post(MultipartBody({{"file1", good}})).Body, SuccessPage);
    ASSERT_EQ(Post(MultipartBody({{"file1", good}})).Body, SuccessPage);
    std::string page = Page("page=editskins");
    EXPECT_NE(page.find("<font color=black><br>\r\nEditing Skins. Please, press <b><font color=navy>Add</font></b>"),
              std::string::npos);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(page.find("<input type=radio name=\"val\" value=\"" + std::to_string(i) + "\">Skin # " +
                            std::to_string(i) + "<img src=\"/cgi-bin/counter?skin=" + std::to_string(i) + "\"><br>"),
                  std::string::npos)
            << i;
    for (std::string val : {"x", "-1", "0", "3", "2147483647", "99999999999"})
        Page("page=editskins&ed=delpg&val=" + val);
    EXPECT_EQ(SkinCount(), 3);
    page = Page("page=editskins&ed=delpg&val=1");
    EXPECT_EQ(page.find("Skin # 1<img"), std::string::npos);
    EXPECT_NE(page.find("Skin # 2<img"), std::string::npos) << "numbers keep their gaps";
    EXPECT_NE(page.find("<input type=submit value=\"Delete skin\">\r\n</form></font>"), std::string::npos);
    EXPECT_EQ(SkinCount(), 3);
}

TEST_F(SkinAnswersTest, AddPageIsTheUploadFormAlone) {
    std::string form = Page("page=editskins&ed=addpg");
    EXPECT_EQ(form.substr(0, 38), "<br>\r\n<script language=javascript>\r\n<!");
    EXPECT_NE(form.find("\r\n<form action=\"/cgi-bin/counter?proof=" + ChangeProof() +
                        "\" method=post enctype=\"multipart/form-data\">\r\n"
                        "Skin file name :<input name=\"file1\" type=file size=40><br>\r\n"),
              std::string::npos);
    EXPECT_TRUE(form.ends_with("\r\n</form></font></body></html>"));
    EXPECT_EQ(form.find("<title>"), std::string::npos);
    EXPECT_EQ(CountOf(form, "</html>"), 1u);
    // The counter was released: the database is free for the next process.
    int fd = ::open(DatabaseFile().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST(SkinPreviewPicture, SorryPictureWithoutADatabase) {
    TWebRequest request([](std::string_view) -> std::optional<std::string> { return std::nullopt; },
                        [](char*, size_t) -> size_t { return 0; });
    TBitmap sorry = MakeSkinPreview(request, nullptr);
    EXPECT_EQ(sorry.Width(), 150);
    EXPECT_EQ(sorry.Height(), 40);
    EXPECT_EQ(sorry.Pixel(149, 39), clBlack);
}
