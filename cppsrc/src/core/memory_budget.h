// One process-wide ledger of the memory that runs are about to take.
//
// A large allocation that cannot be had does not always fail: the kernel
// may grant it and kill the process once the pages are touched. So every
// large allocation of a run is reserved here first, against what the
// machine has available (and, under an address-space limit or a memory
// cgroup's limit, what is left of that), less what other runs of the process
// have reserved but maybe not yet taken. A reservation that does not fit
// throws `exceeded`, which reaches Python as MemoryError naming the figures;
// one that fits is held until the memory it stands for has been allocated
// (the figures read then include it).
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iomanip>
#include <limits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/cgroup_memory.h"

namespace memory_budget {

class exceeded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline std::string mebibytes(double bytes) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(0) << std::ceil(bytes / (1 << 20));
    return text.str();
}

// The value in kB of `key` ("MemAvailable:") in a /proc file, in bytes; NaN
// when absent.
inline double proc_kilobytes(const char* path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return std::strtod(line.c_str() + key.size(), nullptr) * 1024.0;
        }
    }
    return std::nan("");
}

// What the process can still allocate: the machine's available memory
// (physical memory where the kernel does not say), no more than the address
// space left under RLIMIT_AS, and no more than its memory cgroups (and their
// ancestors) leave it under their limits.
inline double free_bytes() {
    double available = proc_kilobytes("/proc/meminfo", "MemAvailable:");
    if (!std::isfinite(available)) {
        long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        available = pages > 0 && size > 0 ? static_cast<double>(pages) * static_cast<double>(size)
                                           : std::numeric_limits<double>::infinity();
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        double used = proc_kilobytes("/proc/self/status", "VmSize:");
        if (std::isfinite(used)) available = std::min(available, static_cast<double>(limit.rlim_cur) - used);
    }
    return std::min(available, cgroup_memory::headroom());
}

struct ledger {
    std::mutex mutex;
    double reserved = 0;
};

inline ledger& process_ledger() {
    static ledger the_ledger;
    return the_ledger;
}

// Bytes held in the ledger until destruction (or release()).
class reservation {
public:
    reservation() = default;
    reservation(reservation&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
    reservation& operator=(reservation&& other) noexcept {
        if (this != &other) {
            release();
            bytes_ = other.bytes_;
            other.bytes_ = 0;
        }
        return *this;
    }
    reservation(const reservation&) = delete;
    reservation& operator=(const reservation&) = delete;
    ~reservation() { release(); }

    void release() {
        if (bytes_ == 0) return;
        ledger& l = process_ledger();
        std::lock_guard<std::mutex> lock(l.mutex);
        l.reserved -= bytes_;
        bytes_ = 0;
    }

private:
    friend reservation reserve(double bytes, const std::string& what);
    explicit reservation(double bytes) : bytes_(bytes) {}
    double bytes_ = 0;
};

// Below this, an allocation is left to the allocator: reading the figures
// would cost more than it can save.
inline constexpr double kSmallBytes = 16.0 * (1 << 20);

// Reserves `bytes` for `what` (the message's subject, e.g. "the state vector
// and probabilities of 26 qubits"), or throws `exceeded` with the figures.
inline reservation reserve(double bytes, const std::string& what) {
    if (bytes < kSmallBytes) return reservation();
    ledger& l = process_ledger();
    std::lock_guard<std::mutex> lock(l.mutex);
    double free = free_bytes();
    if (bytes + l.reserved > free) {
        std::string others = l.reserved > 0 ? ", other runs of this process are about to take " +
                                                  mebibytes(l.reserved) + " MiB"
                                            : "";
        throw exceeded(what + " need " + mebibytes(bytes) + " MiB" + others + ", and only " +
                       mebibytes(std::max(free, 0.0)) + " MiB are available");
    }
    l.reserved += bytes;
    return reservation(bytes);
}

}  // namespace memory_budget
