#include "cli/ClientCommand.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/SingleInstance.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/MagnetLink.h"
#include "metainfo/TorrentFile.h"
#include "net/Reactor.h"
#include "persist/PrintableText.h"
#include "persist/Profile.h"
#include "persist/Settings.h"
#include "rpc/RpcMethods.h"
#include "rpc/RpcServer.h"

namespace velbrook::cli {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

// The person at a terminal (or nobody): messages go to stderr, and every question is answered
// at once, from the command line and the defaults: yes to Yes/No questions, files go to the
// folder chosen on the command line, and there is no options dialog (Velbrook.xml is edited).
class CliUi : public UiHost {
public:
    void ShowMessage(const std::string& text, MessageIcon) override {
        std::fprintf(stderr, "velbrook-cli: %s\n", OneLine(text).c_str());
    }
    void AskYesNo(const void*, const std::string& text, YesNoAnswer answered) override {
        std::fprintf(stderr, "velbrook-cli: %s -> yes\n", OneLine(text).c_str());
        answered(true);
    }
    void ChooseSaveFile(const void*, const std::string& startFolder,
                        const std::string& proposedName, PathAnswer chosen) override {
        chosen(
            (startFolder.empty() || startFolder.back() == '/' ? startFolder : startFolder + "/") +
            proposedName);
    }
    void ChooseFolder(const void*, const std::string& startFolder, PathAnswer chosen) override {
        chosen(startFolder);
    }
    void EditOptions(const void*, const SettingsValues&, OptionsAnswer edited) override {
        edited(std::nullopt);
    }
    void Withdraw(const void*) override {}  // nothing is ever left open
    void PostUpdateAllViews() override {}

private:
    // A message may carry a tracker's or a file's text: nothing in it may drive the terminal.
    static std::string OneLine(const std::string& text) { return PrintableLines(text); }
};

const char* StateLabel(SessionState state) {
    switch (state) {
    case SessionState::Stopped:
        return "Stopped";
    case SessionState::ConnectTracker:
        return "Connecting";
    case SessionState::Checking:
        return "Checking";
    case SessionState::Downloading:
        return "Downloading";
    case SessionState::Uploading:
        return "Seeding";
    case SessionState::Paused:
        return "Paused";
    case SessionState::Waiting:
        return "Waiting";
    case SessionState::FetchingMetadata:
        return "Fetching metadata";
    default:
        return "Unknown";
    }
}

std::string Rate(uint32_t bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / 1048576.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    }
    return text;
}

const std::string& NameOf(const TorrentSession& session) {
    return session.Name().empty() ? session.BaseName() : session.Name();
}

// `dht`: the DHT node, whose table size is shown while it runs.
std::string ProgressLine(TorrentSession& session, const CVelbrookDoc& doc) {
    const uint32_t down = session.DownloadRate();
    std::string eta = "-";
    if (!session.IsComplete() && down > 0) {
        const uint64_t seconds = session.Left() / down;
        char text[32];
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600,
                      seconds / 60 % 60, seconds % 60);
        eta = text;
    }
    const std::string dht =
        doc.DhtRunning() ? "  dht " + std::to_string(doc.DhtNodeCount()) : std::string();
    char line[512];
    std::snprintf(line, sizeof line,
                  "%-24.24s %-11s %3" PRIu64 "%%  down %s  up %s  peers %d/%d%s  ETA %s  %s",
                  PrintableLine(NameOf(session)).c_str(), StateLabel(session.State()),
                  session.PercentDone(), Rate(down).c_str(), Rate(session.UploadRate()).c_str(),
                  session.ConnectedPeers(), session.ConnectedSeeds(), dht.c_str(), eta.c_str(),
                  PrintableLine(session.StatusText()).c_str());
    return line;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        std::string item = text.substr(start, end - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) {
            items.push_back(item);
        }
        start = end + 1;
    }
    return items;
}

