# Tests of the sweep logic, the window and the headless sweep.

# kestrel-sim's instruments in this process, behind the link the sweep talks through.
add_library(kestrel_simlink STATIC simlink.cpp simlink.h)
target_include_directories(kestrel_simlink PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kestrel_simlink PUBLIC kestrel_link kestrel_sim)

kestrel_test(tst_sweepplan SOURCES tst_sweepplan.cpp LIBS kestrel_controller LABELS unit)
kestrel_test(tst_session SOURCES tst_session.cpp LIBS kestrel_controller kestrel_simlink
             LABELS unit fault)
kestrel_test(tst_window SOURCES tst_window.cpp LIBS kestrel_app kestrel_simlink LABELS gui fault)
kestrel_test(tst_sweeptool SOURCES tst_sweeptool.cpp LIBS kestrel_testsupport Qt6::Network
             LABELS tools fault)
add_dependencies(tst_sweeptool kestrel-sweep)
kestrel_test(tst_chart SOURCES tst_chart.cpp LIBS kestrel_chart LABELS gui)
kestrel_test(tst_scriptinstall SOURCES tst_scriptinstall.cpp LIBS kestrel_link LABELS unit)
kestrel_test(tst_store SOURCES tst_store.cpp LIBS kestrel_controller kestrel_store Qt6::Sql
             LABELS unit fault)
