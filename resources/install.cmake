# `make install`: the program with its two asset files beside it (it reads its
# own folder) under libexec, a link to it in bin, the icons in the hicolor
# theme and a desktop entry. Included from resources/CMakeLists.txt.

# --- what `make install` builds: what these rules install, and no test ---
add_custom_target(velkin_install_files)
add_dependencies(velkin_install_files velkin_icon)

# --- an install with its own list of files ---
# `cmake --install` lists what it installed in build/install_manifest.txt, the
# record of the real install on this machine. A staged (DESTDIR) install and
# the install test list theirs elsewhere: every install rule is in this
# folder, so its script alone installs everything, and install_alone.cmake
# (-DCMAKE_INSTALL_PREFIX=<prefix> -DVELKIN_MANIFEST=<file> -P) runs it and
# writes the list to <file>.
set(VELKIN_INSTALL_ALONE ${CMAKE_BINARY_DIR}/install_alone.cmake)
set(VELKIN_INSTALL_ALONE ${VELKIN_INSTALL_ALONE} PARENT_SCOPE)
file(CONFIGURE OUTPUT ${VELKIN_INSTALL_ALONE} CONTENT [[
if(NOT VELKIN_MANIFEST)
  message(FATAL_ERROR "Say where the list of installed files goes: -DVELKIN_MANIFEST=<file>")
endif()
include("@CMAKE_CURRENT_BINARY_DIR@/cmake_install.cmake")
string(REPLACE ";" "\n" velkin_manifest "${CMAKE_INSTALL_MANIFEST_FILES}")
file(WRITE "${VELKIN_MANIFEST}" "${velkin_manifest}")
]] @ONLY)

# --- the program: its folder holds the page's assets, a link puts it on PATH ---
set(VELKIN_INSTALL_PROGRAM_DIR ${CMAKE_INSTALL_LIBEXECDIR}/velkin)
if(TARGET velkin)
  add_dependencies(velkin_install_files velkin velkin_page_assets)
  install(TARGETS velkin RUNTIME DESTINATION ${VELKIN_INSTALL_PROGRAM_DIR})
  install(FILES ${VELKIN_APP_DIR}/highlight.min.js ${VELKIN_APP_DIR}/hljs-theme.min.css
          DESTINATION ${VELKIN_INSTALL_PROGRAM_DIR})
  # The program finds its folder through its real path, so a link still works.
  file(RELATIVE_PATH velkin_link_target /prefix/${CMAKE_INSTALL_BINDIR}
       /prefix/${VELKIN_INSTALL_PROGRAM_DIR}/velkin)
  # The list of files names final paths, as CMake's own entries do under DESTDIR.
  install(CODE "
    set(velkin_bin \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${velkin_bin}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${velkin_bin}/velkin -> ${velkin_link_target}\")
    file(CREATE_LINK \"${velkin_link_target}\" \"\$ENV{DESTDIR}\${velkin_bin}/velkin\" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${velkin_bin}/velkin\")")
endif()

# --- the icons, one PNG a size ---
foreach(size ${VELKIN_ICON_SIZES})
  install(FILES ${VELKIN_ICON_DIR}/velkin-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME velkin.png)
endforeach()

# --- the desktop entry, written at install time: Exec names the real prefix ---
install(CODE "
  set(VELKIN_DESKTOP_EXEC \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velkin\")
  set(velkin_desktop_entry \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/velkin.desktop\")
  set(VELKIN_DESKTOP_FILE \"\$ENV{DESTDIR}\${velkin_desktop_entry}\")
  include(\"${CMAKE_CURRENT_SOURCE_DIR}/write_desktop_entry.cmake\")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${velkin_desktop_entry}\")")
