kestrel_test(tst_sweepplan SOURCES tst_sweepplan.cpp LIBS kestrel_controller LABELS unit)
kestrel_test(tst_window SOURCES tst_window.cpp fakeinstruments.h fakeinstruments.cpp
             LIBS kestrel_app LABELS gui fault
             # the tests read what the program writes on standard output; the log goes apart
             ARGS -o /dev/stderr,txt)
kestrel_test(tst_sweeptool SOURCES tst_sweeptool.cpp LIBS kestrel_testsupport kestrel_data
             LABELS tools fault)
add_dependencies(tst_sweeptool kestrel-sweep)
kestrel_test(tst_chart SOURCES tst_chart.cpp LIBS kestrel_chart LABELS gui)
kestrel_test(tst_scriptinstall SOURCES tst_scriptinstall.cpp LIBS kestrel_link LABELS unit)
kestrel_test(tst_faults SOURCES tst_faults.cpp LIBS kestrel_app kestrel_testsupport Qt6::Network
             LABELS fault)