// The remote control's settings, --rpc over Velbrook.xml; nothing when it is off.
std::optional<RpcServerOptions> RpcOptionsFrom(const Settings& settings,
                                               const ClientOptions& options) {
    if (options.rpc.empty() && settings.GetInt(RpcEnabled) != 1) {
        return std::nullopt;
    }
    RpcServerOptions rpc;
    rpc.bind = settings.GetString(RpcBind);
    if (rpc.bind.empty()) {
        rpc.bind = "127.0.0.1";
    }
    rpc.port = static_cast<uint16_t>(settings.GetInt(RpcPort));
    if (!options.rpc.empty() && !ParseRpcOption(options.rpc, rpc.bind, rpc.port)) {
        return std::nullopt;  // main checked it
    }
    rpc.user = settings.GetString(RpcUser);
    rpc.passwordHash = settings.GetString(RpcPassword);
    rpc.hostWhitelist = settings.GetString(RpcHostWhitelist);
    // The page is installed beside the program, like Style.xml.
    const std::string programDir = ExecutableDir();
    if (!programDir.empty()) {
        rpc.webFolder = WithSlash(programDir) + "web";
    }
    return rpc;
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

bool ParseRpcOption(const std::string& value, std::string& address, uint16_t& port) {
    std::string host;
    std::string number = value;
    const size_t colon = value.rfind(':');
    if (colon != std::string::npos) {
        host = value.substr(0, colon);
        number = value.substr(colon + 1);
        // An IPv6 address keeps its colons inside brackets.
        if (host.empty() ||
            (host.find(':') != std::string::npos && (host.front() != '[' || host.back() != ']'))) {
            return false;
        }
    }
    unsigned parsed = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), parsed);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
        parsed == 0 || parsed > 65535) {
        return false;
    }
    if (!host.empty()) {
        address = host;
    }
    port = static_cast<uint16_t>(parsed);
    return true;
}

