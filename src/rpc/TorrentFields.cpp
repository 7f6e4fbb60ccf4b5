#include "rpc/TorrentFields.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

#include "engine/PeerSet.h"
#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "peer/PeerConnection.h"
#include "rpc/RpcRequest.h"
#include "storage/PieceManager.h"
#include "tracker/TrackerClient.h"

namespace velbrook {

namespace {

using Json = nlohmann::json;

// The protocol's ratio values for "no data" and "infinite".
constexpr double kRatioNone = -1;
constexpr double kRatioInfinite = -2;
// eta: the torrent is not downloading / its end cannot be told.
constexpr int64_t kEtaNotAvailable = -1;
constexpr int64_t kEtaUnknown = -2;

std::string UrlEscape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += {'%', kHex[u >> 4], kHex[u & 15]};
        }
    }
    return out;
}

// Everything a field is computed from, read once per torrent.
struct View {
    TorrentSession& session;
    int64_t id;

    uint64_t Total() const { return session.HasMetadata() ? session.TotalLength() : 0; }
    // Why it does not run as it should: its error, else why its last start was refused (its
    // folder gone, its .torrent file missing). A remote that saw only "stopped" would take a
    // refused start for a success.
    const std::string& Problem() const {
        return session.Error().empty() ? session.StartRefusal() : session.Error();
    }
    uint64_t Left() const {
        return session.HasMetadata() ? std::min(session.Left(), session.TotalLength()) : 0;
    }
    std::vector<PeerConnection*> Connected() const {
        std::vector<PeerConnection*> peers;
        if (const PeerSet* set = session.Peers()) {
            for (PeerConnection* peer : set->PeerList()) {
                if (peer->IsConnected()) {
                    peers.push_back(peer);
                }
            }
        }
        return peers;
    }
    // Every tracker as {tier, url}, the running client's order first.
    std::vector<std::pair<size_t, std::string>> Trackers() const {
        std::vector<std::pair<size_t, std::string>> trackers;
        const AnnounceTiers& tiers = session.TrackerTiers();
        for (size_t tier = 0; tier < tiers.size(); ++tier) {
            for (const std::string& url : tiers[tier]) {
                trackers.emplace_back(tier, url);
            }
        }
        if (trackers.empty() && !session.AnnounceUrl().empty()) {
            trackers.emplace_back(0, session.AnnounceUrl());
        }
        return trackers;
    }
    const TrackerTier* TierOf(size_t tier) const {
        const TrackerClient* client = session.Tracker();
        return client && tier < client->TierCount() ? &client->Tier(tier) : nullptr;
    }
};

bool Downloading(const PeerConnection& peer) {
    return peer.IsAmInterested() && !peer.IsPeerChoking();
}

bool Uploading(const PeerConnection& peer) {
    return peer.IsPeerInterested() && !peer.IsAmChoking();
}

double Ratio(const TorrentSession& session, uint64_t have) {
    const uint64_t base = session.Downloaded() > 0 ? session.Downloaded() : have;
    if (base == 0) {
        return session.Uploaded() > 0 ? kRatioInfinite : kRatioNone;
    }
    return static_cast<double>(session.Uploaded()) / static_cast<double>(base);
}

int64_t Eta(const View& v) {
    if (v.session.IsComplete() || !v.session.IsActive()) {
        return kEtaNotAvailable;
    }
    const uint32_t rate = v.session.DownloadRate();
    if (rate == 0 || !v.session.HasMetadata()) {
        return kEtaUnknown;
    }
    return static_cast<int64_t>(v.Left() / rate);
}

Json Peers(const View& v) {
    Json peers = Json::array();
    for (PeerConnection* peer : v.Connected()) {
        std::string flags;
        flags += Downloading(*peer) ? "D" : (peer->IsAmInterested() ? "d" : "");
        flags += Uploading(*peer) ? "U" : (peer->IsPeerInterested() ? "u" : "");
        flags += !peer->IsPeerInterested() && !peer->IsAmChoking() ? "?" : "";
        flags += peer->IsIncoming() ? "I" : "";
        double progress = 0;
        if (const BitField* pieces = peer->PeerPieces(); pieces && pieces->EntryCount() > 0) {
            progress = static_cast<double>(pieces->Count(Have)) / pieces->EntryCount();
        }
        peers.push_back({{"address", peer->Address()},
                         {"port", peer->Port()},
                         {"clientName", peer->ClientName()},
                         {"flagStr", flags},
                         {"progress", progress},
                         {"rateToClient", peer->DownloadMeter().Rate()},
                         {"rateToPeer", peer->UploadMeter().Rate()},
                         {"isDownloadingFrom", Downloading(*peer)},
                         {"isUploadingTo", Uploading(*peer)},
                         {"clientIsChoked", peer->IsPeerChoking()},
                         {"clientIsInterested", peer->IsAmInterested()},
                         {"peerIsChoked", peer->IsAmChoking()},
                         {"peerIsInterested", peer->IsPeerInterested()},
                         {"isIncoming", peer->IsIncoming()},
                         {"isEncrypted", false},
                         {"isUTP", false}});
    }
    return peers;
}

