// Lowering of the device program into timed NMR operations: every operation
// gets the first time slot at which all of its qubits are free.
#include <algorithm>
#include <stdexcept>
#include <string>

#include "nmr/nmr.h"
#include "nmr/device_client.h"

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

std::vector<Operation> Nmr::lower(const program::sub_circuit& device) {
    std::vector<Operation> operations;
    if (device.qubits < 1) return operations;
    std::vector<int> timelist(static_cast<std::size_t>(device.qubits), 0);
    operations.reserve(device.ops.size());
    for (const program::op& op : device.ops) {
        const char* type = op.name.c_str();
        int q[3] = {-1, -1, -1};
        for (std::size_t k = 0; k < op.qubits.size() && k < 3; ++k) q[k] = static_cast<int>(op.qubits[k]);
        if (op.qubits.size() == 1) {
            const int slot = update_timelist(timelist, {q[0]});
            if (op.hasAngle)
                operations.emplace_back(type, slot, q[0], op.angle);
            else
                operations.emplace_back(type, slot, q[0]);
        } else if (op.qubits.size() == 2) {
            operations.emplace_back(type, update_timelist(timelist, {q[0], q[1]}), q[0], q[1]);
        } else if (op.qubits.size() == 3) {
            operations.emplace_back(type, update_timelist(timelist, {q[0], q[1], q[2]}), q[0], q[1], q[2]);
        }
    }
    return operations;
}

std::size_t Nmr::min_operation_bytes() {
    static const std::size_t bytes = [] {
        const Operation shortest("", 0, 0);
        const std::size_t one = DeviceClient::task_line_size("", "", task_document({shortest}, 1), 1);
        const std::size_t two = DeviceClient::task_line_size("", "", task_document({shortest, shortest}, 1), 1);
        return two - one;
    }();
    return bytes;
}
