// Lowering of a circuit graph into timed NMR operations.
//
// The main circuit (the components holding a register declaration) is walked
// in topological order; gate vertices with one to three qubits become one
// operation each, calls of sub-circuit definitions are expanded in place with
// their parameters computed by the Python functions stored in the body, and
// every operation gets the first time slot at which all of its qubits are
// free. Everything a device could not run sensibly is refused here, before a
// connection is made.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "nmr/call_expansion.h"
#include "nmr/nmr.h"
#include "nmr/tavrix.h"
#include "util/angles.h"
#include "util/call_limits.h"
#include "util/graph_reader.h"
#include "util/vertex_kinds.h"

namespace py = pybind11;
using graph_attributes::graph_reader;
using graph_attributes::number_vector;

namespace {

using namespace nmr_calls;

// Largest "qnum" that is lowered at all; the time list and the measure flags
// hold one entry per qubit.
constexpr double kMaxQubitCount = 1 << 20;

class lowering {
public:
    lowering(Nmr& nmr, const graph_reader& g, std::vector<int>& timelist, std::vector<Operation>& operations)
        : nmr_(nmr), g_(g), timelist_(timelist), operations_(operations), counter_(g) {}

    // One gate vertex `v` with its qubits (graph level) and angles (radians).
    void gate(int v, const std::string& name, const std::vector<double>& qubits,
              const std::vector<double>& params) {
        std::size_t n = qubits.size();
        if (n == 0 || n > kMaxOperationQubits) return;
        if (!is_utf8(name)) throw std::invalid_argument(where(v) + ": the operation name is not valid UTF-8");
        // The device keeps no record qubits: a reset has nothing to run on.
        if (name == "RESET")
            throw std::invalid_argument(where(v) + ": operation \"RESET\": the NMR device cannot reset a qubit");
        int q[3] = {-1, -1, -1};
        for (std::size_t k = 0; k < n; ++k) {
            double t = std::trunc(qubits[k]);
            if (!std::isfinite(qubits[k]) || t < 0 || t >= static_cast<double>(timelist_.size())) {
                throw std::invalid_argument(where(v) + ": operation " + quoted(name) + " acts on qubit " +
                                            number_text(qubits[k]) + ", outside [0, " +
                                            std::to_string(timelist_.size()) + ")");
            }
            q[k] = static_cast<int>(t);
            for (std::size_t j = 0; j < k; ++j) {
                if (q[j] == q[k]) {
                    throw std::invalid_argument(where(v) + ": operation " + quoted(name) + " acts on qubit " +
                                                std::to_string(q[k]) + " more than once");
                }
            }
        }
        const char* type = name.c_str();
        if (n == 1) {
            int slot = nmr_.update_timelist(timelist_, {q[0]});
            if (params.empty()) {
                operations_.emplace_back(type, slot, q[0]);
            } else {
                if (!std::isfinite(params[0])) {
                    throw std::invalid_argument(where(v) + ": the angle of operation " + quoted(name) + " is " +
                                                number_text(params[0]));
                }
                operations_.emplace_back(type, slot, q[0], angles::degrees_in_720(params[0]));
            }
        } else if (n == 2) {
            int slot = nmr_.update_timelist(timelist_, {q[0], q[1]});
            operations_.emplace_back(type, slot, q[0], q[1]);
        } else {
            int slot = nmr_.update_timelist(timelist_, {q[0], q[1], q[2]});
            operations_.emplace_back(type, slot, q[0], q[1], q[2]);
        }
    }

    // One call of the definition `name`.
    void call(const std::string& name, const std::vector<double>& qubits, const std::vector<double>& params) {
        if (std::find(chain_.begin(), chain_.end(), name) != chain_.end()) {
            throw std::invalid_argument("definition " + quoted(name) + " calls itself");
        }
        if (chain_.size() >= kMaxCallDepth) {
            throw std::invalid_argument("calls of definitions are nested deeper than " +
                                        std::to_string(kMaxCallDepth) + " levels");
        }
        if (chain_.empty()) check_expansion(name);
        int root = find_definition(g_, name);
        std::vector<int> body =
            g_.reachable_in_order(root, "body of the definition at vertex " + std::to_string(root));
        chain_.push_back(name);
        for (int t : body) {
            if (++expanded_ > call_limits::kMaxExpandedVertices) too_many_expanded(where(t));
            std::string tname = g_.name(t);
            std::vector<double> formal = wires(t, tname);
            std::vector<double> mapped;
            mapped.reserve(formal.size());
            for (double position : formal) {
                double p = std::trunc(position);
                if (!std::isfinite(position) || p < 0 || p >= static_cast<double>(qubits.size())) {
                    throw std::invalid_argument(where(t) + ": qubit position " + number_text(position) +
                                                " is outside the caller's " + std::to_string(qubits.size()) +
                                                " qubits");
                }
                mapped.push_back(qubits[static_cast<std::size_t>(p)]);
            }
            std::vector<double> evaluated = evaluate(t, params);
            if (truncated_kind(g_, t, vertex_kinds::GATE) == vertex_kinds::CALL) {
                call(tname, mapped, evaluated);
            } else {
                gate(t, tname, mapped, evaluated);
            }
        }
        chain_.pop_back();
    }

