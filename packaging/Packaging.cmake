# Installing Kestrel like any Linux desktop program, and its Debian package.
#
#   cmake --install build/release --prefix /usr/local    # from source
#   cd build/release && cpack                            # kestrel_<version>-1_<arch>.deb
#
# The package is made from the same install rules, with the prefix /usr.

set(kestrel_packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(kestrel_packaging_out ${PROJECT_BINARY_DIR}/packaging)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(KESTREL_PACKAGE_MAINTAINER "The Kestrel developers <kestrel@example.org>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")
set(KESTREL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the package")

find_program(KESTREL_GZIP gzip REQUIRED)

# ---- Programs ---------------------------------------------------------------
# kestrel-scpi, kestrel-sim and kestrel-sweep install from their own folders.
install(TARGETS kestrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The template of ~/sendArbcmd.sh; the installed kestrel-scpi's path is filled in
# when a user's script is made from it.
install(FILES ${PROJECT_SOURCE_DIR}/scripts/sendArbcmd.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel)
# The built-in instrument profiles; a user's file of the same name in
# ~/.config/kestrel/instruments replaces one.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/instruments/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/instruments FILES_MATCHING PATTERN "*.toml")
# It starts with #! but is copied, not run, so it is rightly not executable.
install(FILES ${kestrel_packaging_dir}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kestrel)

# ---- Desktop entry and icons --------------------------------------------------
install(FILES ${kestrel_packaging_dir}/kestrel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${kestrel_packaging_dir}/kestrel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The PNG sizes are drawn from the SVG at build time, so they never drift apart.
find_package(Qt6 REQUIRED COMPONENTS Gui Svg)
add_executable(kestrel-iconrender ${kestrel_packaging_dir}/iconrender.cpp)
target_link_libraries(kestrel-iconrender PRIVATE Qt6::Gui Qt6::Svg)
set_target_properties(kestrel-iconrender PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

set(kestrel_icon_sizes 16 32 48 64 128 256)
set(kestrel_icon_args)
set(kestrel_icon_pngs)
foreach(size IN LISTS kestrel_icon_sizes)
  set(png ${kestrel_packaging_out}/icons/${size}x${size}/kestrel.png)
  list(APPEND kestrel_icon_args ${size} ${png})
  list(APPEND kestrel_icon_pngs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_command(
  OUTPUT ${kestrel_icon_pngs}
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:kestrel-iconrender> ${kestrel_packaging_dir}/kestrel.svg ${kestrel_icon_args}
  DEPENDS kestrel-iconrender ${kestrel_packaging_dir}/kestrel.svg
  COMMENT "Drawing the PNG icons from kestrel.svg"
  VERBATIM)
add_custom_target(kestrel_icons ALL DEPENDS ${kestrel_icon_pngs})

# ---- Manual pages and package documents, compressed as Debian wants them --------
# kestrel_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed with gzip -9n (no name or
# time stamp inside, so the same page always gives the same bytes).
set(kestrel_gzipped)
function(kestrel_gzip source output)
  get_filename_component(dir ${output} DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" plain ${output})
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND ${KESTREL_GZIP} -9nf ${plain}
    DEPENDS ${source}
    VERBATIM)
  set(kestrel_gzipped ${kestrel_gzipped} ${output} PARENT_SCOPE)
endfunction()

set(KESTREL_MAN_PAGES kestrel kestrel-sweep kestrel-runs kestrel-scpi kestrel-sim)
foreach(page IN LISTS KESTREL_MAN_PAGES)
  kestrel_gzip(${kestrel_packaging_dir}/man/${page}.1 ${kestrel_packaging_out}/man/${page}.1.gz)
  install(FILES ${kestrel_packaging_out}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(KESTREL_DEB_VERSION ${PROJECT_VERSION}-${KESTREL_PACKAGE_RELEASE})
configure_file(${kestrel_packaging_dir}/changelog.Debian.in
               ${kestrel_packaging_out}/doc/changelog.Debian @ONLY)
kestrel_gzip(${kestrel_packaging_out}/doc/changelog.Debian
             ${kestrel_packaging_out}/doc/gz/changelog.Debian.gz)
install(FILES ${kestrel_packaging_out}/doc/gz/changelog.Debian.gz
              ${kestrel_packaging_dir}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

add_custom_target(kestrel_docs ALL DEPENDS ${kestrel_gzipped})

# ---- Debian package -----------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "The Kestrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "I-V curve tracer for networked SCPI instruments")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PRE_BUILD_SCRIPTS ${kestrel_packaging_dir}/StagingPermissions.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KESTREL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KESTREL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; zsh runs every instrument command, and the
# run store needs Qt's SQLite driver, a plugin that no program links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The fits run on GSL; named here as well, so the package holds it whichever programs
# link it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zsh, libqt6sql6-sqlite, libgsl27, libtomlplusplus3")
# Publishing runs to a lab's PostgreSQL server needs Qt's PostgreSQL driver; a bench
# without a lab store does without.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The long description: CPack indents each line and turns the empty one into " .".
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Kestrel traces current-voltage curves with two LAN instruments, a DC source"
  "and a current meter, that take SCPI commands on a raw TCP socket. Its window"
  "identifies both instruments, runs a linear, dual or logarithmic sweep, draws"
  "the curve as it comes and saves the data, also as CSV and as a chart. Every"
  "run is kept in a store as it is measured, and a guard switches the source off"
  "should the program end during a sweep."
  ""
  "kestrel-sweep runs the same sweep without a window, kestrel-runs reads and"
  "exports the stored runs, kestrel-scpi sends single commands, and kestrel-sim"
  "simulates both instruments on loopback so that everything can be tried"
  "without hardware.")

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/")

include(CPack)
