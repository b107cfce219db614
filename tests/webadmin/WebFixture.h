// A fixture that runs the web program's request handling in-process, on a database in a
// temporary folder, with a CGI environment made by the test and the answer captured.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "TempDir.h"
#include "storage/Corvane.h"
#include "platform/StrUtils.h"
#include "webadmin/UWMAdm.h"
#include "webadmin/WebModule.h"

// The lines every HTML answer carries against framing and leaking its address.
inline const std::string HtmlGuardLines =
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\nReferrer-Policy: same-origin\r\n";

// One answer split at the end of its header block.
struct TCgiAnswer {
    std::string Head;
    std::string Body;
    bool HasHeader(const std::string& line) const {
        return ("\r\n" + Head + "\r\n").find("\r\n" + line + "\r\n") != std::string::npos;
    }
};

class WebTest : public TempDirTest {
protected:
    static void SetUpTestSuite() { StartStorageEngine(); }
    static void TearDownTestSuite() { StopStorageEngine(); }
    void SetUp() override { Module = std::make_unique<TWM>(Temp.File("counter")); }
    void TearDown() override {
        FinalizeCounterBase();
        SetNowSource(nullptr);
        Module.reset();
    }

    std::string DatabaseFile() const { return Temp.File("counter.ostra"); }

    // Runs one request; Env adds to (or, with an empty value, removes from) a GET environment.
    // A change (a field "ed", an upload) carries the proof of the program's own pages unless
    // CarriesOwnProof is off.
    TCgiAnswer Request(std::string query, std::map<std::string, std::string> env = {}, const std::string& body = {}) {
        bool isChange =
            query.find("ed=") != std::string::npos || LowerCase(env["CONTENT_TYPE"]).starts_with("multipart/");
        if (CarriesOwnProof && isChange) query += (query.empty() ? "proof=" : "&proof=") + ChangeProof();
        std::map<std::string, std::string> vars = {{"SERVER_PROTOCOL", "HTTP/1.1"},
                                                   {"REQUEST_METHOD", "GET"},
                                                   {"SCRIPT_NAME", "/cgi-bin/counter"},
                                                   {"QUERY_STRING", query}};
        for (auto& [name, value] : env) vars[name] = value;
        size_t offset = 0;
        TWebRequest request(
            [&](std::string_view name) -> std::optional<std::string> {
                auto it = vars.find(std::string(name));
                if (it == vars.end() || it->second.empty()) return std::nullopt;
                return it->second;
            },
            [&](char* buffer, size_t size) {
                size_t n = std::min(size, body.size() - offset);
                std::copy_n(body.data() + offset, n, buffer);
                offset += n;
                return n;
            });
        std::string out;
        TWebResponse response(request, [&](std::string_view bytes) { out += bytes; });
        Module->DispatchRequest(request, response);
        TCgiAnswer answer;
        size_t end = out.find("\r\n\r\n");
        EXPECT_NE(end, std::string::npos) << out;
        if (end == std::string::npos) return answer;
        answer.Head = out.substr(0, end);
        answer.Body = out.substr(end + 4);
        return answer;
    }

    // The body of a page, after checking that the answer is a complete HTML page.
    std::string Page(const std::string& query) {
        TCgiAnswer answer = Request(query);
        EXPECT_TRUE(answer.HasHeader("Content-Type: text/html")) << answer.Head;
        EXPECT_TRUE(answer.HasHeader("Content-Length: " + std::to_string(answer.Body.size()))) << answer.Head;
        return answer.Body;
    }

    // Direct access to the database between requests (committed when the callback returns).
    template <class F> void WithCounter(F&& use) {
        TCounterSession session(*Module);
        ASSERT_TRUE(session.IsOpen());
        use(session.Counter());
        session.Release();
    }

    std::unique_ptr<TWM> Module;
    bool CarriesOwnProof = true;
};

inline size_t CountOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++count;
    return count;
}