    // The qubits of vertex `v` as its wires carry them (ascending edge id),
    // after checking that the vertex can run on the device: no classical
    // condition, and a "qubits" list, where the vertex has one, that names
    // the same qubits in the same order (a qubit without a wire, say an
    // undeclared one, would otherwise drop out of the operation unnoticed).
    std::vector<double> wires(int v, const std::string& name) const {
        if (g_.has("cmp", v)) {
            throw std::invalid_argument(where(v) + ": operation " + quoted(name) +
                                        " is classically conditioned; the NMR device runs no conditions");
        }
        std::vector<double> carried = g_.in_edge_numbers("qubit", v);
        std::vector<double> listed = g_.numbers("qubits", v);
        if (!listed.empty() && listed != carried) {
            throw std::invalid_argument(where(v) + ": operation " + quoted(name) + " lists qubits " +
                                        list_text(listed) + " but its wires carry " + list_text(carried));
        }
        return carried;
    }

private:
    [[noreturn]] static void too_many_expanded(const std::string& place) {
        throw std::invalid_argument(place + ": the calls expand to more than " +
                                    std::to_string(call_limits::kMaxExpandedVertices) +
                                    " definition-body vertices");
    }

    // Refuses a call of `name` whose expansion would pass a limit before
    // expanding any of it: calls that multiply are refused at once rather
    // than after millions of vertices, or after building a task message the
    // device would never take. A definition the count cannot read is left to
    // the expansion, which reports what is wrong.
    void check_expansion(const std::string& name) {
        expansion size;
        try {
            size = counter_.of(name);
        } catch (const std::exception&) {
            if (PyErr_Occurred()) PyErr_Clear();
            return;
        }
        if (static_cast<double>(expanded_) + size.vertices > call_limits::kMaxExpandedVertices) {
            too_many_expanded("call of definition " + quoted(name));
        }
        const double before = static_cast<double>(operations_.size());
        const double bytes = (before + size.operations) * static_cast<double>(min_operation_bytes());
        if (bytes > static_cast<double>(Tavrix::kMaxLine)) {
            const std::string earlier = before > 0 ? " after " + number_text(before) + " operations before it" : "";
            throw std::invalid_argument("call of definition " + quoted(name) + " expands to " +
                                        number_text(size.operations) + " device operations" + earlier +
                                        ": the task message would take at least " + number_text(bytes) +
                                        " bytes, over the device's line limit of " +
                                        std::to_string(Tavrix::kMaxLine) + " bytes");
        }
    }

    static std::string list_text(const std::vector<double>& values) {
        std::string text = "[";
        for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + number_text(values[i]);
        return text + "]";
    }

    std::string where(int v) const {
        std::string text = "vertex " + std::to_string(v);
        if (!chain_.empty()) text += " (in definition " + quoted(chain_.back()) + ")";
        return text;
    }

    // The angles of body vertex `t`, computed by its parameter functions from
    // the caller's parameter values.
    std::vector<double> evaluate(int t, const std::vector<double>& caller) const {
        std::vector<double> out;
        graph_attributes::py_ref entry = g_.entry("params", t);
        if (!entry || entry.is_none()) return out;
        if (!PyList_Check(entry.get())) {
            throw std::invalid_argument(where(t) + ": \"params\" must be a list of functions");
        }
        // A private copy: the functions may change the graph's own list.
        py::list functions = py::reinterpret_steal<py::list>(PySequence_List(entry.get()));
        if (!functions) throw py::error_already_set();
        if (functions.size() == 0) return out;
        std::vector<double> pindex = g_.numbers("pindex", t);
        std::size_t k = 0;
        for (std::size_t i = 0; i < functions.size(); ++i) {
            py::object f = functions[i];
            py::object code = py::getattr(f, "__code__", py::none());
            if (code.is_none() || !py::hasattr(code, "co_argcount")) {
                throw py::type_error(where(t) + ": parameter " + std::to_string(i) +
                                     " is not a Python function");
            }
            int count = code.attr("co_argcount").cast<int>();
            py::tuple args;
            if (count > 0) {
                if (k >= pindex.size()) throw std::runtime_error("Something is wrong with callee parameters.");
                if (static_cast<int>(pindex[k]) == -1) {
                    py::list all;
                    for (double value : caller) all.append(py::float_(value));
                    args = py::make_tuple(all);
                } else {
                    args = py::tuple(count);
                    for (int j = 0; j < count; ++j) {
                        if (k + j >= pindex.size()) {
                            throw std::runtime_error("Something is wrong with callee parameters.");
                        }
                        double index = std::trunc(pindex[k + j]);
                        if (!std::isfinite(pindex[k + j]) || index < 0 ||
                            index >= static_cast<double>(caller.size())) {
                            throw std::invalid_argument(where(t) + ": parameter index " +
                                                        number_text(pindex[k + j]) + " is outside the caller's " +
                                                        std::to_string(caller.size()) + " parameters");
                        }
                        args[j] = py::float_(caller[static_cast<std::size_t>(index)]);
                    }
                }
            }
            PyObject* result = PyObject_Call(f.ptr(), args.ptr(), nullptr);
            if (result == nullptr) throw py::error_already_set();
            py::object value = py::reinterpret_steal<py::object>(result);
            double number = PyFloat_AsDouble(value.ptr());
            if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            out.push_back(number);
            k += static_cast<std::size_t>(count);
        }
        return out;
    }

