#include "tests/fakes/WorkDir.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Norvane {
namespace sim {

namespace {

std::string currentDir() {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    return buf;
}

void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* d = opendir(path.c_str())) {
            while (struct dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") removeTree(path + "/" + name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string absolute(const std::string& path) {
    return path.empty() || path[0] == '/' ? path : currentDir() + "/" + path;
}

}  // namespace

ScopedWorkDir::ScopedWorkDir() : previous(currentDir()) {
    char tmpl[] = "/tmp/norvane-work-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScopedWorkDir::~ScopedWorkDir() {
    (void)chdir(previous.c_str());
    removeTree(dir);
}

bool readWholeFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *content = s.str();
    return true;
}

void writeWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int openDescriptorsOf(const std::string& path) {
    const std::string target = absolute(path);
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (struct dirent* e = readdir(d)) {
            char link[PATH_MAX];
            std::string entry = std::string("/proc/self/fd/") + e->d_name;
            ssize_t len = readlink(entry.c_str(), link, sizeof link - 1);
            if (len > 0 && std::string(link, size_t(len)) == target) ++n;
        }
        closedir(d);
    }
    return n;
}

int mappingsOf(const std::string& path) {
    const std::string target = absolute(path);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line)) {
        if (line.size() >= target.size() && line.compare(line.size() - target.size(), target.size(), target) == 0) ++n;
    }
    return n;
}

}  // namespace sim
}  // namespace Norvane
