# `make install`: the program with its two asset files beside it (it reads its
# own folder) under libexec, a link to it in bin, the icons in the hicolor
# theme and a desktop entry. Included from resources/CMakeLists.txt.

# --- the program: its folder holds the page's assets, a link puts it on PATH ---
set(VELKIN_INSTALL_PROGRAM_DIR ${CMAKE_INSTALL_LIBEXECDIR}/velkin)
if(TARGET velkin)
  install(TARGETS velkin RUNTIME DESTINATION ${VELKIN_INSTALL_PROGRAM_DIR})
  install(FILES ${VELKIN_APP_DIR}/highlight.min.js ${VELKIN_APP_DIR}/hljs-theme.min.css
          DESTINATION ${VELKIN_INSTALL_PROGRAM_DIR})
  # The program finds its folder through its real path, so a link still works.
  file(RELATIVE_PATH velkin_link_target /prefix/${CMAKE_INSTALL_BINDIR}
       /prefix/${VELKIN_INSTALL_PROGRAM_DIR}/velkin)
  install(CODE "
    set(velkin_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${velkin_bin}\")
    message(STATUS \"Installing: \${velkin_bin}/velkin -> ${velkin_link_target}\")
    file(CREATE_LINK \"${velkin_link_target}\" \"\${velkin_bin}/velkin\" SYMBOLIC)
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
  set(VELKIN_DESKTOP_FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/velkin.desktop\")
  include(\"${CMAKE_CURRENT_SOURCE_DIR}/write_desktop_entry.cmake\")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${VELKIN_DESKTOP_FILE}\")")
