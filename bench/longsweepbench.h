#pragma once

namespace kestrel::bench
{

// kestrel-bench sweep --tick-ms T [--steps N]: a linear sweep of N steps (N + 1 points)
// at a tick of T ms against kestrel-sim's diode, its instruments in this process
// behind the link (the script chain costs far more than a short tick), every point
// committed to a run store in a temporary folder and drawn on a shown chart, as the
// window does. Then the run at full size: the chart's new point and full redraw, the
// run read back from the store, exported as CSV and as a data file, shown from the
// store and fitted, each timed, and the GUI thread's longest stall while the work
// runs elsewhere. Never the window's own pace: for measuring sizes only.
int runLongSweep(int steps, int tickMs);

} // namespace kestrel::bench
