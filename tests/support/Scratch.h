#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

// Temporary folders for tests, removed with everything in them when they go.
namespace sonarill::testing {

class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& prefix = "sonarill-test");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Points HOME at a scratch folder for the whole test program, from before its first test: the
// log's path is fixed below HOME on first use. Call once, at namespace scope:
//     const auto* const home = sonarill::testing::addScratchHome();
class ScratchHome;
const ScratchHome* addScratchHome();

class ScratchHome : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    const std::filesystem::path& path() const { return folder_->path(); }

private:
    std::unique_ptr<ScratchFolder> folder_;
};

} // namespace sonarill::testing
