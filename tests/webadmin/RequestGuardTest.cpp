// What a request may store and from where: home-page URL schemes, changes asked for by
// another web site, and the bounds of stored texts, through the web module on a real database.
#include <filesystem>

#include "WebFixture.h"
#include "webadmin/RequestGuard.h"

namespace {

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

using TEnv = std::map<std::string, std::string>;

class RequestGuard : public WebTest {
protected:
    // Everything a change request could touch, as one text.
    std::string State() {
        std::string state;
        WithCounter([&](ICounter& c) {
            state = c.GetSiteName() + "|" + c.GetHomePageURL() + "|" + IntToStr(c.GetInterval()) + "|";
            auto add = [&](const TStringList& list) {
                for (const auto& entry : list) state += entry.Text + ",";
                state += "|";
            };
            add(c.GetNodeList(0));
            add(c.GetHostList(0));
            add(c.GetSkipList());
            add(c.GetRefererList(0));
            for (int32_t i = 0; i < c.GetSkinCount(); ++i) state += c.IsSkinComplete(i) ? "S" : "-";
        });
        return state;
    }
};

TEST(LinkableURL, AcceptsHttpAndRelativeOnlyAsABrowserReadsThem) {
    for (std::string_view url :
         {"http://example.org/", "HTTPS://example.org", "/default.htm", "default.htm", "//example.org/x", "?page=admin",
          "#top", "a/b:c", "\x7fjavascript:alert(1)", " \thttp://example.org", "ht\ttp:x"})
        EXPECT_TRUE(IsLinkableURL(url)) << url;
    for (std::string_view url : {"javascript:alert(document.domain)", "JavaScript:alert(1)", " javascript:x",
                                 "\x01\x1fjavascript:x", "java\tscr\nipt:x", "jav\rascript:x", "javascript:x \x1f",
                                 "data:text/html,<b>", "vbscript:x", "file:///etc/passwd", "x-y.z+w:anything"})
        EXPECT_FALSE(IsLinkableURL(url)) << url;
}

TEST_F(RequestGuard, AScriptHomePageIsNeitherStoredNorLinked) {
    std::string refused = Page("page=editurl&ed=%20JavaScript:alert(document.domain)");
    EXPECT_TRUE(Has(refused, "<br>Error!!! HomePage URL is <b><font color=navy>not</font></b> changed!!! Current "
                             "Value is: <b><font color=navy>/default.htm</font></b>"));
    EXPECT_TRUE(Has(refused, "<font color=red><b>Not stored: the home page URL must begin with http: or https:"));
    EXPECT_TRUE(
        Has(Page("page=editurl&ed=https://example.org/"), "HomePageURL changed to: <b>https://example.org/</b>"));
    EXPECT_TRUE(Has(Page("page=admin"), "<a href=\"https://example.org/\" target=\"blank\">"));

    // A value stored before is shown as text, not as a link.
    WithCounter([](ICounter& c) { c.SetHomePageURL("java\tscript:alert(1)"); });
    std::string page = Page("page=admin");
    EXPECT_TRUE(Has(page, "<td width=22% align=left><font color=#d3ecfe>java\tscript:alert(1)</font>\r\n<td"));
    EXPECT_FALSE(Has(page, "<a href=\"java"));
}

TEST_F(RequestGuard, ChangesAskedForByAnotherSiteAreRefusedAndOwnOnesKept) {
    Page("page=bradv&ed=add&val=a.html");
    Page("page=editip&ed=add&val=10.0.0.1");
    Page("page=editskip&ed=add&val=10.9.9.9");
    WithCounter([](ICounter& c) {
        c.RegisterReferer("ref.example", Now());
        TSkinImages images;
        c.GetSkinImages(0, images);
        TSkinStreams streams{};
        for (int i = 0; i < SkinImageCount; ++i) streams[size_t(i)] = images[size_t(i)].get();
        c.AddSkin(streams);
    });
    const std::string before = State();
    ASSERT_TRUE(before.ends_with("|REF.EXAMPLE,|SS")) << before;
    const std::vector<std::string> changes = {"page=editsname&ed=Evil",
                                              "page=editurl&ed=http://evil.example/",
                                              "page=editinterval&ed=1",
                                              "page=editip&ed=add&val=1.2.3.4",
                                              "page=editip&ed=del&val=10.0.0.1",
                                              "page=editskip&ed=add&val=1.2.3.4",
                                              "page=editskip&ed=del&val=10.9.9.9",
                                              "page=bradv&ed=add&val=evil.html",
                                              "page=bradv&ed=del&val=a.html",
                                              "page=brref&ed=del&val=REF.EXAMPLE",
                                              "page=editskins&ed=delpg&val=1"};
    const std::vector<TEnv> foreign = {
        {{"HTTP_SEC_FETCH_SITE", "cross-site"}},
        {{"HTTP_SEC_FETCH_SITE", "same-site"}, {"HTTP_HOST", "counter.example"}},
        {{"HTTP_HOST", "counter.example"}, {"HTTP_ORIGIN", "http://evil.example"}},
        {{"HTTP_HOST", "counter.example"}, {"HTTP_ORIGIN", "null"}},
        {{"HTTP_HOST", "counter.example"}, {"HTTP_REFERER", "http://evil.example/counter.example/"}},
        {{"HTTP_HOST", "counter.example"}, {"HTTP_REFERER", "http://counter.example.evil.example/"}},
        {{"HTTP_HOST", "counter.example:8080"}, {"HTTP_ORIGIN", "http://counter.example:9090"}},
        {{"HTTP_HOST", "counter.example"}, {"HTTP_ORIGIN", "https://counter.example"}},
        {{"HTTP_ORIGIN", "http://counter.example"}},
    };
    for (const TEnv& env : foreign)
        for (const std::string& query : changes) {
            TCgiAnswer answer = Request(query, env);
            EXPECT_TRUE(Has(answer.Body, "<font color=red><b>" + CrossSiteRefusalText + "</b></font>")) << query;
            EXPECT_TRUE(answer.Body.ends_with("</body></html>")) << query;
        }
    EXPECT_EQ(State(), before);
    // Nor does a change without the proof of the program's own pages, with no header to tell
    // where it came from (an image with no referrer, a script) or a same-origin one.
    CarriesOwnProof = false;
    std::string wrong = ChangeProof();
    wrong.back() = wrong.back() == 'A' ? 'B' : 'A';
    for (const std::string& query : changes)
        for (const std::string& proof : {std::string(), std::string("&proof="), "&proof=" + wrong,
                                         "&proof=" + LowerCase(ChangeProof()), "&proof=" + ChangeProof() + "0"})
            for (const TEnv& env : {TEnv(), TEnv{{"HTTP_SEC_FETCH_SITE", "same-origin"}}}) {
                TCgiAnswer answer = Request(query + proof, env);
                EXPECT_TRUE(Has(answer.Body, "<font color=red><b>" + Html(ProofRefusalText) + "</b></font>")) << query;
            }
    EXPECT_EQ(State(), before);
    CarriesOwnProof = true;
    // Reading pages from another site is not a change.
    TEnv crossSite = {{"HTTP_SEC_FETCH_SITE", "cross-site"}};
    for (std::string query : {"page=browse", "page=bradv", "page=editsname", "page=editskins&ed=addpg"})
        EXPECT_FALSE(Has(Request(query, crossSite).Body, CrossSiteRefusalText)) << query;

    // The program's own forms, and requests without these headers, change the database.
    const TEnv own = {{"HTTP_HOST", "Counter.Example"},
                      {"HTTP_SEC_FETCH_SITE", "same-origin"},
                      {"HTTP_ORIGIN", "http://counter.example"},
                      {"HTTP_REFERER", "http://counter.example:80/cgi-bin/counter?page=edit"}};
    for (const std::string& query : changes) EXPECT_FALSE(Has(Request(query, own).Body, CrossSiteRefusalText)) << query;
    EXPECT_TRUE(Has(Request("page=editsname&ed=Mine", {{"HTTP_SEC_FETCH_SITE", "none"}}).Body,
                    "Site name changed to: <b><font color=navy>Mine</font></b>"));
    std::string after = State();
    EXPECT_EQ(after, "Mine|http://evil.example/|1|evil.html,|1.2.3.4,|1.2.3.4,||S");
}

TEST_F(RequestGuard, EveryChangingFormCarriesTheProof) {
    Page("page=bradv&ed=add&val=a.html");
    Page("page=editip&ed=add&val=10.0.0.1");
    Page("page=editskip&ed=add&val=10.9.9.9");
    WithCounter([](ICounter& c) { c.RegisterReferer("ref.example", Now()); });
    const std::string proof = ProofInput();
    ASSERT_EQ(proof.size(), std::string("<input name=proof type=hidden value=>").size() + 32);
    size_t changingForms = 0;
    for (std::string page : {"bradv", "brref", "editip", "editskip", "editskins", "editsname", "editurl",
                             "editinterval", "browse", "brdate", "edit", "admin"}) {
        std::string body = Page("page=" + page);
        for (size_t at = body.find("<form"); at != std::string::npos; at = body.find("<form", at + 1)) {
            std::string form = body.substr(at, body.find("</form>", at) - at);
            bool changes = Has(form, "name=ed ") && !Has(form, "value=addpg");
            EXPECT_EQ(Has(form, proof), changes) << page << ": " << form;
            changingForms += changes;
        }
    }
    EXPECT_EQ(changingForms, 11u);
    EXPECT_TRUE(Has(Page("page=editskins&ed=addpg"), "<form action=\"/cgi-bin/counter?proof=" + ChangeProof() + "\""));
    // The proof is kept beside the database, readable by its owner only, and stays the same.
    std::filesystem::path keyFile = DatabaseFile() + "-key";
    EXPECT_EQ(std::filesystem::status(keyFile).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(KeptSecret(keyFile), ChangeProof());
}

TEST_F(RequestGuard, StoredTextsHaveBounds) {
    std::string name(MaxSiteNameLength, 'n');
    EXPECT_TRUE(Has(Page("page=editsname&ed=" + name), "Site name changed to"));
    std::string longer = Page("page=editsname&ed=" + name + "x");
    EXPECT_TRUE(Has(longer, "<br>Error!!! Site name is <b><font color=navy>not</font></b> changed!!!"));
    EXPECT_TRUE(Has(longer, "Not stored: the site name may hold at most 255 bytes, and no NUL, CR or LF."));
    for (std::string bad : {"a%0Db", "a%0Ab", "a%00b"})
        EXPECT_TRUE(Has(Page("page=editsname&ed=" + bad), "Not stored: the site name")) << bad;
    EXPECT_TRUE(
        Has(Page("page=editurl&ed=/" + std::string(MaxHomePageURLLength, 'u')), "Not stored: the home page URL"));
    EXPECT_TRUE(Has(Page("page=editurl&ed=/" + std::string(MaxHomePageURLLength - 1, 'u')), "HomePageURL changed"));

    std::string page(MaxPageNameLength + 1, 'p');
    EXPECT_TRUE(Has(Page("page=bradv&ed=add&val=" + page), "Not stored: a page name may hold at most 1024 bytes"));
    EXPECT_TRUE(Has(Page("page=bradv&ed=add&val=x%0Ay"), "Not stored: a page name"));
    EXPECT_TRUE(Has(Page("page=bradv&ed=add&val=" + page.substr(1)), "<option value=\"" + page.substr(1) + "\">"));
    std::string address(MaxAddressLength + 1, '1');
    for (std::string list : {"editip", "editskip"}) {
        std::string refused = Page("page=" + list + "&ed=add&val=" + address);
        EXPECT_TRUE(refused.find("<font color=black><br><br><font color=red><b>Not stored: an address may hold at "
                                 "most 64 bytes, and no NUL, CR or LF.</b></font><br>\r\n<b><font color=navy>Adding "
                                 "section:") != std::string::npos)
            << list;
        EXPECT_FALSE(Has(refused, "<option")) << list;
        EXPECT_TRUE(Has(Page("page=" + list + "&ed=add&val=" + address.substr(1)), "<option")) << list;
    }
    EXPECT_EQ(State(), std::string(MaxSiteNameLength, 'n') + "|/" + std::string(MaxHomePageURLLength - 1, 'u') +
                           "|720|" + page.substr(1) + ",|" + address.substr(1) + ",|" + address.substr(1) + ",||S");
}

TEST_F(RequestGuard, AnEmptyPageNameIsRefused) {
    std::string refused = Page("page=bradv&ed=add&val=");
    EXPECT_TRUE(Has(refused, "<font color=red><b>Not stored: the page name is empty.</b></font><br>\r\n<br></font>"));
    EXPECT_FALSE(Has(refused, "<select name=val>"));
    EXPECT_EQ(CountOf(Page("page=brdate&type=cus&mon=jan&year=2004"), "<td><font color=black>"), 0u);
}

} // namespace
