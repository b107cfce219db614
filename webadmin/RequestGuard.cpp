// The rules of what a request may store and from where: text bounds, link schemes and the
// cross-site test.
#include "webadmin/RequestGuard.h"

#include <string>

#include "platform/StrUtils.h"

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsSchemeChar(char c) { return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; }

// "host:port" of an authority ("user@Host:8080", "[::1]:80", "host"), lower-cased, with
// DefaultPort where it names none.
std::string HostAndPort(std::string_view authority, std::string_view defaultPort) {
    if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    size_t colon = authority.rfind(':');
    size_t bracket = authority.rfind(']');
    bool hasPort = colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
    std::string_view host = hasPort ? authority.substr(0, colon) : authority;
    std::string_view port = hasPort ? authority.substr(colon + 1) : defaultPort;
    return LowerCase(host) + ":" + std::string(port.empty() ? defaultPort : port);
}

// "host:port" that an absolute http(s) URL (an Origin or a Referer) names; empty for any
// other text, "null" included.
std::string URLHostAndPort(std::string_view url) {
    size_t separator = url.find("://");
    if (separator == std::string_view::npos) return {};
    std::string scheme = LowerCase(url.substr(0, separator));
    if (scheme != "http" && scheme != "https") return {};
    std::string_view rest = url.substr(separator + 3);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.empty()) return {};
    return HostAndPort(authority, scheme == "https" ? "443" : "80");
}

} // namespace

void CheckStoredText(std::string_view value, size_t maxLength, std::string_view what) {
    if (value.size() <= maxLength && value.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos)
        return;
    throw ERefusedValue("Not stored: " + std::string(what) + " may hold at most " + IntToStr(int64_t(maxLength)) +
                        " bytes, and no NUL, CR or LF.");
}

void CheckPageName(std::string_view name) {
    if (name.empty()) throw ERefusedValue("Not stored: the page name is empty.");
    CheckStoredText(name, MaxPageNameLength, "a page name");
}

void CheckHomePageURL(std::string_view url) {
    CheckStoredText(url, MaxHomePageURLLength, "the home page URL");
    if (!IsLinkableURL(url))
        throw ERefusedValue("Not stored: the home page URL must begin with http: or https:, or be an address on "
                            "this site.");
}

bool IsLinkableURL(std::string_view url) {
    std::string text;
    for (char c : url)
        if (c != '\t' && c != '\n' && c != '\r') text += c;
    std::string_view s = text;
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    // A scheme is a letter, then letters, digits, "+", "-" or ".", then ":"; anything else
    // makes the URL relative to the page.
    if (s.empty() || !IsAsciiLetter(s.front())) return true;
    size_t end = 1;
    while (end < s.size() && IsSchemeChar(s[end])) ++end;
    if (end == s.size() || s[end] != ':') return true;
    std::string scheme = LowerCase(s.substr(0, end));
    return scheme == "http" || scheme == "https";
}

bool IsCrossSiteRequest(const TWebRequest& request) {
    std::string site = LowerCase(request.HeaderField("SEC_FETCH_SITE"));
    if (site == "cross-site" || site == "same-site") return true;
    const std::string host = request.HeaderField("HOST");
    const std::string ownHost = HostAndPort(host, SameText(request.GetFieldByName("HTTPS"), "on") ? "443" : "80");
    for (std::string_view name : {"ORIGIN", "REFERER"}) {
        std::string value = request.HeaderField(name);
        if (value.empty()) continue;
        if (host.empty() || URLHostAndPort(value) != ownHost) return true;
    }
    return false;
}
