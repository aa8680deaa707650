// A fresh, empty working directory for the duration of a test.
#pragma once

#include <string>

namespace Norvane {
namespace sim {

class ScopedWorkDir {
public:
    ScopedWorkDir();
    // Returns to the previous working directory and removes this one.
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const std::string& path() const { return dir; }

private:
    std::string previous;
    std::string dir;
};

// Whole-file helpers for the files a test inspects or plants.
bool readWholeFile(const std::string& path, std::string* content);
void writeWholeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Descriptors and memory mappings of this process that refer to `path`
// (resolved to an absolute path).
int openDescriptorsOf(const std::string& path);
int mappingsOf(const std::string& path);

}  // namespace sim
}  // namespace Norvane
