#include "persist/Profile.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velbrook {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
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

// Every path kept in the profile's files starts from here: a relative profile would make them
// relative too, and the list would break when the program next starts in another folder.
std::string AbsoluteDir(const std::string& dir) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
    return WithSlash(ec ? dir : absolute.lexically_normal().string());
}

}  // namespace

std::string ResolveProfileDir(const std::string& explicitDir) {
    return ResolveProfileDir(explicitDir, ExecutableDir());
}

std::string ResolveProfileDir(const std::string& explicitDir, const std::string& exeDir) {
    if (!explicitDir.empty()) {
        return AbsoluteDir(explicitDir);
    }
    const std::string home = Env("VELBROOK_HOME");
    if (!home.empty()) {
        return AbsoluteDir(home);
    }
    // Only on request: a folder that merely happens to be writable, such as a build folder,
    // must not end up holding the person's list, to be lost with the next clean build.
    struct stat st {};
    if (!exeDir.empty() && ::stat((WithSlash(exeDir) + kPortableMarker).c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
        return WithSlash(exeDir);
    }
    return WithSlash(DataHomeDir()) + "velbrook/";
}

std::string DataHomeDir() {
    // Relative values are to be ignored, as the base-directory convention says.
    const std::string dataHome = Env("XDG_DATA_HOME");
    if (!dataHome.empty() && dataHome.front() == '/') {
        return dataHome;
    }
    return WithSlash(HomeDir()) + ".local/share";
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

std::string DefaultSaveFolder() {
    const std::string downloads = Env("XDG_DOWNLOAD_DIR");
    if (!downloads.empty() && downloads.front() == '/') {
        return downloads;
    }
    return WithSlash(HomeDir()) + "Downloads";
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

}  // namespace velbrook
