// What the web program lets a request store, and from where: the longest texts it keeps and
// the bytes they may not hold, the schemes a home-page link may use, the number of skins, and
// the test for a change that another web site asked for. Not for reading fields or building pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Cgi.h"
#include "platform/Exception.h"

// Longest texts a request may store, in bytes; far beyond what a real site uses.
inline constexpr size_t MaxSiteNameLength = 255;
inline constexpr size_t MaxHomePageURLLength = 2048;
inline constexpr size_t MaxPageNameLength = 1024;
inline constexpr size_t MaxAddressLength = 64;
// Skins the database may hold (the default one included); an upload beyond is refused.
inline constexpr int32_t MaxSkinCount = 32;

// Raised when a value of the request may not be stored; the message says why, for the page.
class ERefusedValue : public Exception {
public:
    using Exception::Exception;
};

// Raises ERefusedValue naming What ("the site name") when Value is longer than MaxLength
// bytes or holds a NUL, CR or LF byte.
void CheckStoredText(std::string_view value, size_t maxLength, std::string_view what);
// As CheckStoredText, and an empty page name is refused too.
void CheckPageName(std::string_view name);
// As CheckStoredText, and a URL that IsLinkableURL refuses is refused too.
void CheckHomePageURL(std::string_view url);

// True when a browser would follow URL as an http: or https: address or as one relative to
// the page; false for every other scheme (javascript:, data:, ...). Reads the URL as a browser
// does: blanks and control bytes around it dropped, tabs and line breaks inside ignored, the
// scheme in any case.
bool IsLinkableURL(std::string_view url);

// True when the browser marks the request as coming from another site: "Sec-Fetch-Site"
// cross-site or same-site, or an "Origin" or "Referer" that names another host (or port) than
// the request's "Host". A request without these headers is not.
bool IsCrossSiteRequest(const TWebRequest& request);
