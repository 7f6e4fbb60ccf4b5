// velbrook-cli: the headless Velbrook client.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/InfoCommand.h"

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs("usage: velbrook-cli --info FILE.torrent\n"
               "\n"
               "  --info FILE.torrent   print the torrent's name, info hash, announce URL,\n"
               "                        lengths, piece count and files\n"
               "  --help                show this text\n",
               to);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--info") == 0) {
        return velbrook::cli::RunInfo(argv[2], stdout, stderr);
    }
    if (argc > 1 && std::strcmp(argv[1], "--info") == 0) {
        std::fputs("velbrook-cli: --info takes exactly one torrent file\n", stderr);
        return 2;
    }
    PrintUsage(stderr);
    return 2;
}
