#!/usr/bin/python3
"""PyMeasure's live plot, probed as kestrel-bench probes Kestrel's window.

Run by bench/compare-liveplot.sh, never by hand in CI:
    /usr/bin/python3 bench/liveplot_pymeasure.py POINTS RATE

A results file grows to POINTS rows of (Voltage (V), Current (A)) at RATE rows a
second, written by a thread as PyMeasure's recorder writes them; the live plot is the
one PyMeasure's ManagedWindow shows (PlotWidget with its default refresh, a
ResultsCurve of a running procedure). A 10 ms precise timer on the GUI thread is the
probe: a stall is how much later than 10 ms it fires. Prints one line per window of
points, in the form kestrel-bench responsiveness prints its rows:
    WINDOW p99 MS max MS samples N
"""

import os
import sys
import tempfile
import threading
import time

# PyMeasure 0.9 is written for Qt 5's unscoped enums; pyqtgraph would pick PyQt6 first.
os.environ.setdefault("PYQTGRAPH_QT_LIB", "PyQt5")

from pymeasure.display.widgets import PlotWidget
from pymeasure.experiment import Procedure, Results
from pyqtgraph.Qt import QtCore, QtWidgets

WINDOWS = [(9000, 11000, "9000 .. 11000 points"), (95000, 100000, "95000 .. 100000 points")]
PROBE_MS = 10


class Sweep(Procedure):
    DATA_COLUMNS = ["Voltage (V)", "Current (A)"]


def nearest_rank(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, int(-(-fraction * len(ordered) // 1)) - 1)]


def main():
    points, rate = int(sys.argv[1]), float(sys.argv[2])
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    app = QtWidgets.QApplication(sys.argv[:1])
    folder = tempfile.mkdtemp(prefix="liveplot-")
    procedure = Sweep()
    procedure.status = Procedure.RUNNING
    results = Results(procedure, os.path.join(folder, "data.csv"))

    widget = PlotWidget(Sweep.DATA_COLUMNS, "Voltage (V)", "Current (A)")
    widget.resize(1100, 720)
    curve = widget.new_curve(results)
    widget.plot.addItem(curve)
    widget.show()

    written = [0]  # rows in the file so far

    def record():
        # Rows go out in the second they belong to, as a recorder at RATE would.
        start = time.perf_counter()
        with open(results.data_filename, "a", buffering=1) as data:
            while written[0] < points:
                due = min(points, int((time.perf_counter() - start) * rate) + 1)
                rows = "".join(
                    results.formatter.format({"Voltage (V)": i * 1e-5, "Current (A)": i * 1e-8})
                    + "\n" for i in range(written[0], due))
                data.write(rows)
                data.flush()
                written[0] = due
                time.sleep(0.002)

    lateness = []  # (ms late, rows written)
    last = [time.perf_counter()]
    probe = QtCore.QTimer()
    probe.setTimerType(QtCore.Qt.TimerType.PreciseTimer)
    probe.setInterval(PROBE_MS)

    def fired():
        now = time.perf_counter()
        lateness.append((max(0.0, (now - last[0]) * 1000 - PROBE_MS), written[0]))
        last[0] = now
        if written[0] >= points and curve.xData is not None and len(curve.xData) >= points:
            app.quit()

    probe.timeout.connect(fired)
    recorder = threading.Thread(target=record, daemon=True)
    begun = time.perf_counter()
    probe.start()
    recorder.start()
    app.exec()
    seconds = time.perf_counter() - begun
    print("pymeasure %s, pyqtgraph, %d points in %.1f s (%.0f points/s), refresh %.1f s"
          % (__import__("pymeasure").__version__, points, seconds, points / seconds,
             widget.refresh_time))
    for low, high, label in WINDOWS:
        window = [late for late, rows in lateness if low <= rows <= high]
        if window:
            print("%s p99 %.3f ms max %.3f ms samples %d"
                  % (label, nearest_rank(window, 0.99), max(window), len(window)))


if __name__ == "__main__":
    main()
