# Debian packages, built by `cpack -G DEB` in the build folder:
#   vorn          the client, its skin, desktop entry, icons, metainfo, vorn(1)
#   vorn-station  the station, vorn-station(1), its systemd service and defaults
# Each install() rule names its package as its COMPONENT. The files only a
# package installs (below /etc, the service unit, the Debian copyright and
# changelog) are EXCLUDE_FROM_ALL, so `cmake --install --prefix ~/.local` never
# writes outside its prefix. The version is the project's VERSION.
#
# The binaries are built with Debian's hardening flags and without build paths
# (cmake/VornBuildFlags.cmake), and every time stamp in the packages is the
# last commit's (SOURCE_DATE_EPOCH, unless the environment sets one), so two
# builds of one commit make the same packages, byte for byte.

set(VORN_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VORN_DEBIAN_REVISION 1)

set(VORN_DEBIAN_MAINTAINER "Vorn maintainers <vorn@mirelund.com>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://vorn.mirelund.com/)

# One copyright file for both packages, in the machine-readable format; the
# display font's licence paragraph is taken from the licence file shipped with
# the font, so the two cannot drift apart.
file(READ ${PROJECT_SOURCE_DIR}/resources/DIGIRT__.LICENSE.txt font_licence)
string(REGEX MATCH "\nLicense: OFL-1\.1\n[^\n]+(\n [^\n]*)*" VORN_FONT_LICENSE "${font_licence}")
string(STRIP "${VORN_FONT_LICENSE}" VORN_FONT_LICENSE)
set(VORN_COPYRIGHT ${CMAKE_CURRENT_BINARY_DIR}/packaging/copyright)
configure_file(${VORN_PACKAGING_DIR}/copyright.in ${VORN_COPYRIGHT} @ONLY)

# /usr/share/doc/<package>: the copyright file and the compressed Debian
# changelog, which every Debian package carries.
function(vorn_package_docs package)
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/${package}/changelog.Debian)
  configure_file(${VORN_PACKAGING_DIR}/changelog.Debian.in ${changelog} @ONLY)
  vorn_compressed(${changelog} vorn_${package}_changelog)
  install(FILES ${changelog}.gz ${VORN_COPYRIGHT}
          DESTINATION share/doc/${package} COMPONENT ${package} EXCLUDE_FROM_ALL)
endfunction()

vorn_package_docs(vorn)
vorn_package_docs(vorn-station)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VENDOR Mirelund)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VORN_DEBIAN_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL vorn vorn-station)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VORN_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VORN_DEBIAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts 0755, conffiles 0644, as dpkg expects them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_VORN_PACKAGE_NAME vorn)
set(CPACK_COMPONENT_VORN_DESCRIPTION "desktop custom-radio client
Vorn plays music that a recommendation station picks for one listener, asks
for a one-to-five-star rating of every piece and sends the ratings back, so
that the next picks fit better. It keeps the downloaded music filed by rating
in a media folder and shows itself as one small skinned window, with media
keys, desktop media controls and track notices.

It needs a station to pick music (the vorn-station package, on this machine
or another).")
# Playback goes through GStreamer's playbin (plugins-base) and decodes MP3 with
# mpg123 (plugins-good); Qt draws through its xcb or wayland platform plugin.
set(CPACK_DEBIAN_VORN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, qt6-qpa-plugins")
set(CPACK_DEBIAN_VORN_PACKAGE_SUGGESTS "vorn-station")

set(CPACK_DEBIAN_VORN-STATION_PACKAGE_NAME vorn-station)
set(CPACK_DEBIAN_VORN-STATION_PACKAGE_SECTION net)
set(CPACK_COMPONENT_VORN-STATION_DESCRIPTION "recommendation and media station for Vorn
vorn-station serves Vorn clients: it recommends music from a folder of MP3
files, learns from every listener's ratings, serves the files, the station's
pages and a content-network mirror. Several stations can share one
PostgreSQL database and key pair.

The package runs it as the system service vorn-station under its own system
user, with its database, key pair and music in /var/lib/vorn-station.")
# adduser makes the service's user; the demo library is encoded by GStreamer's
# LAME plugin. (deb-systemd-helper, which enables the service, is essential.)
set(CPACK_DEBIAN_VORN-STATION_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_VORN-STATION_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-good")
set(CPACK_DEBIAN_VORN-STATION_PACKAGE_CONTROL_EXTRA
    ${VORN_PACKAGING_DIR}/vorn-station/conffiles
    ${VORN_PACKAGING_DIR}/vorn-station/postinst
    ${VORN_PACKAGING_DIR}/vorn-station/prerm
    ${VORN_PACKAGING_DIR}/vorn-station/postrm)

install(FILES ${VORN_PACKAGING_DIR}/vorn-station/vorn-station.service
        DESTINATION lib/systemd/system COMPONENT vorn-station EXCLUDE_FROM_ALL)
install(FILES ${VORN_PACKAGING_DIR}/vorn-station/vorn-station.default
        DESTINATION /etc/default RENAME vorn-station COMPONENT vorn-station EXCLUDE_FROM_ALL)
# The recipe for a fleet of stations behind a load balancer, watched by
# Prometheus (the README's "Running a station for many listeners").
install(FILES ${VORN_PACKAGING_DIR}/examples/haproxy.cfg ${VORN_PACKAGING_DIR}/examples/prometheus.yml
        DESTINATION share/doc/vorn-station/examples COMPONENT vorn-station EXCLUDE_FROM_ALL)

set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/VornSourceDate.cmake)
configure_file(${PROJECT_SOURCE_DIR}/cmake/VornSourceDate.cmake.in ${CPACK_PROJECT_CONFIG_FILE} @ONLY)

# Everything the packages hold that the build makes, for a build of the
# packages alone (cpack then builds nothing itself when configured with
# CMAKE_SKIP_INSTALL_ALL_DEPENDENCY; tests/app/RebuildPackages.cmake).
add_custom_target(vorn_packaged)
add_dependencies(vorn_packaged vorn vorn-station vorn_man_vorn.1 vorn_man_vorn-station.1 vorn_vorn_changelog
                 vorn_vorn-station_changelog)

include(CPack)
