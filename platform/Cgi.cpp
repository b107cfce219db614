// The CGI request and response: environment and standard input in, header lines and body out.
#include "platform/Cgi.h"

#include "platform/StrUtils.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cxxabi.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/random.h>
#include <typeinfo>
#include <unistd.h>

namespace {

const std::string_view CRLF = "\r\n";

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsMultipart(std::string_view contentType) {
    return LowerCase(contentType).find("multipart/form-data") != std::string::npos;
}

bool IsFormEncoded(std::string_view contentType) {
    return LowerCase(contentType).starts_with("application/x-www-form-urlencoded");
}

// Strict decimal: digits only, no sign, no blanks; nullopt on anything else or overflow.
std::optional<int64_t> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Every HTML answer refuses to be shown in another site's frame, and keeps its address (which
// may carry the proof of a change) from the sites it links to.
const std::string_view HtmlGuardLines = "X-Frame-Options: DENY\r\n"
                                        "Content-Security-Policy: frame-ancestors 'none'\r\n"
                                        "Referrer-Policy: same-origin\r\n";

bool IsHtml(std::string_view contentType) { return LowerCase(contentType).starts_with("text/html"); }

// Header values must stay on one line: line breaks become blanks.
std::string OneLine(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c == '\r' || c == '\n') c = ' ';
    return result;
}

} // namespace

std::string UrlDecode(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            result += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            result += char(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            result += c;
        }
    }
    return result;
}

std::string UrlEncode(std::string_view text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
                     b == '_' || b == '.' || b == '~';
        if (plain) {
            result += c;
        } else {
            result += '%';
            result += Hex[b >> 4];
            result += Hex[b & 15];
        }
    }
    return result;
}

namespace {
// The entity that stands for c in HTML text, or nil where c stands for itself.
constexpr const char* TextEntity(char c) {
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
    }
}

// In an unquoted attribute value also whatever could end the value.
constexpr const char* AttributeEntity(char c) {
    switch (c) {
    case ' ': return "&#32;";
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    case '\f': return "&#12;";
    case '=': return "&#61;";
    case '`': return "&#96;";
    default: return TextEntity(c);
    }
}

// Which bytes Entity replaces, looked up by the byte.
template <const char* (*Entity)(char)> constexpr std::array<bool, 256> ReplacedBytes() {
    std::array<bool, 256> replaced{};
    for (int b = 0; b < 256; ++b) replaced[size_t(b)] = Entity(char(b)) != nullptr;
    return replaced;
}

// Text with each character that has an entity replaced by it; the runs between are copied
// whole, so most values (with nothing to replace) cost one pass and one copy.
template <const char* (*Entity)(char)> std::string Escaped(std::string_view text) {
    static constexpr std::array<bool, 256> Replaced = ReplacedBytes<Entity>();
    std::string result;
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!Replaced[uint8_t(text[i])]) continue;
        if (const char* entity = Entity(text[i])) {
            if (plain == 0) result.reserve(text.size() + 16);
            result.append(text.data() + plain, i - plain);
            result += entity;
            plain = i + 1;
        }
    }
    result.append(text.data() + plain, text.size() - plain);
    return result;
}
} // namespace

std::string HtmlEscape(std::string_view text) { return Escaped<TextEntity>(text); }

std::string HtmlEscapeAttr(std::string_view text) { return Escaped<AttributeEntity>(text); }

TFieldList ParseFormFields(std::string_view text) {
    TFieldList fields;
    while (!text.empty()) {
        size_t end = text.find('&');
        std::string_view item = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            fields.emplace_back(UrlDecode(item), std::string());
        else
            fields.emplace_back(UrlDecode(item.substr(0, eq)), UrlDecode(item.substr(eq + 1)));
    }
    return fields;
}

std::string FieldValue(const TFieldList& fields, std::string_view name) {
    for (const auto& [fieldName, value] : fields)
        if (fieldName == name) return value;
    return {};
}

TWebRequest::TWebRequest(TEnvSource env, TInputSource input) : FEnv(std::move(env)), FInput(std::move(input)) {}

TWebRequest TWebRequest::FromProcess() {
    auto env = [](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        if (!value) return std::nullopt;
        return std::string(value);
    };
    return TWebRequest(env, DescriptorInput(STDIN_FILENO, BodyPatience));
}

TWebRequest::TInputSource TWebRequest::DescriptorInput(int fd, std::chrono::milliseconds patience) {
    using TClock = std::chrono::steady_clock;
    const TClock::time_point deadline = TClock::now() + patience;
    return [fd, deadline](char* buffer, size_t size) -> size_t {
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
            pollfd ready{fd, POLLIN, 0};
            int polled = left.count() > 0 ? ::poll(&ready, 1, int(std::min<int64_t>(left.count(), INT32_MAX))) : 0;
            if (polled < 0 && errno == EINTR) continue;
            if (polled == 0) throw EWebRequestError("The request body did not arrive in time");
            if (polled < 0) return 0;
            ssize_t n = ::read(fd, buffer, size);
            if (n >= 0) return size_t(n);
            if (errno != EINTR) return 0;
        }
    };
}

std::string TWebRequest::GetFieldByName(std::string_view name) const {
    std::string value = FEnv(name).value_or(std::string());
    if (value.empty() && name.starts_with("HTTP_")) value = FEnv(name.substr(5)).value_or(std::string());
    return value;
}

std::string TWebRequest::HeaderField(std::string_view name) const {
    return FEnv("HTTP_" + std::string(name)).value_or(std::string());
}

const TFieldList& TWebRequest::QueryFields() const {
    if (!FQueryFields) FQueryFields = ParseFormFields(Query());
    return *FQueryFields;
}

