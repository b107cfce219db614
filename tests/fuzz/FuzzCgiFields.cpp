// Fuzz target: the CGI fields: query and form texts, URL decoding and encoding (which must
// round-trip) and the HTML escapes (which must leave no markup character).
#include "FuzzTarget.h"

#include "platform/Cgi.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::string_view text = FuzzText(Data, Size);
    TFieldList fields = ParseFormFields(text);
    for (const auto& [name, value] : fields) FieldValue(fields, name);
    if (UrlDecode(UrlEncode(text)) != text) std::abort();
    if (HtmlEscape(text).find_first_of("<>\"'") != std::string::npos) std::abort();
    if (HtmlEscapeAttr(text).find_first_of("<>\"' \t\r\n=`") != std::string::npos) std::abort();
    TWebRequest request(
        [&](std::string_view name) -> std::optional<std::string> {
            if (name == "QUERY_STRING") return std::string(text);
            if (name == "CONTENT_LENGTH") return std::string(text.substr(0, 20));
            if (name == "CONTENT_TYPE") return std::string("application/x-www-form-urlencoded");
            return std::nullopt;
        },
        [&](char* buffer, size_t size) {
            size_t n = std::min(size, text.size());
            std::copy_n(text.data(), n, buffer);
            return n;
        });
    request.QueryField("page");
    try {
        request.ContentField("page");
    } catch (const Exception&) {
    }
    return 0;
}
