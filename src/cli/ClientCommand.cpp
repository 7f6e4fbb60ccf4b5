#include "cli/ClientCommand.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/SingleInstance.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/TorrentFile.h"
#include "net/Reactor.h"
#include "persist/Profile.h"
#include "persist/Settings.h"

namespace velbrook::cli {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

// The person at a terminal (or nobody): messages go to stderr, questions are answered yes, and
// files go to the folder chosen on the command line.
class CliUi : public UiHost {
public:
    MessageAnswer ShowMessage(const std::string& text, MessageIcon,
                              MessageButtons buttons) override {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (buttons == MessageButtons::YesNo) {
            std::fprintf(stderr, "velbrook-cli: %s -> yes\n", line.c_str());
            return MessageAnswer::Yes;
        }
        std::fprintf(stderr, "velbrook-cli: %s\n", line.c_str());
        return MessageAnswer::Ok;
    }
    bool ChooseSaveFile(const std::string& startFolder, const std::string& proposedName,
                        std::string& chosenPath) override {
        chosenPath =
            (startFolder.empty() || startFolder.back() == '/' ? startFolder : startFolder + "/") +
            proposedName;
        return true;
    }
    bool ChooseFolder(const std::string& startFolder, std::string& chosenFolder) override {
        chosenFolder = startFolder;
        return true;
    }
    // Options are edited in Velbrook.xml; there is no dialog here.
    bool EditOptions(SettingsValues&) override { return false; }
    void PostUpdateAllViews() override {}
};

const char* StateLabel(SessionState state) {
    switch (state) {
    case SessionState::Stopped:
        return "Stopped";
    case SessionState::ConnectTracker:
        return "Connecting";
    case SessionState::Downloading:
        return "Downloading";
    case SessionState::Uploading:
        return "Seeding";
    case SessionState::Paused:
        return "Paused";
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

std::string ProgressLine(TorrentSession& session) {
    const uint32_t down = session.DownloadRate();
    std::string eta = "-";
    if (!session.IsComplete() && down > 0) {
        const uint64_t seconds = session.Left() / down;
        char text[32];
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600,
                      seconds / 60 % 60, seconds % 60);
        eta = text;
    }
    char line[512];
    std::snprintf(line, sizeof line,
                  "%-24.24s %-11s %3" PRIu64 "%%  down %s  up %s  peers %d/%d  ETA %s  %s",
                  session.Name().empty() ? session.BaseName().c_str() : session.Name().c_str(),
                  StateLabel(session.State()), session.PercentDone(), Rate(down).c_str(),
                  Rate(session.UploadRate()).c_str(), session.ConnectedPeers(),
                  session.ConnectedSeeds(), eta.c_str(), session.StatusText().c_str());
    return line;
}

double Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int RunClient(const ClientOptions& options) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const std::string profile = ResolveProfileDir(options.profile);
    std::error_code ec;
    std::filesystem::create_directories(profile, ec);
    SingleInstance instance(profile);
    switch (instance.Claim(options.torrents)) {
    case SingleInstance::Role::HandedOff:
        std::fprintf(stderr,
                     "velbrook-cli: handed %zu torrent(s) to the copy already running on %s\n",
                     options.torrents.size(), profile.c_str());
        return 0;
    case SingleInstance::Role::Failed:
        std::fprintf(stderr, "velbrook-cli: another copy holds %s and cannot be reached\n",
                     profile.c_str());
        return 2;
    case SingleInstance::Role::Primary:
        break;
    }
    Reactor reactor;
    CliUi ui;
    int exitCode = 0;
    {
        CVelbrookDoc doc(profile, ui);
        doc.StartListening();
        std::string save =
            options.save.empty() ? GetSettings().GetString(DefaultDownloadPath) : options.save;
        std::filesystem::create_directories(save, ec);
        save = std::filesystem::absolute(save, ec).string();

        std::vector<std::string> started;
        // A torrent that is already listed is started where it stands instead of being refused
        // as a duplicate; one whose status file is gone is added afresh, which checks its data.
        const auto addTorrent = [&](const std::string& torrent) {
            KeyPathMap map;
            FileList files;
            std::string error;
            std::string infoHash;
            if (LoadTorrentFile(torrent, map, files, error) &&
                map.GetString("__InfoHash__", infoHash)) {
                if (TorrentSession* listed = doc.Downloads().FindByInfoHash(infoHash)) {
                    if (listed->State() != SessionState::Unknown) {
                        listed->StartDownload(false);
                        started.push_back(infoHash);
                        return true;
                    }
                    doc.Downloads().RemoveByInfoHash(infoHash);
                }
            }
            if (!doc.OpenTorrentFile(torrent, save)) {
                std::fprintf(stderr, "velbrook-cli: %s: could not be added\n", torrent.c_str());
                return false;
            }
            started.push_back(doc.Downloads().Sessions().back()->InfoHash());
            return true;
        };
        for (const std::string& torrent : options.torrents) {
            if (!addTorrent(torrent)) {
                exitCode = 1;
            }
        }
        if (options.startAll) {
            for (const auto& session : doc.Downloads().Sessions()) {
                if (session->StartDownload(false) || session->State() != SessionState::Stopped) {
                    started.push_back(session->InfoHash());
                }
            }
        }
        if (started.empty() && options.exitWhenDone) {
            return exitCode == 0 ? 0 : exitCode;
        }

        const bool terminal = ::isatty(STDOUT_FILENO) == 1;
        double lastShown = 0;
        double lastSaved = Now();
        size_t linesShown = 0;
        while (!g_stop) {
            reactor.RunOnce(200);
            for (const std::string& handed : instance.TakeHandedPaths()) {
                addTorrent(handed);
            }
            const double now = Now();
            // There is no detail view here to pick one torrent: every running torrent has its
            // progress refreshed and its status file written, so a crash loses at most this
            // interval's pieces.
            if (now - lastSaved >= 3.0) {
                lastSaved = now;
                for (const auto& session : doc.Downloads().Sessions()) {
                    if (session->State() != SessionState::Stopped &&
                        session->State() != SessionState::Unknown) {
                        session->RefreshProgress();
                    }
                }
            }
            if (now - lastShown >= (terminal ? 1.0 : 10.0)) {
                lastShown = now;
                if (terminal && linesShown > 0) {
                    std::printf("\033[%zuA", linesShown);
                }
                linesShown = 0;
                for (const auto& session : doc.Downloads().Sessions()) {
                    if (session->State() == SessionState::Stopped ||
                        session->State() == SessionState::Unknown) {
                        continue;
                    }
                    std::printf(terminal ? "\r\033[K%s\n" : "%s\n", ProgressLine(*session).c_str());
                    ++linesShown;
                }
                std::fflush(stdout);
            }
            if (options.exitWhenDone) {
                bool done = true;
                for (const std::string& hash : started) {
                    TorrentSession* session = doc.Downloads().FindByInfoHash(hash);
                    done = done && session && session->IsComplete();
                }
                if (done) {
                    break;
                }
            }
        }
        // Trackers hear that we leave, and our final totals, unless they keep us waiting.
        doc.BeginShutdown();
        const double deadline = Now() + CVelbrookDoc::kExitGraceMs / 1000.0;
        while (doc.StopAnnouncesPending() && Now() < deadline) {
            reactor.RunOnce(50);
        }
    }
    return exitCode;
}

}  // namespace velbrook::cli