Json Files(const View& v, bool stats) {
    Json files = Json::array();
    const FileList* list = v.session.HasMetadata() ? v.session.Files() : nullptr;
    if (!list) {
        return files;
    }
    for (const auto& file : list->m_files) {
        Json entry = {{"bytesCompleted", file->m_completedBytes}};
        if (stats) {
            entry["wanted"] = true;
            entry["priority"] = 0;
        } else {
            entry["name"] = list->m_singleFile && !v.session.SaveName().empty()
                                ? v.session.SaveName()
                                : file->m_relativePathName;
            entry["length"] = file->m_size;
        }
        files.push_back(std::move(entry));
    }
    return files;
}

size_t FileCount(const View& v) {
    const FileList* list = v.session.HasMetadata() ? v.session.Files() : nullptr;
    return list ? list->m_files.size() : 0;
}

Json Trackers(const View& v, bool stats) {
    Json trackers = Json::array();
    int64_t id = 0;
    for (const auto& [tier, url] : v.Trackers()) {
        Json entry = {{"id", id++}, {"announce", url}, {"scrape", ""}, {"tier", tier}};
        if (stats) {
            const TrackerTier* running = v.TierOf(tier);
            const bool inUse = running && running->Url() == url;
            const size_t hostStart = url.find("://");
            const size_t from = hostStart == std::string::npos ? 0 : hostStart + 3;
            entry["host"] = url.substr(from, url.find('/', from) - from);
            entry["sitename"] = "";
            entry["isBackup"] = running && !inUse;
            entry["hasAnnounced"] = inUse && running->Answered();
            entry["lastAnnounceSucceeded"] = inUse && running->Answered();
            entry["lastAnnounceResult"] = inUse ? running->Status() : "";
            entry["lastAnnounceTimedOut"] = false;
            entry["lastAnnounceTime"] = 0;
            entry["lastAnnouncePeerCount"] = 0;
            entry["lastAnnounceStartTime"] = 0;
            entry["nextAnnounceTime"] = 0;
            entry["announceState"] = 0;
            entry["seederCount"] = inUse ? running->Seeds() : -1;
            entry["leecherCount"] = inUse ? running->Peers() : -1;
            entry["downloadCount"] = -1;
            entry["hasScraped"] = false;
            entry["lastScrapeSucceeded"] = false;
            entry["lastScrapeResult"] = "";
            entry["lastScrapeTimedOut"] = false;
            entry["lastScrapeTime"] = 0;
            entry["lastScrapeStartTime"] = 0;
            entry["nextScrapeTime"] = 0;
            entry["scrapeState"] = 0;
        }
        trackers.push_back(std::move(entry));
    }
    return trackers;
}

std::string TrackerList(const View& v) {
    std::string text;
    size_t last = 0;
    for (const auto& [tier, url] : v.Trackers()) {
        if (!text.empty()) {
            text += tier != last ? "\n\n" : "\n";
        }
        text += url;
        last = tier;
    }
    return text;
}

std::string MagnetOf(const View& v) {
    if (!v.session.MagnetText().empty()) {
        return v.session.MagnetText();
    }
    std::string link = "magnet:?xt=urn:btih:" + BytesToHex(v.session.InfoHash());
    if (!v.session.Name().empty()) {
        link += "&dn=" + UrlEscape(v.session.Name());
    }
    for (const auto& tracker : v.Trackers()) {
        link += "&tr=" + UrlEscape(tracker.second);
    }
    return link;
}

// The pieces we have, as the protocol sends them: a bit array, base64.
std::string PiecesOf(const View& v) {
    if (!v.session.HasPieces()) {
        return {};
    }
    const PieceManager& pieces = v.session.Pieces();
    std::string bits((pieces.EntryCount() + 7) / 8, '\0');
    for (uint32_t i = 0; i < pieces.EntryCount(); ++i) {
        if (pieces.GetState(i) == Have) {
            bits[i / 8] = static_cast<char>(bits[i / 8] | (0x80 >> (i % 8)));
        }
    }
    return EncodeBase64(bits);
}

int64_t PeerLimit(const View& v) {
    return v.session.Peers() ? v.session.Peers()->Limits().maxConnected : 0;
}

using Field = std::function<Json(const View&)>;

