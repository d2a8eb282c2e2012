// A temporary folder for the files a benchmark writes, removed with everything in it when the
// program ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace varnak::bench {

class Scratch {
  public:
    // A new folder in the temporary folder, named `prefix` and a unique ending.
    explicit Scratch(const std::string& prefix) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            mPath = pattern;
        }
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string File(const std::string& name) const { return mPath + "/" + name; }

  private:
    std::string mPath;
};

}  // namespace varnak::bench
