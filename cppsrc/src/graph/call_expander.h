// The inline expansion of calls of definitions, the same walk for both back
// ends: a definition that calls itself and calls nested too deep are
// refused, every body vertex counts against the expansion limit, its qubit
// positions map through the caller's qubits and its parameter functions
// take the caller's parameters. What a body vertex becomes is the back
// end's (a `visit`); how deep calls may nest is its policy.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "graph/call_context.h"
#include "graph/call_limits.h"
#include "graph/definitions.h"

namespace frontend {

struct call_policy {
    std::size_t max_depth;      // calls nest at most this deep
    // Whether a definition that calls itself is refused by name as it is
    // entered, or found by the depth it reaches (the message then asks).
    bool names_self_calls;
    const char* position_name;  // how messages name a body vertex's qubit position
};

// The simulator reads "qubits" lists; nesting past 64 is a mistake there.
inline constexpr call_policy kSimulatorCalls{static_cast<std::size_t>(kMaxCallDepth), false, "\"qubits\" position"};
// The device reads wires; its definitions may nest deeper.
inline constexpr call_policy kDeviceCalls{1000, true, "qubit position"};

class call_expander {
public:
    call_expander(const graph_attributes::graph_reader& reader, call_context& context, definition_table& definitions,
                  const call_policy& policy)
        : reader_(reader), context_(context), definitions_(definitions), policy_(policy) {}

    // The body of `callee`, in order, for a call from `call_vertex`; refuses
    // a definition being expanded already and calls nested past the policy.
    std::vector<int> body(int call_vertex, const std::string& callee) {
        const std::string limit = std::to_string(policy_.max_depth);
        if (policy_.names_self_calls) {
            if (context_.expanding(callee)) context_.fail(call_vertex, "definition \"" + callee + "\" calls itself");
            if (context_.depth() >= policy_.max_depth)
                context_.fail(call_vertex, "calls of definitions are nested deeper than " + limit + " levels");
        } else if (context_.depth() >= policy_.max_depth) {
            context_.fail(call_vertex, "calls \"" + callee + "\" nested more than " + limit +
                                           " levels deep (does a definition call itself?)");
        }
        return definitions_.body(context_, call_vertex, callee);
    }

    // Expands the call of `callee` at `call_vertex` whose `body` came from
    // body(): for each body vertex w, visit(w, qubits, params) with its
    // positions (positions(w)) mapped through the caller's `qubits` and its
    // parameter functions evaluated with the caller's `params`.
    template <class Positions, class Visit>
    void expand(int call_vertex, const std::string& callee, const std::vector<int>& body,
                const std::vector<double>& qubits, const std::vector<double>& params, Positions positions,
                Visit visit) {
        context_.enter(call_vertex, callee);
        for (int w : body) {
            if (++expanded_ > call_limits::kMaxExpandedVertices) {
                context_.fail(w, "the calls expand to more than " + std::to_string(call_limits::kMaxExpandedVertices) +
                                     " definition-body vertices");
            }
            std::vector<double> mapped;
            for (double p : positions(w)) {
                const std::optional<std::size_t> at = position(p, qubits.size());
                if (!at) {
                    context_.fail(w, std::string(policy_.position_name) + " " + number_text(p) +
                                         " is outside the caller's " + std::to_string(qubits.size()) + " qubits");
                }
                mapped.push_back(qubits[*at]);
            }
            visit(w, mapped, evaluate_parameters(reader_, context_, w, params));
        }
        context_.leave();
    }

    // Definition-body vertices expanded so far.
    long expanded() const { return expanded_; }

private:
    const graph_attributes::graph_reader& reader_;
    call_context& context_;
    definition_table& definitions_;
    call_policy policy_;
    long expanded_ = 0;
};

}  // namespace frontend
