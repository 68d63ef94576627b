#pragma once
// Source file names as the internal-error diagnostic shows them: relative to
// the project ("src/core/resample.cpp"). Plain string work, no interpreter,
// so the core's tests check it too.

#include <string_view>

namespace velmora::python {

/// `file` within the project whose root directory is `root` ("/.../velmora/").
/// A name outside that root (a core built in another tree) falls back to its
/// last "/src/" or "/include/velmora/" part, so a checkout lying below some
/// other directory named "src" cannot confuse it.
constexpr const char* project_relative_path(const char* file, std::string_view root) {
    const std::string_view name(file);
    if (!root.empty() && name.starts_with(root)) return file + root.size();
    std::size_t cut = std::string_view::npos;
    for (std::string_view marker :
         {std::string_view("/src/"), std::string_view("/include/velmora/")}) {
        const std::size_t at = name.rfind(marker);
        if (at != std::string_view::npos && (cut == std::string_view::npos || at > cut)) cut = at;
    }
    return cut != std::string_view::npos ? file + cut + 1 : file;
}

}  // namespace velmora::python
