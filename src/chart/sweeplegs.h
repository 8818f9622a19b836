#pragma once

namespace kestrel
{

// Where a sweep's return legs are: from point returnFrom of each cycle of cyclePoints
// points (0: one cycle, the whole sweep) to the cycle's end; returnFrom -1: none.
struct SweepLegs {
    SweepLegs(int returnFrom = -1, int cyclePoints = 0) // NOLINT: a plain index is one cycle
        : returnFrom(returnFrom), cyclePoints(cyclePoints)
    {
    }
    int returnFrom;
    int cyclePoints;
    // The points' x is seconds since the run started, not volts: a hold's time trace.
    bool overTime = false;
};

} // namespace kestrel
