#include "harness/scratch_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace quellmark::test {

ScratchDir::ScratchDir(const std::string& tag) {
    std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("cannot create a scratch folder for " + tag);
    path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
    if (keep_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace quellmark::test
