// The cgroup reader of the memory guard, on cgroup trees laid out in a
// temporary directory: the least headroom of the process's cgroup and its
// ancestors, under v2 and v1, with no limit read as none.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "core/cgroup_memory.h"

namespace {

namespace fs = std::filesystem;
constexpr double kGiB = 1 << 30;
const double kNone = INFINITY;

struct layout {
    const char* name;
    std::string self;                            // root/proc/self/cgroup
    std::map<std::string, std::string> files;    // path below root: content
    double headroom;
};

void PrintTo(const layout& l, std::ostream* out) { *out << l.name; }

class CgroupMemory : public testing::TestWithParam<layout> {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("kovra_cgroup_" + std::to_string(getpid()) + "_" + GetParam().name);
        write("proc/self/cgroup", GetParam().self);
        for (const auto& [path, content] : GetParam().files) write(path, content);
    }
    void TearDown() override { fs::remove_all(root_); }
    void write(const std::string& path, const std::string& content) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << content;
    }
    fs::path root_;
};

const std::string V2 = "sys/fs/cgroup", V1 = "sys/fs/cgroup/memory";

TEST_P(CgroupMemory, GivesTheLeastHeadroomOfTheCgroupAndItsAncestors) {
    EXPECT_EQ(cgroup_memory::headroom(root_.string()), GetParam().headroom);
    EXPECT_EQ(cgroup_memory::headroom(root_.string() + "/"), GetParam().headroom);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CgroupMemory,
    testing::Values(
        layout{"v2_limit", "0::/job\n",
               {{V2 + "/job/memory.max", "2147483648\n"}, {V2 + "/job/memory.current", "536870912\n"}},
               1.5 * kGiB},
        layout{"v2_max_is_no_limit", "0::/job\n",
               {{V2 + "/job/memory.max", "max\n"}, {V2 + "/job/memory.current", "536870912\n"}}, kNone},
        layout{"v2_parent_limit_binds", "0::/a/b\n",
               {{V2 + "/a/memory.max", "1073741824\n"}, {V2 + "/a/memory.current", "805306368\n"},
                {V2 + "/a/b/memory.max", "4294967296\n"}, {V2 + "/a/b/memory.current", "268435456\n"}},
               0.25 * kGiB},
        layout{"v2_namespace_root_limit", "0::/\n",
               {{V2 + "/memory.max", "1073741824\n"}, {V2 + "/memory.current", "0\n"}}, 1.0 * kGiB},
        layout{"v2_path_outside_the_namespace", "0::/../../host/job\n",
               {{V2 + "/memory.max", "1073741824\n"}, {V2 + "/memory.current", "0\n"}}, 1.0 * kGiB},
        layout{"v2_inactive_cache_counts_free", "0::/job\n",
               {{V2 + "/job/memory.max", "2147483648\n"}, {V2 + "/job/memory.current", "1610612736\n"},
                {V2 + "/job/memory.stat", "anon 536870912\nfile 1073741824\ninactive_file 805306368\n"}},
               1.25 * kGiB},
        layout{"v2_past_the_limit", "0::/job\n",
               {{V2 + "/job/memory.max", "1073741824\n"}, {V2 + "/job/memory.current", "1610612736\n"}},
               -0.5 * kGiB},
        layout{"v1_limit", "12:cpu,cpuacct:/\n4:memory:/job\n0::/\n",
               {{V1 + "/job/memory.limit_in_bytes", "2147483648\n"},
                {V1 + "/job/memory.usage_in_bytes", "1073741824\n"},
                {V1 + "/job/memory.stat", "inactive_file 1\ntotal_inactive_file 268435456\n"}},
               1.25 * kGiB},
        layout{"v1_unlimited", "4:memory:/job\n",
               {{V1 + "/job/memory.limit_in_bytes", "9223372036854771712\n"},
                {V1 + "/job/memory.usage_in_bytes", "1073741824\n"}},
               kNone},
        layout{"v1_shared_hierarchy", "3:memory,hugetlb:/job\n",
               {{V1 + "/memory.limit_in_bytes", "3221225472\n"}, {V1 + "/memory.usage_in_bytes", "1073741824\n"}},
               2.0 * kGiB},
        layout{"no_cgroup_files", "0::/job\n", {}, kNone},
        layout{"unreadable_listing", "garbage\n\n", {{V2 + "/memory.max", "1024\n"}}, kNone}),
    [](const testing::TestParamInfo<layout>& info) { return std::string(info.param.name); });

}  // namespace
