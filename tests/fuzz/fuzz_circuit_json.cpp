// circuit::parseFromJSON on arbitrary text: only the documented exceptions
// may escape; a refused text leaves the layers as they were; an accepted one
// holds at least one layer, writes again, and runs on a small state vector
// without leaving it (gates it cannot apply are refused, the others keep the
// norm).
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "ir/circuit.h"
#include "fuzz_common.h"

KOVRA_FUZZ_QUIET_INIT

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A receiving record that already holds one layer with one gate.
    circuit c(std::vector<circuit_unit>{circuit_unit({gate_unit("H", 0)})});
    bool ok;
    try {
        ok = c.parseFromJSON(fuzz::text_of(data, size));
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    const std::vector<circuit_unit> layers = c.getCircuit();
    if (ok) {
        if (layers.empty() || c.getCircuitNum() == 0 || c.getQubitNum() == 0) std::abort();
    } else if (layers.size() != 1 || layers[0].getCircuitUnit().size() != 1 ||
               layers[0].getCircuitUnit()[0].getGateName() != "H") {
        std::abort();
    }
    (void)c.toJSON();
    if (ok) {
        std::vector<std::complex<double>> state(8);
        state[0] = 1.0;
        (void)c.execute(state);
        double norm = 0;
        for (const auto& a : state) norm += std::norm(a);
        // The catalogue's H and T entries carry 1/sqrt(2) to 15 digits, so
        // each gate may move the norm by a few parts in 1e11.
        std::size_t gates = 0;
        for (const circuit_unit& layer : layers) gates += layer.getCircuitUnit().size();
        if (!(std::fabs(norm - 1.0) <= 1e-10 * static_cast<double>(gates + 1))) {
            std::fprintf(stderr, "norm %.17g after %zu gates\n", norm, gates);
            std::abort();
        }
    }
    return 0;
}