int RunClient(const ClientOptions& asGiven) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // The paths go into the profile's lists, which are read again from wherever the program
    // next starts: relative ones are taken from the folder we were started in, now.
    ClientOptions options = asGiven;
    for (std::string& torrent : options.torrents) {
        if (!IsMagnetLink(torrent)) {  // a link names no file
            torrent = Absolute(torrent);
        }
    }
    if (!options.save.empty()) {
        options.save = Absolute(options.save);
    }
    const std::string profile = ResolveProfileDir(options.profile);
    std::error_code ec;
    std::filesystem::create_directories(profile, ec);
    SingleInstance instance(profile);
    switch (instance.Claim(options.torrents, options.save)) {
    case SingleInstance::Role::HandedOff: {
        const std::vector<std::string>& refused = instance.NotListed();
        for (const std::string& path : refused) {
            std::fprintf(stderr, "velbrook-cli: %s: the copy running on %s could not start it\n",
                         PrintableLine(path).c_str(), profile.c_str());
        }
        std::fprintf(stderr,
                     "velbrook-cli: handed %zu torrent(s) to the copy already running on %s\n",
                     options.torrents.size() - refused.size(), profile.c_str());
        return refused.empty() ? 0 : 1;
    }
    case SingleInstance::Role::Failed:
        std::fprintf(stderr, "velbrook-cli: another copy holds %s and cannot be reached\n",
                     profile.c_str());
        return 2;
    case SingleInstance::Role::Unwritable:
        std::fprintf(stderr, "velbrook-cli: the profile folder %s cannot be written: %s\n",
                     profile.c_str(), std::strerror(instance.WriteError()));
        return 2;
    case SingleInstance::Role::Primary:
        break;
    }
    Reactor reactor;
    CliUi ui;
    int exitCode = 0;
    {
        CVelbrookDoc doc(profile, ui, reactor);
        // Checked before anything listens: a remote control that would be open to the network
        // without a login is refused outright, not started without it.
        const std::optional<RpcServerOptions> rpcOptions =
            RpcOptionsFrom(doc.CurrentSettings(), options);
        std::unique_ptr<RpcMethods> rpcMethods;
        RpcServer rpc(reactor,
                      [&rpcMethods](std::string_view body) { return rpcMethods->Handle(body); });
        if (rpcOptions) {
            std::vector<std::string> roots =
                SplitList(doc.CurrentSettings().GetString(RpcDownloadRoots));
            if (!options.save.empty()) {
                roots.push_back(options.save);  // the folder chosen for this start
            }
            rpcMethods = std::make_unique<RpcMethods>(doc, std::move(roots));
            if (!options.save.empty()) {
                rpcMethods->SetDefaultFolder(options.save);
            }
            std::string error;
            if (!rpc.Start(*rpcOptions, error)) {
                std::fprintf(stderr, "velbrook-cli: %s\n", error.c_str());
                return 1;
            }
            std::fprintf(stderr, "velbrook-cli: remote control on %s port %u\n",
                         rpcOptions->bind.c_str(), static_cast<unsigned>(rpc.Port()));
        }
        doc.StartListening();
        if (doc.CurrentSettings().GetInt(SettingsKey::ListenPort) == 0 && doc.IsListening()) {
            // Drawn at random: whoever wants to reach us has to be told.
            std::fprintf(stderr, "velbrook-cli: listening on port %u\n",
                         static_cast<unsigned>(doc.ListenPort()));
        }
        std::string save = options.save;
        if (save.empty()) {
            save = doc.CurrentSettings().GetString(DefaultDownloadPath);
        }
        if (save.empty()) {  // set to nothing in Velbrook.xml
            save = DefaultSaveFolder();
        }
        std::filesystem::create_directories(save, ec);
        save = Absolute(save);
        if (!options.save.empty()) {
            doc.SetWatchSaveFolder(save);  // as for the remote control
        }

        std::vector<std::string> started;  // info hashes of the torrents we run
        std::set<std::string> failed;
        // Says once why a torrent cannot run.
        const auto cannotRun = [&](const TorrentSession& session) {
            if (failed.insert(session.InfoHash()).second) {
                const std::string& why =
                    session.Error().empty() ? session.StatusText() : session.Error();
                std::fprintf(stderr, "velbrook-cli: %s: %s\n",
                             PrintableLine(NameOf(session)).c_str(),
                             why.empty() ? "stopped" : PrintableLine(why).c_str());
            }
            exitCode = 1;
        };
        const auto run = [&](const std::string& infoHash) {
            failed.erase(infoHash);  // a torrent started again may fail again, and say so
            if (std::find(started.begin(), started.end(), infoHash) == started.end()) {
                started.push_back(infoHash);
            }
        };
        // A torrent that is already listed starts where it stands, or in the folder given now
        // (its data is then checked there); a new one is added and starts in `folder`. True
        // when it runs.
        const auto addTorrent = [&](const std::string& torrent, const std::string& folder,
                                    bool folderGiven) {
            KeyPathMap map;
            FileList files;
            std::string error;
            std::string infoHash;
            MagnetLink link;
            const bool magnet = IsMagnetLink(torrent);
            if (magnet
                    ? ParseMagnetLink(torrent, link, error) && !(infoHash = link.infoHash).empty()
                    : LoadTorrentFile(torrent, map, files, error) &&
                          map.GetString("__InfoHash__", infoHash)) {
                if (TorrentSession* listed = doc.Downloads().FindByInfoHash(infoHash)) {
                    if (folderGiven && WithSlash(folder) != listed->SavePath()) {
                        listed->Stop();
                        listed->MoveTo(folder);
                    }
                    run(infoHash);
                    if (!listed->StartDownload(false) && listed->State() == SessionState::Stopped) {
                        cannotRun(*listed);
                        return false;
                    }
                    return true;
                }
            }
            if (!(magnet ? doc.OpenMagnetLink(torrent, folder)
                         : doc.OpenTorrentFile(torrent, folder))) {
                std::fprintf(stderr, "velbrook-cli: %s: could not be added\n",
                             PrintableLine(torrent).c_str());
                exitCode = 1;
                return false;
            }
            run(doc.Downloads().Sessions().back()->InfoHash());
            return true;
        };
        // A torrent we started that stopped by itself (a full disk, a folder gone) says why at
        // once, whether a person watches the output or not. True while any of them runs.
        const auto reportStopped = [&] {
            bool running = false;
            for (const std::string& hash : started) {
                TorrentSession* session = doc.Downloads().FindByInfoHash(hash);
                if (session && session->IsActive()) {
                    running = true;
                } else if (session && !(session->IsComplete() && session->Error().empty())) {
                    cannotRun(*session);
                }
            }
            return running;
        };

        for (const std::string& torrent : options.torrents) {
            addTorrent(torrent, save, !options.save.empty());
        }
        if (options.startAll || options.resume) {
            for (const auto& session : doc.Downloads().Sessions()) {
                if (!options.startAll && !session->RunsOnRestart()) {
                    continue;
                }
                run(session->InfoHash());
                if (!session->StartDownload(false) && session->State() == SessionState::Stopped) {
                    cannotRun(*session);
                }
            }
        }
        // Asked to run torrents of which none can: there is nothing to wait for, unless a
        // remote may start them again once the person behind it has mended the cause.
        const bool asked =
            (!options.torrents.empty() || options.startAll || options.resume) && !rpc.IsRunning();
        if ((started.empty() && options.exitWhenDone) ||
            (asked && exitCode != 0 && !reportStopped())) {
            return exitCode;
        }

        const bool terminal = ::isatty(STDOUT_FILENO) == 1;
        const Duration showEvery = std::chrono::seconds(terminal ? 1 : 10);
        Time lastShown{};
        size_t linesShown = 0;
        while (!g_stop) {
            reactor.RunOnce(200);
            // The copy that handed a torrent over hears whether it runs here.
            instance.Serve([&](const HandedTorrent& handed) {
                const bool given = !handed.saveFolder.empty();
                if (given) {
                    std::filesystem::create_directories(handed.saveFolder, ec);
                }
                return addTorrent(handed.path, given ? handed.saveFolder : save, given);
            });
            reportStopped();
            const Time now = reactor.Now();
            if (now - lastShown >= showEvery) {
                lastShown = now;
                if (terminal && linesShown > 0) {
                    std::printf("\033[%zuA", linesShown);
                }
                linesShown = 0;
                for (const auto& session : doc.Downloads().Sessions()) {
                    if (!session->IsActive()) {
                        continue;
                    }
                    std::printf(terminal ? "\r\033[K%s\n" : "%s\n",
                                ProgressLine(*session, doc).c_str());
                    ++linesShown;
                }
                std::fflush(stdout);
            }
            if (options.exitWhenDone) {
                // Done when every torrent is complete or cannot run (stopped by a fault, or
                // gone from the list); the latter have said why and make the exit code 1.
                const bool done =
                    std::all_of(started.begin(), started.end(), [&](const std::string& hash) {
                        const TorrentSession* session = doc.Downloads().FindByInfoHash(hash);
                        if (!session) {
                            exitCode = 1;
                            return true;
                        }
                        return !session->IsActive() ||
                               (session->IsComplete() && session->Error().empty());
                    });
                if (done) {
                    break;
                }
            }
        }
        // From here on a later copy runs by itself once we have gone, instead of handing its
        // torrents to a copy that would drop them.
        instance.StopAccepting();
        // A service stopped as asked has done its job: the torrents that could not run said so,
        // and its remote showed them.
        if (g_stop && rpc.IsRunning()) {
            exitCode = 0;
        }
        // No command arrives while the torrents are stopped and the trackers told.
        rpc.Stop();
        // Trackers hear that we leave, and our final totals, unless they keep us waiting.
        doc.Shutdown();
    }
    return exitCode;
}

}  // namespace velbrook::cli
