// Graph parameters are radians; both lowerings hand the engine and the device
// degrees in [0, 720): the period is 4π, not 2π.
#pragma once

#include <cmath>

namespace angles {

inline constexpr double kFourPi = 12.566370614359172;
inline constexpr double kPi = 3.141592653589793;

inline double degrees_in_720(double radians) {
    double r = std::fmod(radians, kFourPi);
    if (r < 0) r += kFourPi;
    return r / kPi * 180;
}

}  // namespace angles
