#include "Matching.h"

#include "store/SecretBytes.h"

#include <QUrl>
#include <algorithm>
#include <optional>

namespace sirano {
namespace {

using Origin = HttpOrigin;

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

}  // namespace

PageAddress::PageAddress(const QString& locationUrl) {
    if (locationUrl.isEmpty())
        return;
    empty_ = false;
    const QString ascii = withAsciiHost(locationUrl);
    folded_ = ascii.toCaseFolded();
    foldedRaw_ = ascii.size() == locationUrl.size() && ascii == locationUrl
                     ? folded_
                     : locationUrl.toCaseFolded();
    hasScheme_ = schemePrefix(folded_) > 0;
    const auto [start, end] = hostSpan(folded_);
    hostStart_ = start;
    hostEnd_ = end;
    origin_ = httpOrigin(ascii);
}

SiteMatcher::SiteMatcher(const QString& storedUrl, const QString& urlKeyword)
    : foldedKeyword_(urlKeyword.toCaseFolded()) {
    if (storedUrl.isEmpty())
        return;
    const QString ascii = withAsciiHost(storedUrl);
    folded_ = ascii.toCaseFolded();
    const qsizetype scheme = schemePrefix(folded_);
    if (scheme == 0) {
        kind_ = Kind::Shortened;
        hostLength_ = hostEnd(folded_, 0);
        return;
    }
    const QStringView name = QStringView(folded_).first(scheme);
    if (name != QLatin1String("http://") && name != QLatin1String("https://")) {
        kind_ = Kind::OtherAbsolute;
        return;
    }
    // Without a host ("https://" alone) it would match every page: it matches none.
    origin_ = httpOrigin(ascii);
    kind_ = origin_ ? Kind::Http : Kind::Nothing;
}

bool SiteMatcher::urlMatches(const PageAddress& page) const {
    if (page.empty_)
        return false;
    switch (kind_) {
        case Kind::Nothing:
            return false;
        case Kind::OtherAbsolute:
            return page.folded_.startsWith(folded_);
        case Kind::Http:
            // The host first: it tells nearly every pair apart without a search.
            return page.origin_ == origin_ && page.folded_.contains(folded_);
        case Kind::Shortened: {
            // A page without a host (about:blank, data:...) has nothing to match.
            if (!page.hasScheme_)
                return false;
            // The one place where the stored host could end with the page's.
            const qsizetype from = page.hostEnd_ - hostLength_;
            if (hostLength_ == 0 || from < page.hostStart_ ||
                (from != page.hostStart_ && page.folded_[from - 1] != u'.'))
                return false;
            return QStringView(page.folded_).sliced(from).startsWith(folded_);
        }
    }
    return false;
}

void SiteMatcher::wipe() {
    sirano::wipe(folded_);
    sirano::wipe(foldedKeyword_);
    if (origin_)
        sirano::wipe(origin_->host);
    kind_ = Kind::Nothing;
}

bool SiteMatcher::keywordMatches(const PageAddress& page) const {
    return foldedKeyword_.isEmpty() || page.foldedRaw_.contains(foldedKeyword_);
}

bool urlMatches(const QString& location, const QString& stored) {
    return SiteMatcher(stored, {}).urlMatches(PageAddress(location));
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