const std::map<std::string, Field, std::less<>>& FieldTable() {
    static const std::map<std::string, Field, std::less<>> kFields = {
        {"id", [](const View& v) -> Json { return v.id; }},
        {"name",
         [](const View& v) -> Json {
             return v.session.Name().empty() ? v.session.BaseName() : v.session.Name();
         }},
        {"hashString", [](const View& v) -> Json { return BytesToHex(v.session.InfoHash()); }},
        {"status", [](const View& v) -> Json { return static_cast<int>(StatusOf(v.session)); }},
        {"error", [](const View& v) -> Json { return v.Problem().empty() ? 0 : 3; }},
        {"errorString", [](const View& v) -> Json { return v.Problem(); }},
        {"percentDone",
         [](const View& v) -> Json {
             return v.Total() ? static_cast<double>(v.Total() - v.Left()) / v.Total() : 0.0;
         }},
        {"percentComplete",
         [](const View& v) -> Json {
             return v.Total() ? static_cast<double>(v.Total() - v.Left()) / v.Total() : 0.0;
         }},
        {"metadataPercentComplete",
         [](const View& v) -> Json { return v.session.HasMetadata() ? 1.0 : 0.0; }},
        {"rateDownload", [](const View& v) -> Json { return v.session.DownloadRate(); }},
        {"rateUpload", [](const View& v) -> Json { return v.session.UploadRate(); }},
        {"eta", [](const View& v) -> Json { return Eta(v); }},
        {"etaIdle", [](const View&) -> Json { return kEtaNotAvailable; }},
        {"sizeWhenDone", [](const View& v) -> Json { return v.Total(); }},
        {"totalSize", [](const View& v) -> Json { return v.Total(); }},
        {"leftUntilDone", [](const View& v) -> Json { return v.Left(); }},
        {"desiredAvailable", [](const View&) -> Json { return 0; }},
        {"haveValid", [](const View& v) -> Json { return v.Total() - v.Left(); }},
        {"haveUnchecked", [](const View&) -> Json { return 0; }},
        {"corruptEver", [](const View&) -> Json { return 0; }},
        {"downloadedEver", [](const View& v) -> Json { return v.session.Downloaded(); }},
        {"uploadedEver", [](const View& v) -> Json { return v.session.Uploaded(); }},
        {"uploadRatio",
         [](const View& v) -> Json { return Ratio(v.session, v.Total() - v.Left()); }},
        {"peersConnected", [](const View& v) -> Json { return v.Connected().size(); }},
        {"peersSendingToUs",
         [](const View& v) -> Json {
             const auto peers = v.Connected();
             return std::count_if(peers.begin(), peers.end(),
                                  [](const PeerConnection* p) { return Downloading(*p); });
         }},
        {"peersGettingFromUs",
         [](const View& v) -> Json {
             const auto peers = v.Connected();
             return std::count_if(peers.begin(), peers.end(),
                                  [](const PeerConnection* p) { return Uploading(*p); });
         }},
        {"peersFrom",
         [](const View& v) -> Json {
             return {{"fromTracker", v.Connected().size()},
                     {"fromDht", 0},
                     {"fromPex", 0},
                     {"fromIncoming", 0},
                     {"fromLpd", 0},
                     {"fromCache", 0},
                     {"fromLtep", 0}};
         }},
        {"peers", [](const View& v) -> Json { return Peers(v); }},
        {"downloadDir",
         [](const View& v) -> Json {
             std::string dir = v.session.SavePath();
             while (dir.size() > 1 && dir.back() == '/') {
                 dir.pop_back();
             }
             return dir;
         }},
        {"files", [](const View& v) -> Json { return Files(v, false); }},
        {"fileStats", [](const View& v) -> Json { return Files(v, true); }},
        {"file-count", [](const View& v) -> Json { return FileCount(v); }},
        {"priorities", [](const View& v) -> Json { return std::vector<int>(FileCount(v), 0); }},
        {"wanted", [](const View& v) -> Json { return std::vector<int>(FileCount(v), 1); }},
        {"trackers", [](const View& v) -> Json { return Trackers(v, false); }},
        {"trackerStats", [](const View& v) -> Json { return Trackers(v, true); }},
        {"trackerList", [](const View& v) -> Json { return TrackerList(v); }},
        {"pieceCount",
         [](const View& v) -> Json {
             const FileList* files = v.session.HasMetadata() ? v.session.Files() : nullptr;
             return files ? files->PieceCount() : 0;
         }},
        {"pieceSize",
         [](const View& v) -> Json {
             const FileList* files = v.session.HasMetadata() ? v.session.Files() : nullptr;
             return files ? files->m_pieceLength : 0;
         }},
        {"pieces", [](const View& v) -> Json { return PiecesOf(v); }},
        {"magnetLink", [](const View& v) -> Json { return MagnetOf(v); }},
        {"isPrivate", [](const View& v) -> Json { return v.session.IsPrivate(); }},
        {"isFinished", [](const View&) -> Json { return false; }},
        {"isStalled", [](const View&) -> Json { return false; }},
        {"torrentFile", [](const View& v) -> Json { return v.session.TorrentFile(); }},
        {"peer-limit", [](const View& v) -> Json { return PeerLimit(v); }},
        {"maxConnectedPeers", [](const View& v) -> Json { return PeerLimit(v); }},
        {"recheckProgress", [](const View&) -> Json { return 0.0; }},
        {"queuePosition", [](const View& v) -> Json { return v.id; }},
        {"labels", [](const View&) -> Json { return Json::array(); }},
        {"webseeds", [](const View&) -> Json { return Json::array(); }},
        {"availability", [](const View&) -> Json { return Json::array(); }},
        {"webseedsSendingToUs", [](const View&) -> Json { return 0; }},
        {"comment", [](const View&) -> Json { return ""; }},
        {"creator", [](const View&) -> Json { return ""; }},
        {"source", [](const View&) -> Json { return ""; }},
        {"group", [](const View&) -> Json { return ""; }},
        {"primary-mime-type", [](const View&) -> Json { return ""; }},
        {"bandwidthPriority", [](const View&) -> Json { return 0; }},
        {"downloadLimit", [](const View&) -> Json { return 0; }},
        {"downloadLimited", [](const View&) -> Json { return false; }},
        {"uploadLimit", [](const View&) -> Json { return 0; }},
        {"uploadLimited", [](const View&) -> Json { return false; }},
        {"honorsSessionLimits", [](const View&) -> Json { return true; }},
        {"seedRatioLimit", [](const View&) -> Json { return 0; }},
        {"seedRatioMode", [](const View&) -> Json { return 0; }},
        {"seedIdleLimit", [](const View&) -> Json { return 0; }},
        {"seedIdleMode", [](const View&) -> Json { return 0; }},
        {"sequentialDownload", [](const View&) -> Json { return false; }},
        {"manualAnnounceTime", [](const View&) -> Json { return -1; }},
        // Times the engine does not keep: 0 is the protocol's "never".
        {"activityDate", [](const View&) -> Json { return 0; }},
        {"addedDate", [](const View&) -> Json { return 0; }},
        {"dateCreated", [](const View&) -> Json { return 0; }},
        {"doneDate", [](const View&) -> Json { return 0; }},
        {"editDate", [](const View&) -> Json { return 0; }},
        {"startDate", [](const View&) -> Json { return 0; }},
        {"secondsDownloading", [](const View&) -> Json { return 0; }},
        {"secondsSeeding", [](const View&) -> Json { return 0; }},
    };
    return kFields;
}

}  // namespace

