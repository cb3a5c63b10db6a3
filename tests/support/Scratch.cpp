#include "support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace sonarill::testing {

ScratchFolder::ScratchFolder(const std::string& prefix) {
    std::string pattern = std::filesystem::temp_directory_path() / (prefix + "-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot create a temporary folder";
    else
        path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchHome::SetUp() {
    folder_ = std::make_unique<ScratchFolder>("sonarill-home");
    setenv("HOME", folder_->path().c_str(), 1);
}

void ScratchHome::TearDown() {
    folder_.reset();
}

const ScratchHome* addScratchHome() {
    // One for the whole program, however many of its files ask.
    static ScratchHome* const home = [] {
        auto* made = new ScratchHome; // owned by GoogleTest
        ::testing::AddGlobalTestEnvironment(made);
        return made;
    }();
    return home;
}

} // namespace sonarill::testing
