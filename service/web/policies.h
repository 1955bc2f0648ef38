#pragma once

#include <QByteArrayView>

namespace Shortd
{

// The content-security policies the service's replies carry, each written here once; the route
// table names the one each route answers with.
enum class SecurityPolicy : quint8 {
    None, // no header: redirects, JSON, assets, PNG images
    Page, // a page of the service's own making: no script, never framed, no form
    FormPage, // as Page, with a form sent to this service (a limited link's button)
    ReportPage, // as Page, with the report form, which posts to this service and nowhere else
    App, // the shortening page and the console: scripts and styles from this origin
    Image, // an SVG image: no script, its own styles only
};

// Pages run no script and are never framed.
inline constexpr auto PagePolicy = QByteArrayView("default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                                                  "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
// A form sends to this service only; as browsers also hold the redirect that answers a form to
// form-action, such a page allows the schemes a link may lead to as well.
inline constexpr auto FormPagePolicy = QByteArrayView("default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                                                      "base-uri 'none'; form-action 'self' http: https:; "
                                                      "frame-ancestors 'none'");
// The report form answers with a page, never a redirect, so no other scheme needs allowing.
inline constexpr auto ReportPagePolicy = QByteArrayView("default-src 'none'; style-src 'unsafe-inline'; "
                                                        "img-src 'self'; base-uri 'none'; form-action 'self'; "
                                                        "frame-ancestors 'none'");
// Scripts, styles and images from this origin only, none written into the page; no frames, no
// forms sent elsewhere, no <base> that could send relative addresses elsewhere.
inline constexpr auto AppPolicy
    = QByteArrayView("default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
inline constexpr auto ImagePolicy = QByteArrayView("default-src 'none'; style-src 'unsafe-inline'");

inline constexpr QByteArrayView policyText(SecurityPolicy policy)
{
    switch (policy) {
    case SecurityPolicy::Page:
        return PagePolicy;
    case SecurityPolicy::FormPage:
        return FormPagePolicy;
    case SecurityPolicy::ReportPage:
        return ReportPagePolicy;
    case SecurityPolicy::App:
        return AppPolicy;
    case SecurityPolicy::Image:
        return ImagePolicy;
    case SecurityPolicy::None:
        break;
    }
    return {};
}

} // namespace Shortd