RpcStatus StatusOf(const TorrentSession& session) {
    switch (session.State()) {
    case SessionState::Checking:
        return RpcStatus::Check;
    case SessionState::Waiting:
        return RpcStatus::DownloadWait;
    case SessionState::Uploading:
        return RpcStatus::Seed;
    case SessionState::ConnectTracker:
    case SessionState::Downloading:
    case SessionState::FetchingMetadata:
        return session.IsComplete() ? RpcStatus::Seed : RpcStatus::Download;
    case SessionState::Unknown:
    case SessionState::Stopped:
    case SessionState::Paused:
        break;
    }
    return RpcStatus::Stopped;
}

bool IsTorrentField(std::string_view name) {
    return FieldTable().count(name) != 0;
}

Json TorrentFieldValues(TorrentSession& session, int64_t id,
                        const std::vector<std::string>& fields) {
    const View view{session, id};
    Json torrent = Json::object();
    for (const std::string& field : fields) {
        const auto it = FieldTable().find(field);
        if (it != FieldTable().end()) {
            torrent[field] = it->second(view);
        }
    }
    return torrent;
}

std::string Fingerprint(TorrentSession& session) {
    std::string print;
    for (const uint64_t value :
         {static_cast<uint64_t>(session.State()), session.Left(), session.TotalLength(),
          uint64_t{session.DownloadRate()}, uint64_t{session.UploadRate()},
          static_cast<uint64_t>(session.ConnectedPeers()), session.Downloaded(),
          session.Uploaded()}) {
        print += std::to_string(value);
        print += ',';
    }
    print += session.Error();
    print += '\n';
    print += session.StatusText();
    print += '\n';
    print += session.Name();
    print += '\n';
    print += session.SavePath();
    return print;
}

}  // namespace velbrook
