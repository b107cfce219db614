// Taking multipart bodies apart: header fields, the boundary, and part by part splitting.
#include <gtest/gtest.h>

#include "webadmin/Multipart.h"

namespace {

TWebRequest RequestWith(std::string contentType, std::string body = {}) {
    auto env = [contentType,
                length = std::to_string(body.size())](std::string_view name) -> std::optional<std::string> {
        if (name == "CONTENT_TYPE") return contentType;
        if (name == "CONTENT_LENGTH") return length;
        return std::nullopt;
    };
    auto offset = std::make_shared<size_t>(0);
    auto input = [body, offset](char* buffer, size_t size) {
        size_t n = std::min({size, body.size() - *offset, size_t(1000)}); // a slow client
        std::copy_n(body.data() + *offset, n, buffer);
        *offset += n;
        return n;
    };
    return TWebRequest(env, input);
}

bool Within(std::string_view view, const std::string& body) {
    return view.data() >= body.data() && view.data() + view.size() <= body.data() + body.size();
}

} // namespace

TEST(HeaderFields, SplitsAtSemicolonsAndKeepsOrDropsQuotes) {
    auto kept = ExtractHeaderFields(R"(form-data; name="file1";  filename="my skin; v2.skn")", false);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], "form-data");
    EXPECT_EQ(kept[1], R"(name="file1")");
    EXPECT_EQ(kept[2], R"(filename="my skin; v2.skn")");
    auto stripped = ExtractHeaderFields(R"(form-data; name="file1";  filename="my skin; v2.skn")", true);
    EXPECT_EQ(HeaderFieldValue(stripped, "NAME"), "file1");
    EXPECT_EQ(HeaderFieldValue(stripped, "filename"), "my skin; v2.skn");
    EXPECT_EQ(HeaderFieldValue(stripped, "size"), "");
}

TEST(HeaderFields, BoundaryOfTheContentType) {
    EXPECT_EQ(GetBoundary(RequestWith("multipart/form-data; boundary=----abc123")), "----abc123");
    EXPECT_EQ(GetBoundary(RequestWith("MULTIPART/FORM-DATA;BOUNDARY=x")), "x");
    EXPECT_EQ(GetBoundary(RequestWith("multipart/form-data; boundary=\"q r\"")), "\"q r\"");
    EXPECT_EQ(GetBoundary(RequestWith("multipart/form-data")), "");
    const std::string longest(70, '-');
    EXPECT_EQ(GetBoundary(RequestWith("multipart/form-data; boundary=\"" + longest + "\"")), '"' + longest + '"');
    EXPECT_EQ(GetBoundary(RequestWith("multipart/form-data; boundary=" + longest + "-")), "")
        << "a longer one would make each search through the body cost its length again";
}

TEST(RequestBody, ReadsUpToTheContentLength) {
    std::string body(50000, 'z');
    TWebRequest request = RequestWith("multipart/form-data; boundary=b", body);
    EXPECT_EQ(ReadRequestBody(request), body);
    TWebRequest oversized = RequestWith("multipart/form-data; boundary=b");
    auto env = [](std::string_view name) -> std::optional<std::string> {
        if (name == "CONTENT_TYPE") return "multipart/form-data; boundary=b";
        if (name == "CONTENT_LENGTH") return std::to_string(MaxMultipartContent + 1);
        return std::nullopt;
    };
    TWebRequest tooLarge(env, [](char*, size_t) -> size_t {
        ADD_FAILURE() << "read";
        return 0;
    });
    EXPECT_THROW(ReadRequestBody(tooLarge), EWebRequestError);
}

TEST(SplitNextPart, WalksThePartsAsViewsIntoTheBody) {
    const std::string body = "--XyZ\r\n"
                             "Content-Disposition: form-data; name=\"page\"\r\n"
                             "\r\n"
                             "editskins\r\n"
                             "--XyZ\r\n"
                             "content-disposition :  form-data; name=\"file1\"; filename=\"a.skn\"  \r\n"
                             "Content-Type: application/octet-stream\r\n"
                             "\r\n"
                             "\x01\x02--Xy\r\n\r\nZ\r\n"
                             "--XyZ--\r\n";
    TMultipartCursor cursor;
    TMultipartPart part;
    ASSERT_TRUE(SplitNextPart("--XyZ", body, cursor, part));
    EXPECT_EQ(part.Data, "editskins");
    EXPECT_TRUE(Within(part.Data, body));
    EXPECT_EQ(ExtractHeaderFields(part.Header("CONTENT-DISPOSITION"), true)[1], "name=page");
    EXPECT_EQ(part.Header("Content-Type"), "");

    ASSERT_TRUE(SplitNextPart("--XyZ", body, cursor, part));
    EXPECT_EQ(part.Data, std::string_view("\x01\x02--Xy\r\n\r\nZ"));
    EXPECT_TRUE(Within(part.Data, body));
    EXPECT_EQ(part.Header("Content-Disposition"), "form-data; name=\"file1\"; filename=\"a.skn\"");
    EXPECT_EQ(part.Header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(body.substr(cursor.Offset), "--XyZ--\r\n");

    EXPECT_FALSE(SplitNextPart("--XyZ", body, cursor, part)) << "only the closing delimiter is left";
    EXPECT_EQ(cursor.Offset, body.size());
    EXPECT_TRUE(part.Headers.empty());
}

TEST(SplitNextPart, RefusesBodiesWithoutLeadingOrClosingDelimiter) {
    TMultipartPart part;
    for (std::string body :
         {std::string("preamble\r\n--B\r\n\r\nx\r\n--B--\r\n"), std::string("--B\r\n\r\nx\r\n--B\r\n"),
          std::string("--B--\r\n"), std::string("--B"), std::string()}) {
        TMultipartCursor cursor;
        EXPECT_FALSE(SplitNextPart("--B", body, cursor, part)) << body;
        EXPECT_EQ(cursor.Offset, body.size());
    }
    TMultipartCursor past{99};
    std::string body = "--B\r\n\r\nx\r\n--B--";
    EXPECT_FALSE(SplitNextPart("--B", body, past, part)) << "an offset past the end";
}

TEST(SplitNextPart, PartsWithoutBlankLineOrContent) {
    std::string body = "--B\r\nName: only\r\n--B\r\n--B--\r\n";
    TMultipartCursor cursor;
    TMultipartPart part;
    ASSERT_TRUE(SplitNextPart("--B", body, cursor, part));
    EXPECT_EQ(part.Header("name"), "only");
    EXPECT_TRUE(part.Data.empty());
    ASSERT_TRUE(SplitNextPart("--B", body, cursor, part)) << "an empty part";
    EXPECT_TRUE(part.Headers.empty());
    EXPECT_TRUE(part.Data.empty());
}

TEST(SplitNextPart, ManyPartsEachSeenOnce) {
    std::string body;
    for (int i = 0; i < 20000; ++i) body += "--b\r\nContent-Type: t\r\n\r\n" + std::to_string(i) + "\r\n";
    body += "--b--\r\n";
    TMultipartCursor cursor;
    TMultipartPart part;
    int seen = 0;
    while (SplitNextPart("--b", body, cursor, part)) {
        ASSERT_EQ(part.Data, std::to_string(seen));
        ++seen;
    }
    EXPECT_EQ(seen, 20000);
}
