// The multipart parser of the skin upload. It walks the body with offsets and hands out views,
// so a large upload is never copied once per part.
#include "webadmin/Multipart.h"

#include "platform/StrUtils.h"

namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view BlankLine = "\r\n\r\n";
constexpr size_t ReadChunk = 8192;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

TFieldList ParseHeaderLines(std::string_view block) {
    TFieldList headers;
    while (!block.empty()) {
        size_t end = block.find(CRLF);
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + CRLF.size());
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    return headers;
}

} // namespace

std::vector<std::string> ExtractHeaderFields(std::string_view text, bool stripQuotes) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    auto finish = [&] {
        if (!field.empty()) fields.push_back(field);
        field.clear();
    };
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            if (!stripQuotes) field += c;
        } else if (!quoted && c == ';') {
            finish();
        } else if (!quoted && IsBlank(c)) {
            // white space separates nothing but is not part of a field
        } else {
            field += c;
        }
    }
    finish();
    return fields;
}

std::string HeaderFieldValue(const std::vector<std::string>& fields, std::string_view name) {
    for (const std::string& field : fields) {
        size_t equals = field.find('=');
        if (equals != std::string::npos && SameText(std::string_view(field).substr(0, equals), name))
            return field.substr(equals + 1);
    }
    return {};
}

std::string GetBoundary(const TWebRequest& request) {
    std::string boundary = HeaderFieldValue(ExtractHeaderFields(request.ContentType(), false), "boundary");
    // A longer delimiter would make every search through the body cost its length again.
    size_t quotes = boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"' ? 2 : 0;
    if (boundary.size() - quotes > MaxBoundaryLength) return {};
    return boundary;
}

const std::string& ReadRequestBody(TWebRequest& request) {
    int64_t length = request.ContentLength();
    while (int64_t(request.Content().size()) < length && !request.ReadClient(ReadChunk).empty()) {}
    return request.Content();
}

std::string TMultipartPart::Header(std::string_view name) const {
    for (const auto& [headerName, value] : Headers)
        if (SameText(headerName, name)) return value;
    return {};
}

bool SplitNextPart(std::string_view delimiter, std::string_view body, TMultipartCursor& cursor, TMultipartPart& part) {
    part = TMultipartPart();
    size_t& offset = cursor.Offset;
    auto fail = [&] {
        offset = body.size();
        return false;
    };
    if (delimiter.empty() || offset > body.size()) return fail();
    std::string_view rest = body.substr(offset);
    if (!rest.starts_with(delimiter)) return fail();
    // The first closing delimiter from here on; every part ends at or before it, so one found
    // earlier stays the first while the offset has not reached it.
    if (!cursor.ClosingKnown || cursor.ClosingAt < offset) {
        size_t found = rest.find(std::string(delimiter) + "--");
        cursor.ClosingKnown = true;
        cursor.ClosingAt = found == std::string_view::npos ? std::string_view::npos : offset + found;
    }
    if (cursor.ClosingAt == std::string_view::npos || cursor.ClosingAt == offset) return fail();

    // The delimiter and its line break go; the part ends two bytes (its line break) before the
    // next delimiter.
    size_t start = delimiter.size() + CRLF.size();
    if (start > rest.size()) return fail();
    size_t next = rest.find(delimiter, start);
    if (next == std::string_view::npos) return fail();
    std::string_view content = rest.substr(start, next >= start + CRLF.size() ? next - CRLF.size() - start : 0);

    size_t blank = content.find(BlankLine);
    if (blank == std::string_view::npos) {
        part.Headers = ParseHeaderLines(content);
    } else {
        part.Headers = ParseHeaderLines(content.substr(0, blank));
        part.Data = content.substr(blank + BlankLine.size());
    }
    offset += next;
    return true;
}
