# Tests of the sweep logic, the window and the headless sweep.

# kestrel-sim's instruments in this process, behind the link the sweep talks through.
add_library(kestrel_simlink STATIC simlink.cpp simlink.h)
target_include_directories(kestrel_simlink PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kestrel_simlink PUBLIC kestrel_link kestrel_sim)

kestrel_test(tst_sweepplan SOURCES tst_sweepplan.cpp LIBS kestrel_controller LABELS unit)
kestrel_test(tst_session SOURCES tst_session.cpp LIBS kestrel_controller kestrel_simlink Qt6::Sql
             LABELS unit fault)
kestrel_test(tst_window SOURCES tst_window.cpp LIBS kestrel_app kestrel_simlink kestrel_testsupport
             LABELS gui fault)
add_dependencies(tst_window kestrel-sweep kestrel-runs)
kestrel_test(tst_sweeptool SOURCES tst_sweeptool.cpp LIBS kestrel_testsupport Qt6::Network Qt6::Sql
             LABELS tools fault)
add_dependencies(tst_sweeptool kestrel-sweep kestrel-runs)
kestrel_test(tst_chart SOURCES tst_chart.cpp LIBS kestrel_chart kestrel_testsupport LABELS gui)
kestrel_test(tst_scriptinstall SOURCES tst_scriptinstall.cpp LIBS kestrel_link kestrel_testsupport
             LABELS unit)
kestrel_test(tst_runhistorymodel SOURCES tst_runhistorymodel.cpp LIBS kestrel_controller LABELS unit threads)
kestrel_test(tst_store SOURCES tst_store.cpp LIBS kestrel_controller kestrel_store Qt6::Sql
             LABELS unit fault threads)
# The window as a program of its own, for the guard's test to kill.
add_executable(kestrel-window-driver windowdriver.cpp)
target_link_libraries(kestrel-window-driver PRIVATE kestrel_app)
kestrel_test(tst_guard SOURCES tst_guard.cpp LIBS kestrel_testsupport kestrel_controller
             LABELS tools fault threads)
add_dependencies(tst_guard kestrel-sweep kestrel-guard kestrel-window-driver)
