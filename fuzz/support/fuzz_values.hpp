// Doubles drawn from fuzzer bytes. Raw bit patterns alone seldom land on
// the values where decimal rounding is hard, so some draws build them on
// purpose: short binary fractions (exact ties at a decimal place) and
// decimals plus half a unit (near ties).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

namespace fuzz {

inline double fuzz_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 1: {
      const auto numerator = in.ConsumeIntegral<std::int64_t>() >> in.ConsumeIntegralInRange<int>(0, 63);
      return std::ldexp(static_cast<double>(numerator), -in.ConsumeIntegralInRange<int>(0, 70));
    }
    case 2: {
      const double units = static_cast<double>(in.ConsumeIntegralInRange<std::int64_t>(-999999999999999, 999999999999999));
      return (units + 0.5) * std::pow(10.0, -in.ConsumeIntegralInRange<int>(0, 22));
    }
    case 3: {
      const double fraction = 1.0 + static_cast<double>(in.ConsumeIntegral<std::uint32_t>()) / 4294967296.0;
      const double v = std::ldexp(fraction, in.ConsumeIntegralInRange<int>(-1074, 1023));
      return in.ConsumeBool() ? -v : v;
    }
    default: {
      constexpr double kSpecial[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, 0.5, -0.5, 9.999999995,
                                     0.001953125, 0.005859375, 1e16, 1e300, -1e-12, 5e-9, 99.999999996,
                                     4.9406564584124654e-324, 1.7976931348623157e308};
      return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
    }
  }
}

}  // namespace fuzz
