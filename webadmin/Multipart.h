// Taking a "multipart/form-data" request apart: its boundary, its whole body, and its parts one
// at a time. Parts are views into the body (offsets), never copies of what follows them.
// Not a MIME library: no nested multiparts, no transfer encodings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Cgi.h"

// Splits a header value at ";" with blanks as white space; a quoted text is one piece even
// with ";" or blanks in it. With StripQuotes the quote characters are dropped, otherwise kept.
std::vector<std::string> ExtractHeaderFields(std::string_view text, bool stripQuotes);
// The value after "=" of the first field whose name (before "=") equals Name ignoring case;
// empty when there is none.
std::string HeaderFieldValue(const std::vector<std::string>& fields, std::string_view name);

// The longest boundary taken (the mail format's own limit).
inline constexpr size_t MaxBoundaryLength = 70;

// The boundary parameter of the request's content type (quotes kept), or empty; empty too when
// it is longer than MaxBoundaryLength without its quotes.
std::string GetBoundary(const TWebRequest& request);
// The whole body: what was read so far, then 8192 bytes at a time up to the content length; a
// read that gives nothing ends it. The text belongs to the request. Raises EWebRequestError
// for a malformed or oversized content length.
const std::string& ReadRequestBody(TWebRequest& request);

// One part: its header lines as (name, value) pairs, trimmed, and its data, a view into the
// body handed to SplitNextPart.
struct TMultipartPart {
    TFieldList Headers;
    std::string_view Data;
    // The value of the first header called Name, ignoring case; empty when there is none.
    std::string Header(std::string_view name) const;
};

// Where the walk through a body stands: the offset of the next part, and the closing
// delimiter once found (so that it is searched for once per body, not once per part).
struct TMultipartCursor {
    size_t Offset = 0;
    size_t ClosingAt = 0;
    bool ClosingKnown = false;
};

// Cuts the part that starts at the cursor's offset off Body (Delimiter is "--" + boundary).
// The part is taken only when Body continues there with the delimiter and a closing delimiter
// (Delimiter + "--") follows later; then Part is filled, the offset moves to the next
// delimiter and the result is true. Otherwise Part is empty, the offset moves to the end of
// Body and the result is false. Use one cursor with one body and delimiter.
bool SplitNextPart(std::string_view delimiter, std::string_view body, TMultipartCursor& cursor, TMultipartPart& part);
