#pragma once

#include <QStringView>
#include <array>

// What the client and the service must agree on, written once. A change here changes both sides.
namespace Nolvex::Protocol
{

// The three request paths.
inline constexpr QStringView ShortenPath = u"/index.php/Index/weburl_zip";
inline constexpr QStringView VersionPath = u"/index.php/Index/soft_version";
inline constexpr QStringView ReleasePagePrefix = u"/index.php/Works/detail/sid/";

// The shortening GET's query keys, in the order the client sends them.
inline constexpr QStringView TypeKey = u"type";
inline constexpr QStringView UrlKey = u"url";
inline constexpr QStringView TokenKey = u"token";
inline constexpr std::array<QStringView, 3> ShortenQueryKeys {TypeKey, UrlKey, TokenKey};

// The version POST's one form field and the product it names.
inline constexpr QStringView ProductKey = u"sn";
inline constexpr QStringView ProductCode = u"tkvr";

// Appended to the address before it is digested into the token.
inline constexpr QStringView Salt = u"brisk";

// Link types are the digits 0 to LinkTypeCount - 1.
inline constexpr int LinkTypeCount = 6;

// What people see of the types and of the request, wherever they shorten: the window and the
// service's own page show the same words. The type names are the link bases the types stand for.
inline constexpr std::array<QStringView, LinkTypeCount> LinkTypeNames {
    u"i.test", u"qrl.test", u"lk.test", u"ql.test", u"tk.test", u"si.test"};
inline constexpr QStringView ShortenButtonText = u"生成短网址";

// Reply members. A shortening reply has result, info and message; a version reply has result and an
// info object with version, sid and must.
inline constexpr QStringView ResultMember = u"result";
inline constexpr QStringView InfoMember = u"info";
inline constexpr QStringView MessageMember = u"message";
inline constexpr QStringView VersionMember = u"version";
inline constexpr QStringView SidMember = u"sid";
inline constexpr QStringView MustMember = u"must";

} // namespace Nolvex::Protocol
