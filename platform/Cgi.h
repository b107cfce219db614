// The CGI seam of the web program: the request as the web server hands it over (environment,
// standard input) and the answer written back on standard output with its header lines.
// Not a web framework: one request, one answer, no sessions, no routing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Exception.h"

// Raised for a request the program refuses to read (a malformed or oversized CONTENT_LENGTH).
class EWebRequestError : public Exception {
public:
    using Exception::Exception;
};

// Largest bodies the program reads: a skin upload, and a form-encoded body.
inline constexpr int64_t MaxMultipartContent = 16 * 1024 * 1024;
inline constexpr int64_t MaxFormContent = 64 * 1024;
// How long the program waits for a request body to arrive, counted from its start.
inline constexpr std::chrono::seconds BodyPatience{30};

// name=value pairs of a query string or form-encoded body, decoded, in their order.
using TFieldList = std::vector<std::pair<std::string, std::string>>;

// Splits "a=1&b=x+y" at "&" and decodes "+" and %XX in names and values. An item without "="
// is a name with an empty value.
TFieldList ParseFormFields(std::string_view text);
// The value of the first field called Name (exact compare), or the empty text.
std::string FieldValue(const TFieldList& fields, std::string_view name);
// Decodes "+" as a blank and %XX escapes; a "%" not followed by two hex digits stays as it is.
std::string UrlDecode(std::string_view text);
// Encodes every byte but letters, digits and "-_.~" as %XX (upper-case hex), for a value put
// into a link's query string.
std::string UrlEncode(std::string_view text);
// Text for HTML content or a quoted attribute: & < > " ' become entities.
std::string HtmlEscape(std::string_view text);
// Text for an unquoted attribute value: as HtmlEscape, and blanks, tabs, line breaks, "=" and
// "`" become entities too, so the value cannot end early.
std::string HtmlEscapeAttr(std::string_view text);

// One CGI request. Fields are read from the environment on demand; the body is read from the
// input only when asked for, and never beyond CONTENT_LENGTH.
class TWebRequest {
public:
    using TEnvSource = std::function<std::optional<std::string>(std::string_view name)>;
    // Reads up to Size bytes into Buffer; 0 at the end of the input.
    using TInputSource = std::function<size_t(char* buffer, size_t size)>;

    TWebRequest(TEnvSource env, TInputSource input);
    // The request of this process: its environment and standard input, read within
    // BodyPatience.
    static TWebRequest FromProcess();
    // Reads the descriptor FD, waiting for its bytes at most Patience from now on in all;
    // past that a read raises EWebRequestError, so that a stalled client cannot keep the
    // program waiting.
    static TInputSource DescriptorInput(int fd, std::chrono::milliseconds patience);

    // The environment variable Name; a name beginning "HTTP_" whose value is empty is looked up
    // again without that prefix.
    std::string GetFieldByName(std::string_view name) const;
    // The request header Name as the web server hands it over ("HTTP_" + Name, e.g. "ORIGIN"
    // for "Origin"), with no other lookup; empty when absent.
    std::string HeaderField(std::string_view name) const;

    std::string ContentType() const { return GetFieldByName("HTTP_CONTENT_TYPE"); }
    std::string Method() const { return GetFieldByName("REQUEST_METHOD"); }
    std::string PathInfo() const { return GetFieldByName("PATH_INFO"); }
    std::string ScriptName() const { return GetFieldByName("SCRIPT_NAME"); }
    std::string URL() const { return GetFieldByName("URL"); }
    std::string ProtocolVersion() const { return GetFieldByName("SERVER_PROTOCOL"); }
    std::string Query() const { return GetFieldByName("QUERY_STRING"); }

    const TFieldList& QueryFields() const;
    std::string QueryField(std::string_view name) const { return FieldValue(QueryFields(), name); }
    // Fields of a form-encoded body (empty for any other content type). Reads the body; raises
    // EWebRequestError when its length is malformed or above MaxFormContent.
    const TFieldList& ContentFields();
    std::string ContentField(std::string_view name) { return FieldValue(ContentFields(), name); }

    // CONTENT_LENGTH as a number: 0 when absent; raises EWebRequestError unless it is plain
    // decimal digits, or when it lies above the limit of the content type (MaxMultipartContent
    // for "multipart/form-data", MaxFormContent otherwise).
    int64_t ContentLength() const;
    // The body read so far.
    const std::string& Content() const { return FContent; }
    // Reads at most MaxBytes more of the body (never beyond ContentLength) and appends them to
    // Content; returns the bytes read, empty at the end.
    std::string ReadClient(size_t maxBytes);

private:
    void ReadWholeContent();

    TEnvSource FEnv;
    TInputSource FInput;
    mutable std::optional<TFieldList> FQueryFields;
    std::optional<TFieldList> FContentFields;
    std::string FContent;
    bool FInputEnded = false;
};

// The answer. Nothing reaches the writer before SendResponse, and only once.
class TWebResponse {
public:
    using TWriter = std::function<void(std::string_view bytes)>;

    // Request supplies the protocol version (the Status line) ; Writer receives the bytes.
    TWebResponse(const TWebRequest& request, TWriter writer);
    // Writes to standard output, binary-safe.
    static TWriter StdoutWriter();

    std::string ContentType;
    std::string Location;
    // A string body; an empty one gets no Content-Length line.
    std::string Content;
    // A stream body: always has a Content-Length line, 0 for an empty stream.
    void SetContentStream(std::string bytes);

    // Writes header lines and body. A second call does nothing.
    void SendResponse();
    bool Sent() const { return FSent; }

    // The answer for an exception that left a handler: status 500 with its fixed reason, and
    // a short page naming the class and message, both HTML-escaped.
    void SendError(std::string_view className, std::string_view message);

private:
    void Write(std::string_view bytes);

    std::string FProtocol;
    TWriter FWriter;
    std::optional<std::string> FStream;
    bool FSent = false;
};

// The secret kept in the file FileName: 32 upper-case hex digits of the system's random source,
// written (readable by the owner only) when the file is missing. Raises EWebRequestError when
// the file can be neither read nor made, or holds anything else.
std::string KeptSecret(const std::string& fileName);
// Whether two texts are equal, taking the same time wherever they differ (for secrets).
bool SameSecret(std::string_view a, std::string_view b);

// The readable class name of an exception object, e.g. "EConvertError".
std::string ExceptionClassName(const std::exception& error);
