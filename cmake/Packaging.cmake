# Installation and packages, for the programs' target names (vqr03, vqr03-cli, vqr-pack).
#
# Linux: `cmake --install` puts in place the programs, the udev rule that gives the user at the
# seat the device's hidraw nodes, the desktop entry with its icons, the AppStream metadata, the
# man pages and the Debian copyright and changelog; `cpack -G DEB` makes vqr03_VERSION_ARCH.deb.
#
# Windows: the two programs, README.txt and the licence texts of the libraries linked into
# them; `cpack -G ZIP` makes vqr03-VERSION-win64.zip.
#
# Both packages strip the programs (CPACK_STRIP_FILES).
include(GNUInstallDirs)

set(VQR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VQR_LINUX_RESOURCES ${PROJECT_SOURCE_DIR}/resources/linux)
set(VQR_MAINTAINER "VQR03 maintainers <vqr03@example.com>")

# The release date of the man pages, the AppStream release and the Debian changelog: today, or
# SOURCE_DATE_EPOCH when it is set (reproducible builds).
string(TIMESTAMP VQR_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP VQR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(CPACK_PACKAGE_NAME vqr03)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VQR03 maintainers")
set(CPACK_PACKAGE_CONTACT "${VQR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for VQR03 USB devices")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS vqr03 vqr03-cli RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
  # The runtime the static link puts into both programs (mingw-w64 CRT and winpthreads,
  # libgcc and libstdc++) and the header-only CLI11 in vqr03-cli.
  install(FILES ${VQR_PACKAGING_DIR}/windows/licenses/mingw-w64-runtime.txt
                ${VQR_PACKAGING_DIR}/windows/licenses/gcc-runtime-library-exception.txt
                ${VQR_PACKAGING_DIR}/windows/licenses/GPL-3.txt
                ${VQR_PACKAGING_DIR}/windows/licenses/CLI11.txt
                ${VQR_PACKAGING_DIR}/windows/licenses/libgcrypt.txt
                ${VQR_PACKAGING_DIR}/windows/licenses/libgpg-error.txt
                ${VQR_PACKAGING_DIR}/windows/licenses/LGPL-2.1.txt
          DESTINATION licenses)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vqr03-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS vqr03-cli vqr-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Not under CMAKE_INSTALL_LIBDIR (lib/x86_64-linux-gnu on Debian): udev reads lib/udev.
  install(FILES ${VQR_LINUX_RESOURCES}/70-vqr03.rules DESTINATION lib/udev/rules.d)

  # The window, where Qt was found: the program, its desktop entry and icons, and the AppStream
  # metadata that names the devices it is for.
  if(TARGET vqr03)
    install(TARGETS vqr03 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${VQR_LINUX_RESOURCES}/vqr03.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications RENAME ${VQR_APP_ID}.desktop)
    foreach(size 16 32 48 64 128)
      install(FILES ${VQR_LINUX_RESOURCES}/icons/vqr03-${size}.png
              DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
              RENAME vqr03.png)
    endforeach()
    configure_file(${VQR_LINUX_RESOURCES}/vqr03.metainfo.xml.in
                   ${VQR_GENERATED_DIR}/${VQR_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${VQR_GENERATED_DIR}/${VQR_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  endif()

  # The man pages, the Debian copyright and changelog; the pages and the changelog compressed
  # as Debian wants them (gzip -9n: no file name, no time stamp).
  set(pages vqr03-cli vqr-pack)
  if(TARGET vqr03)
    list(PREPEND pages vqr03)
  endif()
  set(VQR_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vqr03)
  set(compressed "")
  foreach(page ${pages})
    configure_file(${VQR_LINUX_RESOURCES}/man/${page}.1.in ${VQR_GENERATED_DIR}/man/${page}.1
                   @ONLY)
    list(APPEND compressed ${VQR_GENERATED_DIR}/man/${page}.1)
    install(FILES ${VQR_GENERATED_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # A native package (its version has no Debian revision) keeps its changelog as changelog.gz.
  configure_file(${VQR_PACKAGING_DIR}/debian/changelog.in ${VQR_GENERATED_DIR}/debian/changelog
                 @ONLY)
  list(APPEND compressed ${VQR_GENERATED_DIR}/debian/changelog)
  install(FILES ${VQR_GENERATED_DIR}/debian/changelog.gz DESTINATION ${VQR_DOC_DIR})
  install(FILES ${VQR_PACKAGING_DIR}/debian/copyright DESTINATION ${VQR_DOC_DIR})

  set(outputs "")
  foreach(file ${compressed})
    add_custom_command(OUTPUT ${file}.gz
      COMMAND gzip -9nfk ${file}
      DEPENDS ${file}
      COMMENT "Compressing ${file}"
      VERBATIM)
    list(APPEND outputs ${file}.gz)
  endforeach()
  add_custom_target(vqr_compressed_docs ALL DEPENDS ${outputs})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The extended description; CPack puts the summary above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Plug in a VQR03 device (USB vendor 0416, products F360 to F36F): the updater
reads its information page, downloads its model's catalog from the update
server, checks it and lists the optional images. One press of the start
button downloads, checks, erases, writes and reads back every image that
applies. Success is reported only when the read-back proved it.
.
The package holds the window (vqr03), the same workflow for scripts and
factory benches (vqr03-cli), the vendor's package tool (vqr-pack), and a udev
rule that gives the user at the seat access to the devices.")
  # The libraries' packages from what the programs link (dpkg-shlibdeps), and a font with the
  # Traditional Chinese glyphs of the window's texts.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei")
  # postinst applies the udev rule to devices already plugged in; postrm unloads it.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${VQR_PACKAGING_DIR}/debian/postinst ${VQR_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
