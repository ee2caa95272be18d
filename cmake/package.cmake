# Debian packages, one per road, built with `cpack -G DEB`:
#
#   printer-driver-quorvel  the CUPS road: filter, PPD, quorvel-preview;
#   quorvel-printer-app     the driverless road: the printer application and
#                           the systemd service that runs its server.
#
# Two packages, so that a CUPS user does not get a network print server
# started on the machine, and a user of the application does not need CUPS.
# The second is made only when the application is built (PAPPL found).
#
# Files installed without a component (the filter, the PPD, the preview) go
# into the first package; the application's files carry the component `app`.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(QUORVEL_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
set(QUORVEL_DRIVER_PACKAGE printer-driver-quorvel)
set(QUORVEL_APP_PACKAGE quorvel-printer-app)

# Manual pages and the changelog are installed compressed, without a
# timestamp in the gzip header, so two builds give the same package.
find_program(QUORVEL_GZIP gzip REQUIRED)
set(quorvel_gzipped "")
# The output's folder is made first: Ninja makes it by itself, Make does not.
function(quorvel_gzip source output)
  get_filename_component(folder "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
                     COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
                     COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh "${QUORVEL_GZIP}" "${source}" "${output}"
                     DEPENDS "${source}" VERBATIM)
  set(quorvel_gzipped ${quorvel_gzipped} "${output}" PARENT_SCOPE)
endfunction()

set(gz "${CMAKE_CURRENT_BINARY_DIR}/packaging")
quorvel_gzip("${QUORVEL_PACKAGING_DIR}/man/rastertoquorvel.8" "${gz}/rastertoquorvel.8.gz")
quorvel_gzip("${QUORVEL_PACKAGING_DIR}/man/quorvel-preview.1" "${gz}/quorvel-preview.1.gz")
quorvel_gzip("${QUORVEL_PACKAGING_DIR}/debian/changelog" "${gz}/changelog.gz")
if(TARGET quorvel-printer-app)
  quorvel_gzip("${QUORVEL_PACKAGING_DIR}/man/quorvel-printer-app.1" "${gz}/quorvel-printer-app.1.gz")
endif()
add_custom_target(quorvel_packaging_files ALL DEPENDS ${quorvel_gzipped})

# Manual pages come with every install. The copyright file, changelog and
# unit are for packages only (EXCLUDE_FROM_ALL keeps them out of a plain
# `cmake --install`); CPack installs each component by name, so they are in.
install(FILES "${gz}/rastertoquorvel.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8"
        COMPONENT Unspecified)
install(FILES "${gz}/quorvel-preview.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
        COMPONENT Unspecified)
install(FILES "${QUORVEL_PACKAGING_DIR}/debian/copyright" "${gz}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUORVEL_DRIVER_PACKAGE}"
        COMPONENT Unspecified EXCLUDE_FROM_ALL)

set(CPACK_COMPONENTS_ALL Unspecified)
if(TARGET quorvel-printer-app)
  list(APPEND CPACK_COMPONENTS_ALL app)
  install(FILES "${gz}/quorvel-printer-app.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
          COMPONENT app)
  install(FILES "${QUORVEL_PACKAGING_DIR}/debian/copyright" "${gz}/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUORVEL_APP_PACKAGE}"
          COMPONENT app EXCLUDE_FROM_ALL)
  # The unit goes under the package's prefix, /usr/lib/systemd/system:
  # with merged /usr, /lib is only an alias, which Debian 13's lintian
  # rejects as an error; Debian 12's systemd reads units from both.
  install(FILES "${QUORVEL_PACKAGING_DIR}/quorvel-printer-app.service"
          DESTINATION lib/systemd/system
          COMPONENT app EXCLUDE_FROM_ALL)
  # The PAM service that checks administrators' passwords (a conffile).
  install(FILES "${QUORVEL_PACKAGING_DIR}/debian/app/pam" DESTINATION /etc/pam.d
          RENAME quorvel-printer-app COMPONENT app EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-driver)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Quorvel driver developers <drivers@quorvel.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE quorvel-driver)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME "${QUORVEL_DRIVER_PACKAGE}")
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_RECOMMENDS "cups")
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "CUPS driver for Quorvel monochrome printers
The CUPS filter rastertoquorvel and the PPD quorvel/quorvel.ppd, which make
a CUPS queue for a Quorvel monochrome printer: CUPS renders each job at
600 dpi and the filter turns the raster into the printer's command stream.
.
Also quorvel-preview, which checks a printer stream and draws its pages as
PNG images, to see what the printer will print.")

set(CPACK_DEBIAN_APP_PACKAGE_NAME "${QUORVEL_APP_PACKAGE}")
# The application renders PDF by running Ghostscript, which no scan of the
# linked libraries can see; the postinst makes the service's user; its PAM
# file includes libpam-runtime's common-auth.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "adduser, ghostscript, libpam-runtime")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "avahi-daemon")
set(CPACK_DEBIAN_APP_PACKAGE_SUGGESTS "${QUORVEL_DRIVER_PACKAGE}")
set(CPACK_DEBIAN_APP_PACKAGE_CONTROL_EXTRA
    "${QUORVEL_PACKAGING_DIR}/debian/app/conffiles"
    "${QUORVEL_PACKAGING_DIR}/debian/app/postinst"
    "${QUORVEL_PACKAGING_DIR}/debian/app/prerm"
    "${QUORVEL_PACKAGING_DIR}/debian/app/postrm")
set(CPACK_DEBIAN_APP_DESCRIPTION "IPP Everywhere printer application for Quorvel printers
quorvel-printer-app makes a Quorvel monochrome printer an IPP Everywhere
printer: phones, laptops and desktops find it on the network and print to
it without a driver, and a web page sets it up.
.
The package runs its server as a systemd service, as a system user of its
own in group lp, with its state in /var/lib/quorvel-printer-app.")

include(CPack)
