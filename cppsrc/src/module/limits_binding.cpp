#include "module/limits_binding.h"

#include "module/noise_config.h"
#include "program/program.h"
#include "simulator/simulator_options.h"
#include "util/call_limits.h"
#include "util/memory_budget.h"

namespace py = pybind11;

namespace limits_binding {

void install(py::module_& m) {
    m.attr("MAX_QUBITS") = program::kMaxQubits;
    m.attr("MAX_EXPANDED_VERTICES") = call_limits::kMaxExpandedVertices;
    m.attr("AUTO_DENSITY_QUBITS") = simulator_options::kAutoDensityQubits;
    m.attr("MAX_TRAJECTORIES") = module_options::kMaxTrajectories;
    m.def("free_bytes", &memory_budget::free_bytes,
          "Bytes the process can still allocate, as the memory guard of a run counts them: the machine's "
          "available memory and, under an address-space limit, what is left of it (inf where nothing tells; "
          "negative past the limit).");
}

}  // namespace limits_binding
