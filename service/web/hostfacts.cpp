#include "web/hostfacts.h"

#include <QStringTokenizer>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <unicode/uspoof.h>

namespace Shortd
{
namespace
{
// Dots that name resolution reads as '.': the ideographic full stop, the fullwidth full stop and
// the halfwidth ideographic full stop. The parsed address no longer shows them.
constexpr char16_t OddDots[] = {u'\u3002', u'\uFF0E', u'\uFF61'};

struct SpoofCheckerCloser {
    void operator()(USpoofChecker* checker) const { uspoof_close(checker); }
};
using SpoofChecker = std::unique_ptr<USpoofChecker, SpoofCheckerCloser>;

// Opened once and configured before its first check; checks may then run on any thread at once.
// Null when ICU cannot provide it.
const USpoofChecker* spoofChecker()
{
    static const SpoofChecker checker = [] {
        UErrorCode status = U_ZERO_ERROR;
        SpoofChecker opened(uspoof_open(&status));
        uspoof_setChecks(opened.get(),
            USPOOF_RESTRICTION_LEVEL | USPOOF_MIXED_NUMBERS | USPOOF_INVISIBLE | USPOOF_HIDDEN_OVERLAY, &status);
        // One script, or Latin with Han and the scripts written beside it (Kana, Hangul, Bopomofo).
        uspoof_setRestrictionLevel(opened.get(), USPOOF_HIGHLY_RESTRICTIVE);
        if (U_FAILURE(status)) {
            qWarning("nolvex-shortd: Unicode's look-alike checks are not available (%s); the preview warns about "
                     "every host that is not plain ASCII",
                u_errorName(status));
            return SpoofChecker();
        }
        return opened;
    }();
    return checker.get();
}

bool isAscii(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// Unicode's skeleton of a label: what it reads as, each character mapped to its prototype.
QString skeletonOf(const USpoofChecker* checker, QStringView label)
{
    const auto length = static_cast<int32_t>(label.size());
    UErrorCode status = U_ZERO_ERROR;
    const int32_t needed = uspoof_getSkeleton(checker, 0, label.utf16(), length, nullptr, 0, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR || needed <= 0) {
        return {};
    }
    QString skeleton(needed, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    uspoof_getSkeleton(checker, 0, label.utf16(), length, reinterpret_cast<UChar*>(skeleton.data()), needed, &status);
    return U_FAILURE(status) ? QString() : skeleton;
}

void checkLabels(const QString& host, HostFacts* facts)
{
    const USpoofChecker* checker = spoofChecker();
    for (const QStringView label : QStringTokenizer(host, u'.', Qt::SkipEmptyParts)) {
        if (isAscii(label)) {
            continue;
        }
        if (checker == nullptr) {
            facts->lookAlike = true;
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        const int32_t found
            = uspoof_check2(checker, label.utf16(), static_cast<int32_t>(label.size()), nullptr, &status);
        if (U_FAILURE(status)) {
            facts->lookAlike = true;
            continue;
        }
        facts->mixedScripts = facts->mixedScripts || (found & (USPOOF_RESTRICTION_LEVEL | USPOOF_MIXED_NUMBERS)) != 0;
        // A label of letters other than ASCII that still reads as ASCII (Cyrillic "аррӏе" as "apple")
        // is confusable with an ASCII name, whatever the script it keeps to.
        const QString skeleton = skeletonOf(checker, label);
        facts->lookAlike = facts->lookAlike || (found & (USPOOF_INVISIBLE | USPOOF_HIDDEN_OVERLAY)) != 0
            || (!skeleton.isEmpty() && isAscii(skeleton));
    }
}

// The host as stored, percent-decoded: the authority after any user information.
QString storedHost(const QString& target)
{
    const qsizetype start = target.indexOf(u"://");
    if (start < 0) {
        return {};
    }
    QStringView authority = QStringView(target).sliced(start + 3);
    const auto* const end
        = std::find_if(authority.begin(), authority.end(), [](QChar c) { return c == u'/' || c == u'?' || c == u'#'; });
    authority = authority.first(end - authority.begin());
    const qsizetype at = authority.lastIndexOf(u'@');
    return QUrl::fromPercentEncoding(authority.sliced(at + 1).toUtf8());
}
} // namespace

HostFacts inspectHost(const QString& target, const QByteArray& location)
{
    HostFacts facts;
    const QUrl url(QString::fromLatin1(location), QUrl::StrictMode);
    const QString host = url.host(QUrl::FullyEncoded);
    facts.ascii = host.contains(u':') ? u'[' + host + u']' : host;
    // Decoded whatever the top-level domain: Qt would otherwise keep some of them in punycode.
    const QString decoded = QUrl::fromAce(host.toLatin1(), QUrl::IgnoreIDNWhitelist);
    facts.unicode = decoded.isEmpty() ? facts.ascii : decoded;
    facts.userInfo = url.userInfo();
    for (const QChar c : storedHost(target)) {
        if (std::find(std::begin(OddDots), std::end(OddDots), c.unicode()) != std::end(OddDots)
            && !facts.oddDots.contains(c)) {
            facts.oddDots += c;
        }
    }
    checkLabels(facts.unicode, &facts);
    return facts;
}

} // namespace Shortd
