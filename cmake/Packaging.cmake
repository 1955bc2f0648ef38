# Two Debian packages from one tree (`cmake --build build --target package`):
#   nolvex-shortener  the window, its skin, desktop entry, icons, metainfo and man page (component client)
#   nolvex-shortd     the service, its systemd unit, system user, settings file and man page (component service)
# Library dependencies come from dpkg-shlibdeps; what is loaded at run time as a plug-in (Qt's platform
# and SQL drivers) is named by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nolvex)
set(CPACK_PACKAGE_VENDOR Nolvex)
set(CPACK_PACKAGE_CONTACT "Nolvex <dev@nolvex.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's own description below starts with its synopsis; a summary here would be put before it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_HOMEPAGE_URL ${NOLVEX_PROJECT_HOME})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL client service)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME nolvex-shortener)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION web)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei, qt6-translations-l10n")
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "desktop client that turns long web addresses into short links
Nolvex is a single small window: paste a long web address, pick one of six
short-link services and press one button. The short link appears at once,
ready to copy; the long address can be opened in the browser or cleared.
.
The client sends one signed request to a shortening service over HTTPS and
shows its answer. The service is packaged as nolvex-shortd.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME nolvex-shortd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6sql6-psql, publicsuffix")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${NOLVEX_SHORTD_CONTROL_DIR}/postinst ${NOLVEX_SHORTD_CONTROL_DIR}/prerm ${NOLVEX_SHORTD_CONTROL_DIR}/postrm
    ${NOLVEX_SHORTD_CONTROL_DIR}/conffiles)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "self-hosted link shortening service for the Nolvex client
nolvex-shortd makes short links for the Nolvex client, redirects them, counts
their visits and shows a preview page for each. It serves HTTP or HTTPS and
keeps its links in SQLite or PostgreSQL.
.
The package runs it as a systemd service under its own system user, with its
data in /var/lib/nolvex-shortd and its settings in /etc/default/nolvex-shortd.")

include(CPack)
