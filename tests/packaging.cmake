# Tests of the install rules, the manual pages and the Debian package (label:
# packaging). They need man-db, groff-base, desktop-file-utils, dpkg-dev and lintian.

find_program(KESTREL_BASH bash REQUIRED)

# Every long option in PROGRAM --help is in its manual page and the other way round;
# the pages render without warnings.
add_test(NAME tst_manpages
    COMMAND ${KESTREL_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/tst_manpages.sh
            ${PROJECT_SOURCE_DIR}/packaging/man
            kestrel=$<TARGET_FILE:kestrel> kestrel-sweep=$<TARGET_FILE:kestrel-sweep>
            kestrel-scpi=$<TARGET_FILE:kestrel-scpi> kestrel-sim=$<TARGET_FILE:kestrel-sim>
            kestrel-runs=$<TARGET_FILE:kestrel-runs>)

# cmake --install into a scratch prefix: the files, and the installed programs at work.
add_test(NAME tst_install
    COMMAND ${KESTREL_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/tst_install.sh
            ${PROJECT_BINARY_DIR} ${PROJECT_VERSION})

# cpack -G DEB from this build tree into a scratch folder; contents, Depends, lintian.
add_test(NAME tst_package
    COMMAND ${KESTREL_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/tst_package.sh
            ${PROJECT_BINARY_DIR}/CPackConfig.cmake ${PROJECT_VERSION})

set_tests_properties(tst_manpages tst_install tst_package PROPERTIES
    LABELS packaging
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
# Both run this tree's install rules, which write install_manifest.txt here.
set_tests_properties(tst_install tst_package PROPERTIES RESOURCE_LOCK kestrel_install_rules)
set_tests_properties(tst_package PROPERTIES TIMEOUT 240)