const TFieldList& TWebRequest::ContentFields() {
    if (FContentFields) return *FContentFields;
    FContentFields.emplace();
    if (!IsFormEncoded(ContentType())) return *FContentFields;
    ReadWholeContent();
    *FContentFields = ParseFormFields(FContent);
    return *FContentFields;
}

int64_t TWebRequest::ContentLength() const {
    std::string text = GetFieldByName("CONTENT_LENGTH");
    if (text.empty()) return 0;
    std::optional<int64_t> length = ParseDecimal(text);
    if (!length) throw EWebRequestError("Invalid content length");
    int64_t limit = IsMultipart(ContentType()) ? MaxMultipartContent : MaxFormContent;
    if (*length > limit) throw EWebRequestError("Request content too large");
    return *length;
}

std::string TWebRequest::ReadClient(size_t maxBytes) {
    int64_t length = ContentLength();
    std::string chunk;
    if (FInputEnded || int64_t(FContent.size()) >= length) return chunk;
    size_t wanted = std::min<size_t>(maxBytes, size_t(length - int64_t(FContent.size())));
    chunk.resize(wanted);
    size_t got = FInput ? FInput(chunk.data(), wanted) : 0;
    if (got == 0) FInputEnded = true;
    chunk.resize(got);
    FContent += chunk;
    return chunk;
}

void TWebRequest::ReadWholeContent() {
    int64_t length = ContentLength();
    while (int64_t(FContent.size()) < length && !ReadClient(8192).empty()) {}
}

TWebResponse::TWebResponse(const TWebRequest& request, TWriter writer)
    : FProtocol(request.ProtocolVersion()), FWriter(std::move(writer)) {}

TWebResponse::TWriter TWebResponse::StdoutWriter() {
    return [](std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return; // the client went away; nothing more can be said
            bytes.remove_prefix(size_t(n));
        }
    };
}

void TWebResponse::SetContentStream(std::string bytes) { FStream = std::move(bytes); }

void TWebResponse::Write(std::string_view bytes) {
    if (FWriter) FWriter(bytes);
}

void TWebResponse::SendResponse() {
    if (FSent) return;
    FSent = true;
    const std::string& body = FStream ? *FStream : Content;
    std::string head;
    if (!FProtocol.empty()) head += "Status: 200 OK" + std::string(CRLF);
    if (!Location.empty()) head += "Location: " + OneLine(Location) + std::string(CRLF);
    if (!ContentType.empty()) head += "Content-Type: " + OneLine(ContentType) + std::string(CRLF);
    if (FStream || !body.empty()) head += "Content-Length: " + std::to_string(body.size()) + std::string(CRLF);
    if (IsHtml(ContentType)) head += HtmlGuardLines;
    head += "Content:";
    head += CRLF;
    head += CRLF;
    // Apart: a page's body runs to megabytes, not worth copying behind its head.
    Write(head);
    if (!body.empty()) Write(body);
}

void TWebResponse::SendError(std::string_view className, std::string_view message) {
    if (FSent) return;
    FSent = true;
    std::string body = "<html><title>Internal Server Error 500</title>" + std::string(CRLF) +
                       "<h1>Internal Server Error 500</h1><hr>" + std::string(CRLF) +
                       "Exception: " + HtmlEscape(className) + "<br>" + std::string(CRLF) +
                       "Message: " + HtmlEscape(message) + "<br></html>" + std::string(CRLF);
    // The reason is fixed: the message may carry request text, which stays in the body.
    std::string head = "Status: 500 Internal Server Error" + std::string(CRLF) + "Content-Type: text/html" +
                       std::string(CRLF) + "Content-Length: " + std::to_string(body.size()) + std::string(CRLF) +
                       std::string(HtmlGuardLines) + "Content:" + std::string(CRLF) + std::string(CRLF);
    Write(head + body);
}

namespace {

constexpr size_t SecretBytes = 16;

bool IsSecretText(std::string_view text) {
    if (text.size() != 2 * SecretBytes) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

// The whole of a small file, or nothing when it does not exist.
std::optional<std::string> ReadSmallFile(const std::string& fileName) {
    int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw EWebRequestError("Cannot read " + fileName);
    }
    std::string text(4 * SecretBytes, '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    text.resize(got);
    return text;
}

std::string RandomSecretText() {
    uint8_t bytes[SecretBytes];
    for (size_t got = 0; got < SecretBytes;) {
        ssize_t n = ::getrandom(bytes + got, SecretBytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw EWebRequestError("No random source for a secret");
        got += size_t(n);
    }
    static const char Hex[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += Hex[b >> 4];
        text += Hex[b & 15];
    }
    return text;
}

// Writes Text to a file of its own and links it in under FileName: readers see the whole
// secret or none, and of two requests making one at once the first link wins.
void PublishSecret(const std::string& fileName, const std::string& text) {
    const std::string scratch = fileName + "-new-" + std::to_string(::getpid());
    int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw EWebRequestError("Cannot create " + scratch);
    bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    bool linked = written && (::link(scratch.c_str(), fileName.c_str()) == 0 || errno == EEXIST);
    ::unlink(scratch.c_str());
    if (!linked) throw EWebRequestError("Cannot write " + fileName);
}

} // namespace

std::string KeptSecret(const std::string& fileName) {
    std::optional<std::string> kept = ReadSmallFile(fileName);
    if (!kept) {
        PublishSecret(fileName, RandomSecretText());
        kept = ReadSmallFile(fileName);
    }
    if (!kept || !IsSecretText(*kept)) throw EWebRequestError("No usable secret in " + fileName);
    return *kept;
}

bool SameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::string ExceptionClassName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                     std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}
