#include "program/program.h"

#include <cmath>
#include <stdexcept>

#include "engine/gates.h"
#include "util/angles.h"

namespace program {

void bind(sub_circuit& sub, const std::vector<double>& values) {
    if (values.size() != sub.parameters.size()) {
        throw std::invalid_argument("the program has " + std::to_string(sub.parameters.size()) +
                                    " free parameters, but " + std::to_string(values.size()) + " values were given");
    }
    for (op& o : sub.ops) {
        if (!o.isFree()) continue;
        double radians = o.angle_offset;
        for (const auto& [index, coefficient] : o.angle_terms) radians += coefficient * values[index];
        if (!std::isfinite(radians)) {
            throw std::invalid_argument("a parameter value makes the angle of gate " + gates::getGateName(o.gate) +
                                        " " + std::to_string(radians) + ", not a finite angle");
        }
        o.angle = angles::degrees_in_720(radians);
    }
}

}  // namespace program
