// circuit_unit::parseFromJSON on arbitrary text: only the documented
// exceptions may escape, every gate object it collects is a balanced {...}
// stretch of the input, and the record can always be written again.
#include <cstdlib>
#include <stdexcept>

#include "ir/circuit.h"
#include "fuzz_common.h"

KOVRA_FUZZ_QUIET_INIT

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::text_of(data, size);
    circuit_unit layer;
    try {
        if (!layer.parseFromJSON(text)) std::abort();  // a layer always reads as true
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    // One gate per "{" at most: the collected objects do not overlap.
    std::size_t braces = 0;
    for (char ch : text) braces += ch == '{';
    if (layer.getCircuitUnit().size() > braces) std::abort();
    const std::string written = layer.toJSON();
    if (written.size() < 4 || written.front() != '{' || written.back() != '}') std::abort();
    return 0;
}
