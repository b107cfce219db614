// The CGI layer: request fields from the environment and the body, the exact answer bytes,
// the status 500 answer and the escaping helpers.
#include "platform/Cgi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <unistd.h>

namespace {

// A request over a fixed environment and body; counts the bytes the program asked for.
struct TFakeCgi {
    std::map<std::string, std::string> Env;
    std::string Body;
    size_t Offset = 0;
    size_t BytesRead = 0;

    TWebRequest Request() {
        return TWebRequest(
            [this](std::string_view name) -> std::optional<std::string> {
                auto it = Env.find(std::string(name));
                if (it == Env.end()) return std::nullopt;
                return it->second;
            },
            [this](char* buffer, size_t size) -> size_t {
                size_t n = std::min(size, Body.size() - Offset);
                std::copy_n(Body.data() + Offset, n, buffer);
                Offset += n;
                BytesRead += n;
                return n;
            });
    }
};

const std::string HtmlGuard =
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\nReferrer-Policy: same-origin\r\n";

std::string Answer(TWebRequest& request, const std::function<void(TWebResponse&)>& fill) {
    std::string out;
    TWebResponse response(request, [&](std::string_view bytes) { out += bytes; });
    fill(response);
    return out;
}

TEST(CgiResponse, WritesTheHeaderLinesInOrderWithExactLength) {
    TFakeCgi cgi;
    cgi.Env["SERVER_PROTOCOL"] = "HTTP/1.1";
    TWebRequest request = cgi.Request();
    std::string out = Answer(request, [](TWebResponse& r) {
        r.ContentType = "text/html";
        r.Location = "http://host/cgi-bin/counter";
        r.Content = "<html>\xC3\xA9</html>";
        r.SendResponse();
    });
    EXPECT_EQ(out, "Status: 200 OK\r\nLocation: http://host/cgi-bin/counter\r\nContent-Type: text/html\r\n"
                   "Content-Length: 15\r\n" +
                       HtmlGuard + "Content:\r\n\r\n<html>\xC3\xA9</html>");
}

TEST(CgiResponse, LeavesOutLinesWithoutValue) {
    TFakeCgi cgi;
    TWebRequest request = cgi.Request();
    // No protocol, no location, an empty string body: no Status, Location or length line.
    EXPECT_EQ(Answer(request,
                     [](TWebResponse& r) {
                         r.ContentType = "text/html";
                         r.SendResponse();
                     }),
              "Content-Type: text/html\r\n" + HtmlGuard + "Content:\r\n\r\n");
    // An empty stream body still has its length line.
    EXPECT_EQ(Answer(request,
                     [](TWebResponse& r) {
                         r.ContentType = "image/gif";
                         r.SetContentStream("");
                         r.SendResponse();
                     }),
              "Content-Type: image/gif\r\nContent-Length: 0\r\nContent:\r\n\r\n");
}

TEST(CgiResponse, StreamBodiesAreBinarySafeAndSentOnce) {
    TFakeCgi cgi;
    TWebRequest request = cgi.Request();
    std::string bytes("GIF89a\0\0\r\n\xFF", 11);
    int writes = 0;
    std::string out;
    TWebResponse response(request, [&](std::string_view b) {
        ++writes;
        out += b;
    });
    response.ContentType = "image/gif";
    response.SetContentStream(bytes);
    response.SendResponse();
    response.SendResponse();
    response.SendError("E", "late");
    EXPECT_TRUE(response.Sent());
    EXPECT_EQ(writes, 2) << "the head, then the body, once";
    EXPECT_EQ(out, "Content-Type: image/gif\r\nContent-Length: 11\r\nContent:\r\n\r\n" + bytes);
}

TEST(CgiResponse, ErrorAnswerKeepsLineBreaksOutOfTheHeaderAndEscapesThePage) {
    TFakeCgi cgi;
    TWebRequest request = cgi.Request();
    std::string out = Answer(request, [](TWebResponse& r) {
        r.SendError("EConvertError", "'1\r\nSet-Cookie: x=<b>' is not a valid integer value");
    });
    std::string body = "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1><hr>\r\n"
                       "Exception: EConvertError<br>\r\n"
                       "Message: &#39;1\r\nSet-Cookie: x=&lt;b&gt;&#39; is not a valid integer value<br></html>\r\n";
    EXPECT_EQ(out, "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\n"
                   "Content-Length: " +
                       std::to_string(body.size()) + "\r\n" + HtmlGuard + "Content:\r\n\r\n" + body);
}

TEST(CgiRequest, ReadsFieldsFromTheEnvironment) {
    TFakeCgi cgi;
    cgi.Env = {{"QUERY_STRING", "page=browse&col=20&name=My+Site%21&page=second&flag&bad=%zz%4"},
               {"CONTENT_TYPE", "text/plain"},
               {"HTTP_CONTENT_TYPE", ""},
               {"SCRIPT_NAME", "/cgi-bin/counter"},
               {"REQUEST_METHOD", "GET"},
               {"PATH_INFO", "/Images"}};
    TWebRequest request = cgi.Request();
    EXPECT_EQ(request.QueryField("page"), "browse"); // the first of two wins
    EXPECT_EQ(request.QueryField("col"), "20");
    EXPECT_EQ(request.QueryField("name"), "My Site!");
    EXPECT_EQ(request.QueryField("flag"), "");
    EXPECT_EQ(request.QueryField("bad"), "%zz%4");
    EXPECT_EQ(request.QueryField("Page"), ""); // names compare exactly
    EXPECT_EQ(request.QueryField("missing"), "");
    // An empty HTTP_ variable is looked up again without its prefix.
    EXPECT_EQ(request.ContentType(), "text/plain");
    EXPECT_EQ(request.ScriptName(), "/cgi-bin/counter");
    EXPECT_EQ(request.Method(), "GET");
    EXPECT_EQ(request.PathInfo(), "/Images");
    EXPECT_EQ(request.URL(), "");
    EXPECT_EQ(request.ProtocolVersion(), "");
}

TEST(CgiRequest, ReadsFormEncodedContentFieldsOnlyForThatContentType) {
    TFakeCgi form;
    form.Env = {{"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"CONTENT_LENGTH", "14"}};
    form.Body = "page=edit&x=1&trailing-bytes-never-read";
    TWebRequest request = form.Request();
    EXPECT_EQ(request.ContentField("page"), "edit");
    EXPECT_EQ(request.ContentField("x"), "1");
    EXPECT_EQ(request.Content(), "page=edit&x=1&");
    EXPECT_EQ(form.BytesRead, 14u);

    TFakeCgi plain;
    plain.Env = {{"CONTENT_TYPE", "text/plain"}, {"CONTENT_LENGTH", "9"}};
    plain.Body = "page=edit";
    TWebRequest other = plain.Request();
    EXPECT_EQ(other.ContentField("page"), "");
    EXPECT_EQ(plain.BytesRead, 0u);
}

TEST(CgiRequest, RefusesMalformedOrOversizedLengthsWithoutReading) {
    for (std::string length : {"12x", "-1", " 12", "+12", "99999999999999999999", "65537"}) {
        TFakeCgi cgi;
        cgi.Env = {{"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"CONTENT_LENGTH", length}};
        cgi.Body = std::string(70000, 'a');
        TWebRequest request = cgi.Request();
        EXPECT_THROW(request.ContentFields(), EWebRequestError) << length;
        EXPECT_EQ(cgi.BytesRead, 0u) << length;
    }
    TFakeCgi upload;
    upload.Env = {{"CONTENT_TYPE", "Multipart/Form-Data; boundary=x"},
                  {"CONTENT_LENGTH", std::to_string(MaxMultipartContent + 1)}};
    TWebRequest big = upload.Request();
    EXPECT_THROW(big.ReadClient(8192), EWebRequestError);
    upload.Env["CONTENT_LENGTH"] = std::to_string(MaxMultipartContent);
    TWebRequest allowed = upload.Request();
    EXPECT_EQ(allowed.ContentLength(), MaxMultipartContent);
}

TEST(CgiRequest, ReadClientStopsAtTheLengthAndAtTheEndOfInput) {
    TFakeCgi cgi;
    cgi.Env = {{"CONTENT_TYPE", "multipart/form-data; boundary=b"}, {"CONTENT_LENGTH", "10"}};
    cgi.Body = "0123456789ABCDEF";
    TWebRequest request = cgi.Request();
    EXPECT_EQ(request.ReadClient(4), "0123");
    EXPECT_EQ(request.ReadClient(100), "456789");
    EXPECT_EQ(request.ReadClient(100), "");
    EXPECT_EQ(request.Content(), "0123456789");

    TFakeCgi shortBody;
    shortBody.Env = {{"CONTENT_TYPE", "multipart/form-data"}, {"CONTENT_LENGTH", "10"}};
    shortBody.Body = "abc";
    TWebRequest truncated = shortBody.Request();
    EXPECT_EQ(truncated.ReadClient(100), "abc");
    EXPECT_EQ(truncated.ReadClient(100), "");
    EXPECT_EQ(truncated.Content(), "abc");
}

TEST(CgiRequest, ABodyThatStallsIsGivenUpAfterThePatience) {
    using namespace std::chrono;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(::write(pipeEnds[1], "page=ad", 7), 7);
    std::map<std::string, std::string> env = {{"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                              {"CONTENT_LENGTH", "12"}};
    auto source = [&](std::string_view name) -> std::optional<std::string> {
        auto it = env.find(std::string(name));
        return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    TWebRequest stalled(source, TWebRequest::DescriptorInput(pipeEnds[0], milliseconds(200)));
    auto started = steady_clock::now();
    EXPECT_THROW(stalled.ContentFields(), EWebRequestError);
    EXPECT_GE(steady_clock::now() - started, milliseconds(200));
    EXPECT_EQ(stalled.Content(), "page=ad");

    // A body that arrives in time is read whole.
    ASSERT_EQ(::write(pipeEnds[1], "page=admin12", 12), 12);
    TWebRequest whole(source, TWebRequest::DescriptorInput(pipeEnds[0], milliseconds(200)));
    EXPECT_EQ(whole.ContentField("page"), "admin12");
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

TEST(CgiText, EscapesAndEncodes) {
    EXPECT_EQ(HtmlEscape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#39;f");
    EXPECT_EQ(HtmlEscape("plain text 1.2.3.4"), "plain text 1.2.3.4");
    EXPECT_EQ(HtmlEscapeAttr("a b=c>"), "a&#32;b&#61;c&gt;");
    EXPECT_EQ(UrlEncode("JAN"), "JAN");
    EXPECT_EQ(UrlEncode("a b&c=d/\xC3\xA9"), "a%20b%26c%3Dd%2F%C3%A9");
    EXPECT_EQ(UrlDecode(UrlEncode("x &%+\n\xFF")), "x &%+\n\xFF");
    EXPECT_EQ(UrlDecode("a+b%41%4a%"), "a bAJ%");
}

TEST(CgiText, ExceptionClassNamesAreReadable) {
    EXPECT_EQ(ExceptionClassName(EWebRequestError("x")), "EWebRequestError");
    EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "std::runtime_error");
}

} // namespace
