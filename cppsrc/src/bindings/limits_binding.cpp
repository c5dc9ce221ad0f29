#include "bindings/limits_binding.h"

#include "bindings/config/noise_config.h"
#include "ir/channels.h"
#include "ir/program.h"
#include "simulator/setup/simulator_options.h"
#include "graph/call_limits.h"
#include "core/memory_budget.h"

namespace py = pybind11;

namespace limits_binding {

void install(py::module_& m) {
    m.attr("MAX_QUBITS") = program::kMaxQubits;
    m.attr("MAX_EXPANDED_VERTICES") = call_limits::kMaxExpandedVertices;
    m.attr("MAX_CHANNEL_QUBITS") = program::channels::kMaxQubits;
    m.attr("AUTO_DENSITY_QUBITS") = simulator_options::kAutoDensityQubits;
    m.attr("MAX_TRAJECTORIES") = module_options::kMaxTrajectories;
    m.def("free_bytes", &memory_budget::free_bytes,
          "Bytes the process can still allocate, as the memory guard of a run counts them: the machine's "
          "available memory and, under an address-space limit or the memory limit of the process's cgroup (or "
          "of an ancestor), what is left of it (inf where nothing tells; negative past a limit).");
}

}  // namespace limits_binding
