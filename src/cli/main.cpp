// velbrook-cli: the headless Velbrook client.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/InfoCommand.h"
#include "cli/VerifyCommand.h"

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs("usage: velbrook-cli --info FILE.torrent\n"
               "       velbrook-cli --verify FILE.torrent --save DIR\n"
               "\n"
               "  --info FILE.torrent   print the torrent's name, info hash, announce URL,\n"
               "                        lengths, piece count and files\n"
               "  --verify FILE.torrent check the data already in DIR against the torrent\n"
               "                        without changing anything; exit 0 when every piece\n"
               "                        is good, 1 when some piece is missing or bad, 2 on error\n"
               "  --save DIR            the folder the torrent's data is saved in\n"
               "  --help                show this text\n",
               to);
}

int UsageError(const char* message) {
    std::fprintf(stderr, "velbrook-cli: %s (see --help)\n", message);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string info;
    std::string verify;
    std::string save;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--info" || arg == "--verify" || arg == "--save") {
            if (!hasValue) {
                return UsageError((arg + " needs a value").c_str());
            }
            (arg == "--info" ? info : arg == "--verify" ? verify : save) = args[++i];
        } else {
            return UsageError(("unexpected argument " + arg).c_str());
        }
    }
    if (!info.empty() && verify.empty() && save.empty()) {
        return velbrook::cli::RunInfo(info, stdout, stderr);
    }
    if (!verify.empty() && info.empty()) {
        if (save.empty()) {
            return UsageError("--verify needs --save DIR");
        }
        return velbrook::cli::RunVerify(verify, save, stdout, stderr);
    }
    PrintUsage(stderr);
    return 2;
}
