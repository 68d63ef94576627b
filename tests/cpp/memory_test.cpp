#include <cstddef>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

struct CgroupCase {
    const char* name;
    const char* mountinfo;
    const char* cgroup;
    std::vector<std::pair<const char*, const char*>> files;  // path under the root, contents
    std::size_t limit;
};

void PrintTo(const CgroupCase& c, std::ostream* os) { *os << c.name; }

const char* const v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const char* const v1_mount =
    "25 23 0:22 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
    "35 23 0:32 / /sys/fs/cgroup/memory rw shared:9 - cgroup cgroup rw,memory\n";
const char* const hybrid_mounts =
    "35 23 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "41 23 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";

class CgroupLimit : public ::testing::TestWithParam<CgroupCase> {};

TEST_P(CgroupLimit, SmallestLimitOfTheProcessCgroupAndItsAncestors) {
    const CgroupCase& c = GetParam();
    const fs::path root =
        fs::path(::testing::TempDir()) / ("velmora_cgroup_" + std::string(c.name));
    fs::remove_all(root);
    const auto write = [&root](const std::string& name, const std::string& text) {
        const fs::path file = root / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    };
    write("proc/self/mountinfo", c.mountinfo);
    write("proc/self/cgroup", c.cgroup);
    for (const auto& [name, text] : c.files) write(name, text);
    EXPECT_EQ(velmora::cgroup_memory_limit_bytes(root.string()), c.limit);
    fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, CgroupLimit,
    ::testing::Values(
        CgroupCase{"v2_limit_on_an_ancestor",
                   v2_mount,
                   "0::/user.slice/app.scope\n",
                   {{"sys/fs/cgroup/user.slice/app.scope/memory.max", "max\n"},
                    {"sys/fs/cgroup/user.slice/memory.max", "1073741824\n"}},
                   1073741824},
        CgroupCase{
            "v2_leaf_below_ancestor",
            v2_mount,
            "0::/a/b\n",
            {{"sys/fs/cgroup/a/b/memory.max", "4096\n"}, {"sys/fs/cgroup/a/memory.max", "8192\n"}},
            4096},
        CgroupCase{"v1_memory_hierarchy",
                   v1_mount,
                   "5:cpu:/other\n4:memory:/jobs/abc\n0::/\n",
                   {{"sys/fs/cgroup/memory/jobs/abc/memory.limit_in_bytes", "536870912\n"},
                    {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
                    {"sys/fs/cgroup/cpu/other/memory.limit_in_bytes", "1\n"}},
                   536870912},
        CgroupCase{"hybrid_takes_the_smaller",
                   hybrid_mounts,
                   "4:memory:/job\n0::/job\n",
                   {{"sys/fs/cgroup/memory/job/memory.limit_in_bytes", "200000000\n"},
                    {"sys/fs/cgroup/unified/job/memory.max", "300000000\n"}},
                   200000000},
        // A container without its own cgroup namespace: the hierarchy is
        // mounted from the container's cgroup, whose full path the process sees.
        CgroupCase{"container_mount_root",
                   "35 23 0:32 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n",
                   "4:memory:/docker/abc\n",
                   {{"sys/fs/cgroup/memory/memory.limit_in_bytes", "268435456\n"}},
                   268435456},
        CgroupCase{"container_namespace_v2",
                   v2_mount,
                   "0::/\n",
                   {{"sys/fs/cgroup/memory.max", "2147483648\n"}},
                   2147483648},
        CgroupCase{
            "unlimited", v2_mount, "0::/a\n", {{"sys/fs/cgroup/a/memory.max", "max\n"}}, none},
        CgroupCase{"garbage_is_no_limit",
                   v2_mount,
                   "0::/a\n",
                   {{"sys/fs/cgroup/a/memory.max", "12k\n"}},
                   none},
        CgroupCase{"no_cgroup_files", "", "", {}, none}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
