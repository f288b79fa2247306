#include "Matching.h"

#include <QUrl>
#include <algorithm>
#include <optional>

namespace sirano {
namespace {

struct Origin {
    QString scheme;
    QString host;
    int port = -1;
    bool operator==(const Origin&) const = default;
};

// The origin of an absolute http(s) address; nothing for anything else.
std::optional<Origin> httpOrigin(const QString& address) {
    const QUrl url(address);
    if (!url.isValid())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    const bool https = scheme == QLatin1String("https");
    if ((!https && scheme != QLatin1String("http")) || url.host().isEmpty())
        return std::nullopt;
    return Origin{scheme, url.host().toLower(), url.port(https ? 443 : 80)};
}

// The length of "scheme://" at the front of an address, or 0. "localhost:8080/" has none.
qsizetype schemePrefix(const QString& address) {
    const auto letter = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    };
    const qsizetype colon = address.indexOf(QLatin1String("://"));
    if (colon <= 0 || !letter(address.front()))
        return 0;
    for (qsizetype i = 1; i < colon; ++i) {
        const QChar c = address[i];
        if (!letter(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && c != u'.')
            return 0;
    }
    return colon + 3;
}

// Where the host of an address without a scheme ends: at its port, path, query or fragment.
qsizetype hostEnd(const QString& address, qsizetype from) {
    if (from < address.size() && address[from] == u'[') {  // an IPv6 literal
        const qsizetype close = address.indexOf(u']', from);
        return close < 0 ? address.size() : close + 1;
    }
    qsizetype end = from;
    while (end < address.size() && address[end] != u':' && address[end] != u'/' &&
           address[end] != u'?' && address[end] != u'#')
        ++end;
    return end;
}

struct Span {
    qsizetype start;
    qsizetype end;
};

// Where the host of an address stands: after "scheme://" and the user name and password, if
// any, up to its port, path, query or fragment. An address without a scheme starts with it.
Span hostSpan(const QString& address) {
    const qsizetype authority = schemePrefix(address);
    qsizetype authorityEnd = authority;
    while (authorityEnd < address.size() && address[authorityEnd] != u'/' &&
           address[authorityEnd] != u'?' && address[authorityEnd] != u'#')
        ++authorityEnd;
    qsizetype start = authority;
    if (authority > 0) {
        const qsizetype at = address.lastIndexOf(u'@', authorityEnd - 1);
        if (at >= authority)
            start = at + 1;
    }
    return {start, std::min(hostEnd(address, start), authorityEnd)};
}

// The address with its host in the ASCII form browsers show (IDNA: "bänk.example" is
// "xn--bnk-qla.example"), so that a stored Unicode host matches the page it names. An address
// that is ASCII throughout (nearly all, and every address Chromium reports) is not parsed.
QString withAsciiHost(const QString& address) {
    if (std::all_of(address.begin(), address.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return address;
    const auto [start, end] = hostSpan(address);
    const QByteArray ace = QUrl::toAce(address.sliced(start, end - start));
    if (ace.isEmpty())
        return address;  // no valid name: compared as it is
    return address.left(start) + QString::fromLatin1(ace) + address.sliced(end);
}

bool shortenedMatches(const QString& location, const QString& stored) {
    if (schemePrefix(location) == 0)
        return false;  // a page without a host (about:blank, data:...)
    const auto [hostStart, hostStop] = hostSpan(location);
    const qsizetype storedHostLength = hostEnd(stored, 0);
    for (qsizetype from = hostStart; from < hostStop; ++from) {
        if (from != hostStart && location[from - 1] != u'.')
            continue;
        if (from + storedHostLength == hostStop &&
            QStringView(location).sliced(from).startsWith(stored, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

}  // namespace

bool urlMatches(const QString& location, const QString& stored) {
    if (location.isEmpty() || stored.isEmpty())
        return false;
    const QString locationUrl = withAsciiHost(location);
    const QString storedUrl = withAsciiHost(stored);
    const qsizetype scheme = schemePrefix(storedUrl);
    if (scheme == 0)
        return shortenedMatches(locationUrl, storedUrl);
    const QString name = storedUrl.first(scheme).toLower();
    if (name != QLatin1String("http://") && name != QLatin1String("https://"))
        return locationUrl.startsWith(storedUrl, Qt::CaseInsensitive);
    // The tick asks this for every entry and tab: the cheap test goes before the two parses.
    if (!locationUrl.contains(storedUrl, Qt::CaseInsensitive))
        return false;
    // Without a host ("https://" alone) it would match every page.
    const std::optional<Origin> storedOrigin = httpOrigin(storedUrl);
    return storedOrigin && httpOrigin(locationUrl) == storedOrigin;
}

QString openableAddress(const QString& storedUrl) {
    if (storedUrl.isEmpty() || schemePrefix(storedUrl) > 0)
        return storedUrl;
    return QStringLiteral("http://") + storedUrl;
}

bool keywordMatches(const QString& locationUrl, const QString& urlKeyword) {
    return urlKeyword.isEmpty() || locationUrl.contains(urlKeyword, Qt::CaseInsensitive);
}

}  // namespace sirano