    Nmr& nmr_;
    const graph_reader& g_;
    std::vector<int>& timelist_;
    std::vector<Operation>& operations_;
    std::vector<std::string> chain_;  // definitions being expanded, outermost first
    long expanded_ = 0;               // definition-body vertices expanded so far
    expansion_counter counter_;
};

}  // namespace

int Nmr::update_timelist(std::vector<int>& timelist, std::initializer_list<int> qubits) {
    if (qubits.size() < 1 || qubits.size() > 3) return -1;
    int slot = 0;
    for (int q : qubits) {
        if (q < 0 || static_cast<std::size_t>(q) >= timelist.size()) {
            throw std::out_of_range("qubit " + std::to_string(q) + " is outside the time list");
        }
        slot = std::max(slot, timelist[q]);
    }
    for (int q : qubits) timelist[q] = slot + 1;
    return slot;
}

std::set<int> Nmr::decompose(const igraph_t* graph) {
    graph_reader g(graph);
    std::set<int> result;
    std::vector<int> seeds;
    for (int seed = 0; seed < g.vertex_count(); ++seed) {
        graph_attributes::py_ref entry = g.entry("type", seed);
        bool declaration = false;
        if (entry && PyFloat_Check(entry.get())) {
            declaration = std::trunc(PyFloat_AS_DOUBLE(entry.get())) == static_cast<double>(vertex_kinds::REGISTER);
        } else if (entry) {
            declaration = graph_attributes::item_as_integer(entry.get()) == vertex_kinds::REGISTER;
        }
        if (declaration) seeds.push_back(seed);
    }
    for (const std::set<int>& part : g.components_from(seeds)) result.insert(part.begin(), part.end());
    return result;
}

int Nmr::translate(const igraph_t* graph, std::vector<Operation>& operations) {
    graph_reader g(graph);
    std::set<int> main_circuit = decompose(graph);
    std::vector<int> order = g.topological_order();
    double count = g.graph_number("qnum");
    if (count < 1) return count <= INT_MIN ? INT_MIN : static_cast<int>(count);
    if (count > kMaxQubitCount) {
        throw std::invalid_argument("graph attribute \"qnum\" is " + number_text(count) +
                                    ", more qubits than any device has");
    }
    int qnum = static_cast<int>(count);
    std::vector<int> timelist(static_cast<std::size_t>(qnum), 0);
    lowering lower(*this, g, timelist, operations);
    for (int v : order) {
        if (main_circuit.count(v) == 0) continue;
        int kind = truncated_kind(g, v, vertex_kinds::GATE);
        if (kind != vertex_kinds::GATE && kind != vertex_kinds::CALL) continue;
        std::string name = g.name(v);
        std::vector<double> qubits = lower.wires(v, name);
        std::vector<double> params = g.numbers("params", v);
        if (kind == vertex_kinds::CALL) {
            lower.call(name, qubits, params);
        } else {
            lower.gate(v, name, qubits, params);
        }
    }
    return qnum;
}

void Nmr::expand_caller(const igraph_t* graph, const char* name, igraph_vector_t* qubits,
                        igraph_vector_t* params, std::vector<int>& timelist, std::vector<Operation>& operations) {
    graph_reader g(graph);
    auto values = [](const igraph_vector_t* v) {
        return v == nullptr ? std::vector<double>{}
                            : std::vector<double>(VECTOR(*v), VECTOR(*v) + igraph_vector_size(v));
    };
    lowering lower(*this, g, timelist, operations);
    lower.call(name != nullptr ? name : "", values(qubits), values(params));
}
