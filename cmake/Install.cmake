# The install tree: the programs, the tag dictionary, and what the desktop
# needs to list Dravik in its menu and open store files with it. `cmake
# --install` and the Debian package (cmake/Package.cmake) share these rules.
#
#   bin/                      dravik, dravik-dump, dravik-export, dravik-profiles, pstgen
#   libexec/dravik/           dravik-mailcpl ("Mail Control Panel")
#   share/dravik/             Dravik.ini, where the programs look for it
#   share/applications/       the desktop entry
#   share/metainfo/           the AppStream description
#   share/mime/packages/      .pst and .ost types, by name and by content
#   share/icons/hicolor/      the icon at 16 to 256 pixels and as SVG
#   share/man/man1/           a page for each program in bin/

set(DRAVIK_APP_ID org.dravik.Dravik)
# The date of the release that the AppStream file names with the version.
set(DRAVIK_RELEASE_DATE 2026-12-10)
set(DRAVIK_ICON_SIZES 16 22 24 32 48 64 128 256)
set(DRAVIK_LINUX_DIR "${CMAKE_SOURCE_DIR}/res/linux")
set(DRAVIK_GEN_DIR "${CMAKE_BINARY_DIR}/install-files")

foreach(program dravik dravik-dump dravik-export dravik-profiles dravik-savemsg pstgen)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET dravik-mailcpl)
  install(TARGETS dravik-mailcpl RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/dravik)
endif()
install(FILES "${CMAKE_SOURCE_DIR}/Dravik.ini" DESTINATION ${CMAKE_INSTALL_DATADIR}/dravik)

install(FILES "${DRAVIK_LINUX_DIR}/${DRAVIK_APP_ID}.desktop" DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file("${DRAVIK_LINUX_DIR}/${DRAVIK_APP_ID}.metainfo.xml.in"
               "${DRAVIK_GEN_DIR}/${DRAVIK_APP_ID}.metainfo.xml" @ONLY)
install(FILES "${DRAVIK_GEN_DIR}/${DRAVIK_APP_ID}.metainfo.xml" DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES "${DRAVIK_LINUX_DIR}/${DRAVIK_APP_ID}.xml" DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)

# The icon is drawn once, as SVG; the bitmaps are rendered from it by the build.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icon_svg "${DRAVIK_LINUX_DIR}/${DRAVIK_APP_ID}.svg")
set(icon_pngs)
foreach(size ${DRAVIK_ICON_SIZES})
  set(png "${DRAVIK_GEN_DIR}/icons/${size}/${DRAVIK_APP_ID}.png")
  add_custom_command(OUTPUT "${png}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${DRAVIK_GEN_DIR}/icons/${size}"
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o "${png}" "${icon_svg}"
    DEPENDS "${icon_svg}"
    COMMENT "Rendering the ${size} pixel icon"
    VERBATIM)
  list(APPEND icon_pngs "${png}")
  install(FILES "${png}" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES "${icon_svg}" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Man pages carry the version and are installed compressed, as Debian keeps them.
set(man_gzs)
foreach(page dravik dravik-dump dravik-export dravik-profiles dravik-savemsg pstgen)
  configure_file("${CMAKE_SOURCE_DIR}/res/man/${page}.1" "${DRAVIK_GEN_DIR}/man/${page}.1" @ONLY)
  set(gz "${DRAVIK_GEN_DIR}/man/${page}.1.gz")
  add_custom_command(OUTPUT "${gz}"
    COMMAND gzip -9 -n -c "${DRAVIK_GEN_DIR}/man/${page}.1" > "${gz}"
    DEPENDS "${DRAVIK_GEN_DIR}/man/${page}.1"
    COMMENT "Compressing the ${page} man page")
  list(APPEND man_gzs "${gz}")
  install(FILES "${gz}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

add_custom_target(install_files ALL DEPENDS ${icon_pngs} ${man_gzs})

# The install tree in a temporary prefix (label install).
add_test(NAME install.tree
  COMMAND bash "${CMAKE_SOURCE_DIR}/cmake/tests/check_install.sh" tree "${CMAKE_BINARY_DIR}"
          "${DRAVIK_SAMPLES_DIR}" "${PROJECT_VERSION}")
set_tests_properties(install.tree PROPERTIES LABELS install TIMEOUT ${DRAVIK_TEST_TIMEOUT})
