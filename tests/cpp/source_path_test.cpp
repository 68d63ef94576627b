// Diagnostics name source files relative to the project, wherever the
// checkout lies (also below a directory that is itself named "src").

#include <string>

#include <gtest/gtest.h>

#include "python/source_path.hpp"

namespace {

using velmora::python::project_relative_path;

struct SourcePathCase {
    const char* file;
    const char* root;
    const char* expected;
};

class SourcePath : public ::testing::TestWithParam<SourcePathCase> {};

TEST_P(SourcePath, IsRelativeToTheProject) {
    const SourcePathCase& c = GetParam();
    EXPECT_EQ(std::string(project_relative_path(c.file, c.root)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SourcePath,
    ::testing::Values(SourcePathCase{"/home/u/src/velmora/src/python/numpy_api.cpp",
                                     "/home/u/src/velmora/", "src/python/numpy_api.cpp"},
                      SourcePathCase{"/home/u/src/velmora/include/velmora/error.hpp",
                                     "/home/u/src/velmora/", "include/velmora/error.hpp"},
                      // built elsewhere: the last marker wins, not the first "/src/"
                      SourcePathCase{"/home/u/src/other/src/core/resample.cpp",
                                     "/home/u/src/velmora/", "src/core/resample.cpp"},
                      SourcePathCase{"/home/u/src/other/include/velmora/error.hpp", "",
                                     "include/velmora/error.hpp"},
                      SourcePathCase{"/opt/elsewhere/file.cpp", "", "/opt/elsewhere/file.cpp"}));

}  // namespace
