// gate_unit::parseFromJSON on arbitrary text. The reader may refuse text only
// with std::invalid_argument (a number without digits) or std::out_of_range
// (a number too large for int or double, an array key without "["). A gate
// that reads back with small qubits and an angle written without exponent
// must survive a second write and read unchanged when its name is one of the
// catalogue's (any other name may be a key of the text itself, and the reader
// takes a key's first occurrence anywhere).
#include <cstdlib>
#include <stdexcept>

#include "ir/circuit.h"
#include "fuzz_common.h"

KOVRA_FUZZ_QUIET_INIT

namespace {

bool fits_int(unsigned long v) { return v <= 0x7fffffffUL; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gate_unit gate;
    bool ok;
    try {
        ok = gate.parseFromJSON(fuzz::text_of(data, size));
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    const std::string written = gate.toJSON();
    if (gate.getGateIndex() == GATE_INVALID) return 0;
    if (!fits_int(gate.getQubit()) || !fits_int(gate.getQubit2())) return 0;
    if (gate.getGateName().find('"') != std::string::npos) std::abort();

    gate_unit again;
    const bool ok2 = again.parseFromJSON(written);  // must not throw: we wrote it
    if (again.getGateName() != gate.getGateName() || again.getQubit() != gate.getQubit() ||
        again.getQubit2() != gate.getQubit2() || again.getGateIndex() != gate.getGateIndex() ||
        ok2 != ok)
        std::abort();
    const std::string angle_text = written.substr(written.rfind(':') + 2);
    if (angle_text.find('e') == std::string::npos && again.toJSON() != written) std::abort();
    return 0;
}
