// velbrook-cli: the headless Velbrook client.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/ClientCommand.h"
#include "cli/InfoCommand.h"
#include "cli/RpcCommand.h"
#include "cli/VerifyCommand.h"

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs("usage: velbrook-cli [--profile DIR] [--save DIR] [--exit-when-done]\n"
               "                    [--start-all | --resume] [--rpc [ADDR:]PORT]\n"
               "                    [TORRENT|MAGNET...]\n"
               "       velbrook-cli --info FILE.torrent\n"
               "       velbrook-cli --verify FILE.torrent --save DIR\n"
               "       velbrook-cli [--profile DIR] --set-rpc-password < USER_AND_PASSWORD\n"
               "\n"
               "  TORRENT...            add these .torrent files and start them; existing data\n"
               "                        is checked and a complete torrent seeds\n"
               "  MAGNET...             add these magnet links: each torrent's metadata is\n"
               "                        fetched from its trackers and peers, then it downloads\n"
               "                        like a .torrent file (quote the link for the shell)\n"
               "  --profile DIR         where settings, the downloads list and status files live\n"
               "  --save DIR            the folder the torrents' data is saved in (default: the\n"
               "                        DefaultDownloadPath setting, else $XDG_DOWNLOAD_DIR,\n"
               "                        else ~/Downloads)\n"
               "  --start-all           also start every torrent already in the downloads list\n"
               "  --resume              also start the listed torrents that were running when\n"
               "                        the list was last saved; those a person stopped stay\n"
               "                        stopped\n"
               "  --exit-when-done      exit once every started torrent is complete\n"
               "  --rpc [ADDR:]PORT     run the remote control (the Transmission RPC protocol)\n"
               "                        on ADDR (default: the RpcBind setting, 127.0.0.1) and\n"
               "                        PORT; an address other than loopback needs a user\n"
               "                        and password (--set-rpc-password)\n"
               "  --info FILE.torrent   print the torrent's name, info hash, announce URL,\n"
               "                        lengths, piece count and files\n"
               "  --verify FILE.torrent check the data already in DIR against the torrent\n"
               "                        without changing anything; exit 0 when every piece\n"
               "                        is good, 1 when some piece is missing or bad, 2 on error\n"
               "  --set-rpc-password    read the remote control's user name and password from\n"
               "                        standard input (a line each) and store them, the\n"
               "                        password as a salted hash, in the profile's\n"
               "                        Velbrook.xml\n"
               "  --help                show this text\n"
               "\n"
               "The client runs until SIGINT or SIGTERM, seeding what is complete; given only\n"
               "torrents that cannot run, it says why and exits 1.\n",
               to);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "velbrook-cli: %s (see --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string info;
    std::string verify;
    bool setRpcPassword = false;
    velbrook::cli::ClientOptions client;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--info" || arg == "--verify" || arg == "--save" || arg == "--profile" ||
                   arg == "--rpc") {
            if (!hasValue) {
                return UsageError(arg + " needs a value");
            }
            const std::string& value = args[++i];
            if (arg == "--info") {
                info = value;
            } else if (arg == "--verify") {
                verify = value;
            } else if (arg == "--rpc") {
                std::string address;
                uint16_t port = 0;
                if (!velbrook::cli::ParseRpcOption(value, address, port)) {
                    return UsageError("--rpc takes [ADDR:]PORT, not " + value);
                }
                client.rpc = value;
            } else if (arg == "--save") {
                client.save = value;
            } else {
                client.profile = value;
            }
        } else if (arg == "--exit-when-done") {
            client.exitWhenDone = true;
        } else if (arg == "--set-rpc-password") {
            setRpcPassword = true;
        } else if (arg == "--start-all") {
            client.startAll = true;
        } else if (arg == "--resume") {
            client.resume = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            client.torrents.push_back(arg);
        }
    }
    if (setRpcPassword) {
        if (!info.empty() || !verify.empty() || !client.torrents.empty()) {
            return UsageError("--set-rpc-password takes only --profile");
        }
        return velbrook::cli::RunSetRpcPassword(client.profile, stdin, stdout, stderr);
    }
    if (!info.empty()) {
        if (!verify.empty() || !client.save.empty() || !client.torrents.empty()) {
            return UsageError("--info takes exactly one torrent file");
        }
        return velbrook::cli::RunInfo(info, stdout, stderr);
    }
    if (!verify.empty()) {
        if (client.save.empty()) {
            return UsageError("--verify needs --save DIR");
        }
        if (!client.torrents.empty()) {
            return UsageError("--verify takes exactly one torrent file");
        }
        return velbrook::cli::RunVerify(verify, client.save, stdout, stderr);
    }
    return velbrook::cli::RunClient(client);
}
