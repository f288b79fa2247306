// Which pages a stored site may fill: the one rule of the fill on request and the automatic fill.
#pragma once

#include <QString>
#include <optional>

namespace sirano {

// The origin of an absolute http(s) address: lower-case scheme and host, and the port.
struct HttpOrigin {
    QString scheme;
    QString host;
    int port = -1;
    bool operator==(const HttpOrigin&) const = default;
};

// A page's address prepared once for the matching of many stored sites.
class PageAddress {
public:
    explicit PageAddress(const QString& locationUrl);

private:
    friend class SiteMatcher;
    bool empty_ = true;
    QString folded_;     // with the host in ASCII, case folded
    QString foldedRaw_;  // as reported, case folded (the keyword's subject)
    qsizetype hostStart_ = 0;
    qsizetype hostEnd_ = 0;
    bool hasScheme_ = false;
    std::optional<HttpOrigin> origin_;
};

// A stored site's address and keyword prepared once, for the matching of many pages: the same
// rules as urlMatches and keywordMatches below, with the cheap comparisons first.
class SiteMatcher {
public:
    SiteMatcher(const QString& storedUrl, const QString& urlKeyword);
    bool urlMatches(const PageAddress& page) const;
    bool keywordMatches(const PageAddress& page) const;
    // Zeroes the texts kept from the stored site (its address is stored data too).
    void wipe();

private:
    enum class Kind { Nothing, Shortened, Http, OtherAbsolute };
    Kind kind_ = Kind::Nothing;
    QString folded_;
    qsizetype hostLength_ = 0;  // Shortened: the length of its host
    std::optional<HttpOrigin> origin_;
    QString foldedKeyword_;
};

// Whether the page at locationUrl shows the stored site, ignoring letter case throughout:
// - an empty storedUrl matches no page (it would fill every page with a form);
// - an absolute http(s) storedUrl matches a page on the same origin (scheme, host, port) whose
//   address contains it, so a page elsewhere that merely mentions it never matches;
// - another absolute address (file://...) matches a page whose address begins with it;
// - an address without a scheme ("bank.example/login", "localhost:8080/") matches where it starts
//   at the beginning of the page's host or right after a dot in it, and covers that host to its
//   end: never inside a path, query or fragment, nor as the front of a longer host.
bool urlMatches(const QString& locationUrl, const QString& storedUrl);

// The address a browser is asked to open for a stored one. One without a scheme
// ("bank.example/login", as for urlMatches) is taken as http, as an address bar would: the
// DevTools protocol, unlike a command line, opens it as nothing at all.
QString openableAddress(const QString& storedUrl);

// The further condition of the automatic fill: an empty keyword, or one the location contains
// ignoring case.
bool keywordMatches(const QString& locationUrl, const QString& urlKeyword);

}  // namespace sirano
