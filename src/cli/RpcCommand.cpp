#include "cli/RpcCommand.h"

#include <unistd.h>

#include <filesystem>

#include "persist/Profile.h"
#include "persist/Settings.h"
#include "rpc/RpcPassword.h"

namespace velbrook::cli {

namespace {

// Longer lines are refused rather than cut: a cut password would not be the one typed.
constexpr size_t kMaxLine = 1024;

// One line without its end; false at the end of input or for an overlong line.
bool ReadLine(std::FILE* in, std::string& line) {
    line.clear();
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
        if (line.size() == kMaxLine) {
            return false;
        }
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return c == '\n' || !line.empty();
}

}  // namespace

int RunSetRpcPassword(const std::string& profileOption, std::FILE* in, std::FILE* out,
                      std::FILE* err) {
    const bool asking = ::isatty(::fileno(in)) == 1;
    std::string user;
    std::string password;
    if (asking) {
        std::fputs("Remote control user name: ", out);
        std::fflush(out);
    }
    const bool haveUser = ReadLine(in, user);
    if (asking) {
        std::fputs("Password (shown as typed): ", out);
        std::fflush(out);
    }
    if (!haveUser || !ReadLine(in, password) || user.empty() || password.empty()) {
        std::fprintf(err, "velbrook-cli: --set-rpc-password reads a user name and a password "
                          "from standard input, one line each, neither empty\n");
        return 2;
    }
    if (user.find(':') != std::string::npos) {
        std::fprintf(err, "velbrook-cli: a remote control user name cannot contain ':'\n");
        return 2;
    }
    const std::string profile = ResolveProfileDir(profileOption);
    std::error_code ec;
    std::filesystem::create_directories(profile, ec);
    const std::string path = (std::filesystem::path(profile) / Settings::FileName()).string();
    Settings settings;
    settings.Load(path, [&](const std::string& line) {
        std::fprintf(err, "velbrook-cli: %s\n", line.c_str());
    });
    const std::string hash = HashRpcPassword(password);
    if (hash.empty()) {
        std::fprintf(err, "velbrook-cli: the password was not stored\n");
        return 1;
    }
    settings.SetString(RpcUser, user);
    settings.SetString(RpcPassword, hash);
    if (!settings.Save(path)) {
        std::fprintf(err, "velbrook-cli: %s could not be written\n", path.c_str());
        return 1;
    }
    std::fprintf(out,
                 "The remote control's user and password are stored in %s; a copy "
                 "already running on this profile takes them at its next start.\n",
                 path.c_str());
    return 0;
}

}  // namespace velbrook::cli
