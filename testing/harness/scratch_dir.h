// A scratch folder for one test or benchmark, removed with everything in it
// when the object goes out of scope (unless kept).
#pragma once

#include <filesystem>
#include <string>

namespace quellmark::test {

class ScratchDir {
public:
    // Created under the system's temporary folder; `tag` is part of its name.
    explicit ScratchDir(const std::string& tag = "quellmark");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Leaves the folder and its contents in place, to be looked at afterwards.
    void Keep() noexcept { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

}  // namespace quellmark::test
