# The program's one version, project(vqr03 VERSION ...), for every place that shows it: the
# programs' --version, the window title and about box, the Windows version resources and
# manifests, the .deb, the .zip, the man pages and the AppStream release.
#
#   vqr_version.h   major, minor, the text "MAJOR.MINOR" and the resource forms, written at configure
#                   time (plain C macros: the Windows resource scripts include it too)
#   vqr_revision.h  VQR_REVISION_SUFFIX, " (g1234abc)" in a git checkout and "" otherwise,
#                   written at build time and only when the revision changed, so that an
#                   unchanged revision rebuilds nothing and a new one only the programs' mains
#
# Link the INTERFACE target vqr_version to see both headers.
set(VQR_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# The application's id on Linux: the desktop entry's and the AppStream metadata's name, and the
# window's desktop file name (which desktop entry, and so which icon, the window belongs to).
set(VQR_APP_ID org.vqr03.updater)
file(MAKE_DIRECTORY ${VQR_GENERATED_DIR})

if(PROJECT_VERSION_PATCH STREQUAL "")
  set(VQR_VERSION_PATCH 0)
else()
  set(VQR_VERSION_PATCH ${PROJECT_VERSION_PATCH})
endif()
# The four numbers of a Windows version resource.
set(VQR_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${VQR_VERSION_PATCH}.0")

configure_file(${PROJECT_SOURCE_DIR}/resources/vqr_version.h.in ${VQR_GENERATED_DIR}/vqr_version.h
               @ONLY)
add_custom_target(vqr_revision
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DOUTPUT=${VQR_GENERATED_DIR}/vqr_revision.h -P ${PROJECT_SOURCE_DIR}/cmake/GitRevision.cmake
  BYPRODUCTS ${VQR_GENERATED_DIR}/vqr_revision.h
  COMMENT "Checking the git revision"
  VERBATIM)

add_library(vqr_version INTERFACE)
target_include_directories(vqr_version INTERFACE ${VQR_GENERATED_DIR})
add_dependencies(vqr_version vqr_revision)

# The Windows manifests carry the version too; the resource scripts find them in the
# generated folder, which is on their include path through vqr_version.
if(WIN32)
  foreach(program vqr03 vqr03-cli)
    configure_file(${PROJECT_SOURCE_DIR}/resources/${program}.exe.manifest.in
                   ${VQR_GENERATED_DIR}/${program}.exe.manifest @ONLY)
  endforeach()
endif()
