#pragma once

#include "data/fitvocabulary.h"

namespace kestrel::analysis
{

// Pure and thread-safe: runs on any thread, no Qt. Overload marks and non-finite
// readings are left out; the order of the points does not matter.
// A result holds only numbers the points determine. A fit fails, with a sentence, when
// its model does not explain the points or a main quantity is not determined: not
// finite, or its error at least its value. A secondary quantity that is not determined
// is kept as such (Quantity::determined):
//   Linear: R is main; the slope must stand out of its error (|slope| >= 2 errors).
//   Diode:  Is and n are main, Rs and Rsh secondary; the model must explain at least
//           half the weighted variance of the currents it is fitted to.
//   Solar:  Iph, I0 and n are main, Rs and Rsh secondary; the same test of the model.
//   Linear: R, offset, r2 by least squares over the window.
//   Diode:  Is, n, Rs (and Rsh with shunt) of I = Is (exp((V - I Rs)/(n Vt)) - 1)
//           [+ (V - I Rs)/Rsh], over the forward points above the noise floor.
//   Solar:  Isc, Voc, Pmax, Vmp, Imp, FF from the points (crossings interpolated), then
//           Iph, I0, n, Rs, Rsh of the single-diode model over the whole window. Either
//           sign convention; the quantities are in the photovoltaic one (Isc > 0), the
//           curve in the run's own.
FitResult fit(const IVPointList& points, const FitOptions& options);

} // namespace kestrel::analysis
