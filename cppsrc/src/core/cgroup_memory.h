// What the process's memory cgroup still lets it allocate.
//
// In a container, or under a systemd unit or job scheduler with a memory
// limit, /proc/meminfo describes the host: a run that fits the host but not
// the cgroup is granted its pages and then killed by the cgroup's OOM
// killer, where it should have been refused. This reads the limit and the
// usage of the process's own cgroup and of each ancestor, under cgroup v2
// (memory.max, memory.current) and v1 (memory.limit_in_bytes,
// memory.usage_in_bytes), and gives the least headroom among them.
//
// Every path is taken below `root` ("/" in a run; a directory laid out the
// same way in tests): root/proc/self/cgroup names the cgroups, found under
// root/sys/fs/cgroup (v2) and root/sys/fs/cgroup/memory (v1).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace cgroup_memory {

// v1 reports "no limit" as the largest page-aligned counter, about 2^63; no
// machine holds 2^60 bytes.
inline constexpr double kNoLimitV1 = 1152921504606846976.0;  // 2^60

// A file's first line, "" when it cannot be read.
inline std::string first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// A byte count file: its number, NaN when absent, unreadable or "max".
inline double bytes_in(const std::string& path) {
    const std::string text = first_line(path);
    if (text.empty() || text == "max") return std::nan("");
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() ? std::nan("") : value;
}

// The value of `key` in a memory.stat file, 0 when absent.
inline double stat_value(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string name;
    double value = 0;
    while (file >> name >> value) {
        if (name == key) return value;
    }
    return 0;
}

// A cgroup's headroom: its limit less what it holds, where page cache not
// recently used (inactive_file) counts as free, as MemAvailable counts it:
// the kernel reclaims those pages before it kills. Infinity without a limit.
inline double headroom_of(const std::string& dir, const char* limit_file, const char* usage_file,
                          const char* inactive_key, double no_limit) {
    const double limit = bytes_in(dir + "/" + limit_file);
    if (!std::isfinite(limit) || limit >= no_limit) return std::numeric_limits<double>::infinity();
    const double usage = bytes_in(dir + "/" + usage_file);
    if (!std::isfinite(usage)) return std::numeric_limits<double>::infinity();
    const double reclaimable = std::min(stat_value(dir + "/memory.stat", inactive_key), usage);
    return limit - (usage - reclaimable);
}

// The least headroom of the cgroup at `path` (as /proc/self/cgroup gives it)
// under the hierarchy mounted at `mount`, and of each ancestor up to the
// mount itself (in a cgroup namespace, the container's own cgroup).
inline double least_headroom(const std::string& mount, const std::string& path, const char* limit_file,
                             const char* usage_file, const char* inactive_key, double no_limit) {
    double least = std::numeric_limits<double>::infinity();
    // A path that leaves the mount ("/.." outside the namespace) names no
    // directory here: only the mount's own files are read.
    std::string relative = path.find("..") == std::string::npos ? path : std::string();
    while (true) {
        least = std::min(least, headroom_of(mount + relative, limit_file, usage_file, inactive_key, no_limit));
        if (relative.empty() || relative == "/") break;
        relative.erase(relative.find_last_of('/'));
    }
    return least;
}

// What the cgroups the process is in let it still allocate, in bytes:
// infinity where none has a memory limit (or none can be read); negative
// past a limit.
inline double headroom(std::string root = "/") {
    if (root.empty() || root.back() != '/') root += '/';
    std::ifstream listing(root + "proc/self/cgroup");
    std::string line;
    double least = std::numeric_limits<double>::infinity();
    while (std::getline(listing, line)) {
        // "hierarchy-ID:controller-list:cgroup-path"
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            least = std::min(least, least_headroom(root + "sys/fs/cgroup", path, "memory.max", "memory.current",
                                                   "inactive_file", std::numeric_limits<double>::infinity()));
            continue;
        }
        std::stringstream list(controllers);
        std::string controller;
        while (std::getline(list, controller, ',')) {
            if (controller != "memory") continue;
            least = std::min(least, least_headroom(root + "sys/fs/cgroup/memory", path, "memory.limit_in_bytes",
                                                   "memory.usage_in_bytes", "total_inactive_file", kNoLimitV1));
        }
    }
    return least;
}

}  // namespace cgroup_memory
