// Request routing of the web program: the default About page, exact answer lines, unknown
// pages, pages named in a form body, a busy database, and failures that become the status 500
// answer.
#include "WebFixture.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace {

const std::string Unknown = "<center><br><br><font color=black><b>Unknown request!!!</b></font>";

// Holds the database the way another process would: an exclusive lock on its own open file.
class TForeignHolder {
public:
    explicit TForeignHolder(const std::string& file) : fd_(::open(file.c_str(), O_RDWR | O_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
    ~TForeignHolder() { ::close(fd_); }

private:
    int fd_;
};

using Dispatch = WebTest;

TEST_F(Dispatch, NoQueryAnswersTheFramedAboutPageAndCreatesTheDatabase) {
    ASSERT_FALSE(std::filesystem::exists(DatabaseFile()));
    TCgiAnswer answer = Request("");
    EXPECT_EQ(answer.Head, "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(answer.Body.size()) + "\r\n" + HtmlGuardLines + "Content:");
    EXPECT_TRUE(answer.Body.starts_with("<html><head><title>Kestrow Web Access - Your Site</title></head>"));
    EXPECT_NE(answer.Body.find("<a href=\"/default.htm\" target=\"blank\"><font color=#d3ecfe>/default.htm</font></a>"),
              std::string::npos);
    EXPECT_NE(answer.Body.find("<font size=+2><b>Your Site</b></font></center>\r\n<br><table width=100% ><tr><td "
                               "width=45% valign=top>" +
                               AboutText + "</td><td width=5%>&nbsp</td><td width=50% valign=top>" + DescriptionText +
                               "</td></tr></table>\r\n<br>" + SeparatorTable),
              std::string::npos);
    EXPECT_TRUE(answer.Body.ends_with("</body></html>"));
    EXPECT_TRUE(std::filesystem::exists(DatabaseFile()));
    EXPECT_FALSE(CounterBase);

    // The same page by name, and a Location line once the URL is known.
    TCgiAnswer named = Request("page=admin", {{"URL", "/cgi-bin/counter"}});
    EXPECT_EQ(named.Body, answer.Body);
    EXPECT_TRUE(named.Head.starts_with("Status: 200 OK\r\nLocation: /cgi-bin/counter\r\nContent-Type: text/html\r\n"));
    // Without a protocol there is no Status line.
    EXPECT_TRUE(Request("", {{"SERVER_PROTOCOL", ""}}).Head.starts_with("Content-Type: text/html\r\n"));
}

TEST_F(Dispatch, ANewDatabaseGetsTheBuiltInSkin) {
    Request("");
    WithCounter([&](ICounter& counter) {
        EXPECT_EQ(counter.GetSkinCount(), 1);
        EXPECT_TRUE(counter.IsSkinComplete(0));
        TSkinImages images;
        counter.GetSkinImages(0, images);
        for (int i = 0; i < SkinImageCount; ++i) {
            ASSERT_TRUE(images[size_t(i)]) << i;
            TBitmap stored;
            stored.LoadFromBMP(images[size_t(i)]->Bytes());
            const TBitmap& builtIn = ImageLibBitmap(Module->DefSkin, i);
            ASSERT_EQ(stored.Width(), builtIn.Width()) << i;
            ASSERT_EQ(stored.Height(), builtIn.Height()) << i;
            for (int y = 0; y < stored.Height(); ++y)
                for (int x = 0; x < stored.Width(); ++x) ASSERT_EQ(stored.Pixel(x, y), builtIn.Pixel(x, y)) << i;
        }
    });
}

TEST_F(Dispatch, PageNamesCompareExactly) {
    TCgiAnswer answer = Request("page=Admin");
    EXPECT_TRUE(answer.Body.starts_with(Unknown + "\r\n<br>" + SeparatorTable));
    EXPECT_EQ(answer.Body.find("<title>"), std::string::npos);
    EXPECT_TRUE(Request("page=nosuch").Body.starts_with(Unknown));
    EXPECT_TRUE(Request("page=browse%20").Body.starts_with(Unknown));
}

TEST_F(Dispatch, PageFromAFormEncodedBody) {
    std::string body = "page=edit";
    TCgiAnswer answer = Request("",
                                {{"REQUEST_METHOD", "POST"},
                                 {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                 {"CONTENT_LENGTH", std::to_string(body.size())}},
                                body);
    EXPECT_NE(answer.Body.find("<input name=page type=radio value=editip checked>Edit IP - address list<br>"),
              std::string::npos);
    // The query field wins over the body.
    TCgiAnswer both = Request("page=brref",
                              {{"REQUEST_METHOD", "POST"},
                               {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                               {"CONTENT_LENGTH", std::to_string(body.size())}},
                              body);
    EXPECT_NE(both.Body.find("<b>Referer list:</b>"), std::string::npos);
}

TEST_F(Dispatch, BusyDatabaseAnswersTheUnavailableTextAtOnce) {
    Request(""); // creates the database
    TForeignHolder holder(DatabaseFile());
    TCgiAnswer answer = Request("page=editurl", {{"URL", "/cgi-bin/counter"}});
    EXPECT_EQ(answer.Head, "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(answer.Body.size()) + "\r\n" + HtmlGuardLines + "Content:");
    EXPECT_TRUE(answer.Body.starts_with("<html><head><title>Kestrow Web Access - </title>"));
    EXPECT_NE(answer.Body.find("<td width=22% align=left><font color=red><b>Navigation</b></font>"), std::string::npos);
    EXPECT_TRUE(
        answer.Body.ends_with("<font size=+2><b></b></font></center><font color=black><br>"
                              "Counter base is unavaliable, please try again in few second.<br>"
                              "<a href=\"/cgi-bin/counter?page=admin\">Enter into admin interface</a></body></html>"));
    EXPECT_FALSE(CounterBase);

    for (std::string page : {"browse", "bradv", "brref", "brdate", "editinterval", "editsname", "editip", "editskip"})
        EXPECT_NE(Request("page=" + page).Body.find("Counter base is unavaliable"), std::string::npos) << page;
    // The settings menu needs no database.
    std::string menu = Request("page=edit").Body;
    EXPECT_NE(menu.find("value=editskip>Edit Skip - address<br>"), std::string::npos);
    EXPECT_TRUE(menu.ends_with("</body></html>"));
}

TEST_F(Dispatch, AnExceptionInABodyBecomesTheErrorAnswer) {
    TCgiAnswer answer = Request("page=browse&col=x1");
    EXPECT_TRUE(answer.Head.starts_with("Status: 500 Internal Server Error\r\nContent-Type: text/html\r\n"));
    EXPECT_EQ(answer.Body,
              "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1><hr>\r\n"
              "Exception: EConvertError<br>\r\nMessage: &#39;x1&#39; is not a valid integer value<br></html>\r\n");
    // The exception released the database on its way out: the next request finds it free.
    EXPECT_FALSE(CounterBase);
    EXPECT_NE(Request("page=browse").Body.find("Total IP count:"), std::string::npos);

    // Request text never reaches the header block: the reason is fixed, the message (escaped)
    // stays in the body.
    TCgiAnswer injected = Request("page=brdate&type=cus&mon=jan&year=1%0D%0ALocation:%20http://x");
    EXPECT_TRUE(injected.Head.starts_with("Status: 500 Internal Server Error\r\n"));
    EXPECT_EQ(CountOf(injected.Head, "\r\n"), 6u);
    EXPECT_EQ(injected.Head.find("\r\nLocation"), std::string::npos);
    TCgiAnswer markup = Request("page=browse&col=1%22%3E%3Cscript%3Ex%3C/script%3E");
    EXPECT_TRUE(markup.Head.starts_with("Status: 500 Internal Server Error\r\nContent-Type: text/html\r\n"));
    EXPECT_EQ(markup.Head.find("script"), std::string::npos);
    EXPECT_NE(markup.Body.find("Message: &#39;1&quot;&gt;&lt;script&gt;x&lt;/script&gt;&#39; is not a valid"),
              std::string::npos);
}

TEST_F(Dispatch, OversizedFormBodyIsRefusedUnread) {
    TCgiAnswer answer = Request("",
                                {{"REQUEST_METHOD", "POST"},
                                 {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                 {"CONTENT_LENGTH", "1000000"}},
                                std::string(1000000, 'a'));
    EXPECT_TRUE(answer.Head.starts_with("Status: 500 Internal Server Error\r\n"));
    EXPECT_NE(answer.Body.find("Message: Request content too large<br>"), std::string::npos);
}

} // namespace
