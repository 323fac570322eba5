// Cascade filter and its coefficient sets.
#include "dsp/Filter.h"

namespace sorvane {

double FilterSample(const FilterCoefficients& k, FilterState& s, double x) {
  const auto& c = k.c;
  auto& w = s.w;

  // Section 1: the only section with an input gain. Sums run left to right.
  double v = c[0] * x + c[1] * w[0] + c[2] * w[1];
  v = Flush(v);
  double y = c[3] * v + c[4] * w[0] + c[5] * w[1];
  y = Flush(y);
  w[1] = w[0];
  w[0] = v;

  // Section 2: (c6·w1 + y1) + c7·w2, in that order.
  v = c[6] * w[2] + y + c[7] * w[3];
  v = Flush(v);
  y = c[8] * v + c[9] * w[2] + c[10] * w[3];
  y = Flush(y);
  w[3] = w[2];
  w[2] = v;

  // Section 3.
  v = c[11] * w[4] + y + c[12] * w[5];
  v = Flush(v);
  y = c[13] * v + c[14] * w[4] + c[15] * w[5];
  y = Flush(y);
  w[5] = w[4];
  w[4] = v;
  return y;
}

// The negative zeros are kept as written; they act as zero.
const FilterCoefficients VoiceBandCoefficients{{
    0.00521177237, 1.424442144, -0.42965391638, 40.584476355, -0.0, -40.584476355,
    0.57012985727, -0.57332838661, 0.0040506375235, -0.0, -0.0040506375235,
    1.9968697976, -0.99689825169, 82.807914771, -0.0, -82.807914771}};

const FilterCoefficients LowBandCoefficients{{
    0.24573225601, 1.1969637945, -0.44585426825, 0.1633825251, 0.16153742334, 0.1633825251,
    1.0890277973, -0.7625980833, 0.1610168423, -0.093404762057, 0.1610168423,
    1.046632205, -0.94699126593, 4.6424078977, -4.0905439791, 4.6424078977}};

const FilterCoefficients HighBandCoefficients{{
    0.81065725527, 0.040652889504, -0.18845263776, 0.25468279891, -0.4799257268, 0.25468279891,
    0.79382870582, -0.7356158333, 0.18298386401, -0.26511657745, 0.18298386401,
    1.0661745687, -0.94738370451, 5.3584577431, -6.7592067075, 5.3584577431}};

}  // namespace sorvane
