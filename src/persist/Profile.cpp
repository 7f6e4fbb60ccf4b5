#include "persist/Profile.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace velbrook {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string ExecutableDir() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size() - 1) {
        return {};
    }
    const std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string HomeDir() {
    std::string home = Env("HOME");
    if (!home.empty()) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return found->pw_dir;
    }
    return ".";
}

}  // namespace

std::string ResolveProfileDir(const std::string& explicitDir) {
    if (!explicitDir.empty()) {
        return WithSlash(explicitDir);
    }
    const std::string home = Env("VELBROOK_HOME");
    if (!home.empty()) {
        return WithSlash(home);
    }
    // A copy unpacked somewhere writable keeps its files beside it.
    const std::string exeDir = ExecutableDir();
    if (!exeDir.empty() && access(exeDir.c_str(), W_OK) == 0) {
        return WithSlash(exeDir);
    }
    // Relative values are to be ignored, as the base-directory convention says.
    const std::string dataHome = Env("XDG_DATA_HOME");
    if (!dataHome.empty() && dataHome.front() == '/') {
        return WithSlash(dataHome) + "velbrook/";
    }
    return WithSlash(HomeDir()) + ".local/share/velbrook/";
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

}  // namespace velbrook
