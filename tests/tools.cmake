# Tests of the command-line tools and of the whole instrument chain:
# runShell -> sendArbcmd.sh -> kestrel-scpi -> kestrel-sim, all on loopback.

# Helpers for any test that needs the simulator or a home with the script.
add_library(kestrel_testsupport STATIC simulator.cpp simulator.h testhome.cpp testhome.h)
target_include_directories(kestrel_testsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kestrel_testsupport PUBLIC Qt6::Core Qt6::Network Qt6::Test kestrel_simprocess
    kestrel_labserver)
# They run the built tools, so the tools are built first.
add_dependencies(kestrel_testsupport kestrel-scpi kestrel-sim)

kestrel_test(tst_simdevice SOURCES tst_simdevice.cpp LIBS kestrel_sim LABELS tools)
kestrel_test(tst_siminstruments SOURCES tst_siminstruments.cpp LIBS kestrel_sim LABELS tools)
kestrel_test(tst_simdialects SOURCES tst_simdialects.cpp LIBS kestrel_sim LABELS tools)
target_compile_definitions(tst_simdialects PRIVATE KESTREL_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
kestrel_test(tst_scpi SOURCES tst_scpi.cpp LIBS kestrel_testsupport kestrel_scpi Qt6::Network LABELS tools)
kestrel_test(tst_simserver SOURCES tst_simserver.cpp
    LIBS kestrel_testsupport kestrel_simprocess Qt6::Network LABELS tools)
kestrel_test(tst_scpiinstall SOURCES tst_scpiinstall.cpp
    LIBS kestrel_testsupport kestrel_link LABELS tools)
kestrel_test(tst_serial SOURCES tst_serial.cpp LIBS kestrel_testsupport kestrel_scpi LABELS tools)
add_dependencies(tst_serial kestrel-sweep)
kestrel_test(tst_usbtmc SOURCES tst_usbtmc.cpp LIBS kestrel_scpi LABELS unit)
# kestrel-sim's VXI-11 server opens port 111: its tests skip unless run as root.
kestrel_test(tst_vxi11 SOURCES tst_vxi11.cpp LIBS kestrel_testsupport kestrel_sim LABELS tools)
add_dependencies(tst_vxi11 kestrel-sweep)
kestrel_test(tst_profilesweeps SOURCES tst_profilesweeps.cpp
    LIBS kestrel_testsupport kestrel_store LABELS tools)
add_dependencies(tst_profilesweeps kestrel-sweep kestrel-guard)
# The lab store against a PostgreSQL server the test starts itself; skipped without one.
kestrel_test(tst_labstore SOURCES tst_labstore.cpp
    LIBS kestrel_testsupport kestrel_store Qt6::Network Qt6::Sql LABELS tools)
add_dependencies(tst_labstore kestrel-sweep kestrel-runs)
