#include "ir/program.h"

#include <cmath>
#include <stdexcept>

#include "ir/gates.h"
#include "ir/angles.h"

namespace program {

namespace {

// A free angle is bound exactly: the engine turns degrees into radians with
// its own calibrated pi (gates::PI), so the degrees it is given are scaled
// by that pi, and the rotation it applies is the one asked for, not off in
// the 11th digit as a number written into the graph is. The period is 4π,
// as for every angle of the graph.
double engine_degrees(double radians) {
    double r = std::fmod(radians, angles::kFourPi);
    if (r < 0) r += angles::kFourPi;
    return r / gates::PI * 180;
}

}  // namespace

void bind(sub_circuit& sub, const std::vector<double>& values) {
    if (values.size() != sub.parameters.size()) {
        throw std::invalid_argument("the program has " + std::to_string(sub.parameters.size()) +
                                    " free parameters, but " + std::to_string(values.size()) + " values were given");
    }
    for (op& o : sub.ops) {
        if (!o.hasAngle) continue;
        double radians = o.angle_offset;
        for (const auto& [index, coefficient] : o.angle_terms) radians += coefficient * values[index];
        if (!std::isfinite(radians)) {
            throw std::invalid_argument("a parameter value makes the angle of gate " + gates::getGateName(o.gate) +
                                        " " + std::to_string(radians) + ", not a finite angle");
        }
        o.angle = engine_degrees(radians);
    }
}

}  // namespace program
