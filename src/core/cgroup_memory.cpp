// The memory limit of the process's cgroup, for the allocation guards.

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/memory.hpp"

namespace velmora {

namespace {

constexpr std::size_t no_limit = std::numeric_limits<std::size_t>::max();

// A mounted cgroup hierarchy: the cgroup at its root and where it is mounted.
struct Mount {
    std::string cgroup_root;
    std::string mount_point;
    bool v2 = false;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

// The cgroup v2 and the cgroup v1 memory hierarchies from mountinfo lines:
// "id parent major:minor root mount-point options [optional...] - type source super-options".
std::vector<Mount> cgroup_mounts(const std::string& root) {
    std::vector<Mount> mounts;
    std::ifstream file(root + "/proc/self/mountinfo");
    std::string line;
    while (std::getline(file, line)) {
        const std::vector<std::string> fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4) continue;
        const std::string& type = dash[1];
        const std::vector<std::string> options = split(dash[3], ',');
        const bool memory = std::find(options.begin(), options.end(), "memory") != options.end();
        if (type == "cgroup2" || (type == "cgroup" && memory))
            mounts.push_back({fields[3], fields[4], type == "cgroup2"});
    }
    return mounts;
}

// The process's cgroup paths from "id:controllers:path" lines: v2 (id 0, no
// controllers) and the v1 hierarchy holding the memory controller.
void process_cgroups(const std::string& root, std::string& v2, std::string& v1_memory) {
    std::ifstream file(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        const std::vector<std::string> names = split(controllers, ',');
        if (line.compare(0, first, "0") == 0 && controllers.empty())
            v2 = path;
        else if (std::find(names.begin(), names.end(), "memory") != names.end())
            v1_memory = path;
    }
}

// A limit file: a byte count, or "max" (or anything unreadable) for none.
std::size_t read_limit(const std::string& file_name) {
    std::ifstream file(file_name);
    std::string text;
    if (!(file >> text)) return no_limit;
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return no_limit;
    return value > no_limit ? no_limit : static_cast<std::size_t>(value);
}

// The smallest limit of the cgroup at path and its ancestors within a mount.
// A path outside the mount's root (a container seeing only its own cgroup)
// starts at the mount point itself.
std::size_t limit_along(const std::string& root, const Mount& mount, const std::string& path,
                        const char* file_name) {
    const std::string base = root + mount.mount_point;
    std::string dir = base;
    const std::string& prefix = mount.cgroup_root == "/" ? std::string() : mount.cgroup_root;
    if (path.compare(0, prefix.size(), prefix) == 0 &&
        (path.size() == prefix.size() || path[prefix.size()] == '/'))
        dir += path.substr(prefix.size());
    while (!dir.empty() && dir.back() == '/' && dir.size() > base.size()) dir.pop_back();
    std::size_t limit = no_limit;
    while (true) {
        limit = std::min(limit, read_limit(dir + "/" + file_name));
        if (dir.size() <= base.size()) break;
        dir.erase(dir.rfind('/'));
    }
    return limit;
}

}  // namespace

std::size_t cgroup_memory_limit_bytes(const std::string& root) {
    std::string v2;
    std::string v1_memory;
    process_cgroups(root, v2, v1_memory);
    std::size_t limit = no_limit;
    for (const Mount& mount : cgroup_mounts(root)) {
        if (mount.v2 && !v2.empty())
            limit = std::min(limit, limit_along(root, mount, v2, "memory.max"));
        if (!mount.v2 && !v1_memory.empty())
            limit = std::min(limit, limit_along(root, mount, v1_memory, "memory.limit_in_bytes"));
    }
    return limit;
}

}  // namespace velmora
