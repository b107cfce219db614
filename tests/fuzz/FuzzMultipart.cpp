// Fuzz target: a multipart upload. The input's first line is the request's content type (which
// names the boundary), the rest its body; every part is taken apart as the upload page does.
#include "FuzzTarget.h"

#include "webadmin/Multipart.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::string_view input = FuzzText(Data, Size);
    size_t line = input.find('\n');
    std::string contentType(input.substr(0, line));
    std::string_view body = line == std::string_view::npos ? std::string_view() : input.substr(line + 1);
    TWebRequest request(
        [&](std::string_view name) -> std::optional<std::string> {
            if (name == "CONTENT_TYPE") return contentType;
            if (name == "CONTENT_LENGTH") return std::to_string(body.size());
            return std::nullopt;
        },
        [&, at = size_t(0)](char* buffer, size_t size) mutable {
            size_t n = std::min(size, body.size() - at);
            std::copy_n(body.data() + at, n, buffer);
            at += n;
            return n;
        });
    try {
        std::string delimiter = "--" + GetBoundary(request);
        const std::string& content = ReadRequestBody(request);
        TMultipartCursor cursor;
        TMultipartPart part;
        while (SplitNextPart(delimiter, content, cursor, part)) {
            auto fields = ExtractHeaderFields(part.Header("Content-Disposition"), true);
            HeaderFieldValue(fields, "name");
            HeaderFieldValue(fields, "filename");
        }
    } catch (const Exception&) {
    }
    return 0;
}
