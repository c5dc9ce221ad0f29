#include "engine/fusion/gate_order.h"

namespace gates {

std::vector<std::size_t> dependencyOrder(const std::vector<unsigned long>& positions, const pick_next& pick) {
    constexpr int WORD = 64;
    std::vector<std::size_t> queue[WORD];  // the gates on each position, in order
    for (std::size_t i = 0; i < positions.size(); ++i)
        for (unsigned long m = positions[i]; m; m &= m - 1) queue[__builtin_ctzl(m)].push_back(i);
    std::size_t front[WORD] = {};
    // Ready: first in the queue of each of its positions.
    const auto isReady = [&](std::size_t i) {
        for (unsigned long m = positions[i]; m; m &= m - 1) {
            const int p = __builtin_ctzl(m);
            if (queue[p][front[p]] != i) return false;
        }
        return true;
    };
    std::vector<std::size_t> ready, order;
    for (std::size_t i = 0; i < positions.size(); ++i)
        if (isReady(i)) ready.push_back(i);
    order.reserve(positions.size());
    while (!ready.empty()) {
        const std::size_t k = pick(ready);
        const std::size_t i = ready[k];
        ready.erase(ready.begin() + static_cast<long>(k));
        order.push_back(i);
        for (unsigned long m = positions[i]; m; m &= m - 1) {
            const int p = __builtin_ctzl(m);
            if (++front[p] < queue[p].size() && isReady(queue[p][front[p]])) ready.push_back(queue[p][front[p]]);
        }
    }
    return order;
}

}  // namespace gates
