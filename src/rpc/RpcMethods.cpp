#include "rpc/RpcMethods.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/LayerSettings.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/MagnetLink.h"
#include "metainfo/SHA1.h"
#include "metainfo/TorrentFile.h"
#include "net/Reactor.h"
#include "persist/DurableFile.h"
#include "persist/PrintableText.h"
#include "persist/Settings.h"
#include "rpc/RpcRequest.h"
#include "rpc/TorrentFields.h"
#include "tracker/HttpClient.h"

namespace velbrook {

namespace {

constexpr const char* kSuccess = "success";

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

// The folder with every symbolic link resolved (a missing tail is taken as written), or empty
// when it is not absolute or cannot be resolved.
std::string Resolved(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') {
        return {};
    }
    std::error_code ec;
    const std::filesystem::path resolved =
        std::filesystem::weakly_canonical(std::filesystem::path(folder).lexically_normal(), ec);
    if (ec) {
        return {};
    }
    std::string text = resolved.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

bool Inside(const std::string& folder, const std::string& root) {
    if (root.empty()) {
        return false;
    }
    if (root == "/") {
        return true;
    }
    return folder == root ||
           (folder.size() > root.size() && folder.compare(0, root.size(), root) == 0 &&
            folder[root.size()] == '/');
}

// A relative name the engine would write: no empty, "." or ".." part, not absolute.
bool StaysInside(const std::string& relative) {
    if (relative.empty() || relative.front() == '/') {
        return false;
    }
    for (const auto& part : std::filesystem::path(relative)) {
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
    }
    return true;
}

std::optional<bool> ReadBool(const nlohmann::json& arguments, const char* key) {
    const auto it = arguments.find(key);
    if (it == arguments.end()) {
        return std::nullopt;
    }
    if (it->is_boolean()) {
        return it->get<bool>();
    }
    if (it->is_number_integer()) {  // some remotes send 0 and 1
        return it->get<int64_t>() != 0;
    }
    throw std::invalid_argument(std::string("invalid ") + key);
}

// An integer argument within the settings key's range.
std::optional<int32_t> ReadLimit(const nlohmann::json& arguments, const char* key,
                                 int settingsKey) {
    const auto it = arguments.find(key);
    if (it == arguments.end()) {
        return std::nullopt;
    }
    const SettingsRange range = SettingsKeyRange(settingsKey);
    if (!it->is_number_integer() || it->get<int64_t>() < range.min ||
        it->get<int64_t>() > range.max) {
        throw std::invalid_argument(std::string("invalid ") + key);
    }
    return static_cast<int32_t>(it->get<int64_t>());
}

struct SpaceOf {
    int64_t free = -1;
    int64_t total = -1;
};

SpaceOf Space(const std::string& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0) {
        return {};
    }
    return {static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize),
            static_cast<int64_t>(fs.f_blocks) * static_cast<int64_t>(fs.f_frsize)};
}

// The paths of the torrent's data, collected before the session goes.
std::vector<std::string> DataPaths(const TorrentSession& session) {
    std::vector<std::string> paths;
    const FileList* files = session.Files();
    if (!files || session.SavePath().empty()) {
        return paths;
    }
    const std::string folder = WithSlash(session.SavePath());
    if (files->m_singleFile) {
        if (StaysInside(session.SaveName())) {
            paths.push_back(folder + session.SaveName());
        }
        return paths;
    }
    for (const auto& file : files->m_files) {
        if (StaysInside(file->m_relativePathName)) {
            paths.push_back(folder + file->m_relativePathName);
        }
    }
    return paths;
}

// Removes the files and then the folders they leave empty, never the save folder itself.
void DeleteData(const std::vector<std::string>& paths, const std::string& saveFolder) {
    std::set<std::string, std::greater<>> folders;  // deepest first
    const std::string top = WithSlash(saveFolder);
    for (const std::string& path : paths) {
        ::unlink(path.c_str());
        for (std::string folder = std::filesystem::path(path).parent_path().string();
             folder.size() > top.size() && folder.compare(0, top.size(), top) == 0;
             folder = std::filesystem::path(folder).parent_path().string()) {
            folders.insert(folder);
        }
    }
    for (const std::string& folder : folders) {
        ::rmdir(folder.c_str());  // refused while anything else lies in it, as it should be
    }
}

}  // namespace

RpcMethods::RpcMethods(CVelbrookDoc& doc, std::vector<std::string> roots) : m_doc(doc) {
    for (const std::string& root : roots) {
        const std::string resolved = Resolved(root);
        if (!resolved.empty()) {
            m_roots.push_back(resolved);
        }
    }
    const Settings& settings = m_doc.CurrentSettings();
    m_upLimit = std::max(m_upLimit, settings.GetInt(MaxUploadSpeed));
    m_downLimit = std::max(m_downLimit, settings.GetInt(MaxDownloadSpeed));
}

RpcMethods::~RpcMethods() = default;

std::string RpcMethods::Handle(std::string_view body) {
    Json answer = Json::object();
    try {
        RpcRequest request;
        std::string why;
        Json arguments = Json::object();
        std::string result;
        if (!ParseRpcRequest(body, request, why)) {
            result = why;
        } else {
            try {
                result = Dispatch(request.method, request.arguments, arguments);
            } catch (const nlohmann::json::exception&) {
                result = "invalid arguments";
            } catch (const std::invalid_argument& invalid) {
                result = invalid.what();
            }
        }
        answer["result"] = result;
        answer["arguments"] = result == kSuccess ? std::move(arguments) : Json::object();
        if (!request.tag.is_null()) {
            answer["tag"] = request.tag;
        }
        // Names and paths come from torrents and disks: text that is not UTF-8 is replaced,
        // never a reason to fail.
        return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return R"({"arguments":{},"result":"internal error"})";
    }
}

std::string RpcMethods::Dispatch(const std::string& method, const Json& arguments, Json& answer) {
    if (method == "session-get") {
        return SessionGet(answer);
    }
    if (method == "session-set") {
        return SessionSet(arguments);
    }
    if (method == "session-stats") {
        return SessionStats(answer);
    }
    if (method == "torrent-get") {
        return TorrentGet(arguments, answer);
    }
    if (method == "torrent-add") {
        return TorrentAdd(arguments, answer);
    }
    if (method == "torrent-start" || method == "torrent-start-now") {
        return TorrentStart(arguments);
    }
    if (method == "torrent-stop") {
        return TorrentStop(arguments);
    }
    if (method == "torrent-remove") {
        return TorrentRemove(arguments);
    }
    if (method == "torrent-verify") {
        return TorrentVerify(arguments);
    }
    if (method == "free-space") {
        return FreeSpace(arguments, answer);
    }
    return "method name not recognized";
}

// ---- session ----

std::string RpcMethods::DefaultFolder() const {
    return m_defaultFolder.empty() ? m_doc.CurrentSettings().GetString(DefaultDownloadPath)
                                   : m_defaultFolder;
}

std::string RpcMethods::AllowedFolder(const std::string& folder, std::string& why) const {
    const std::string resolved = Resolved(folder);
    if (resolved.empty()) {
        why = "download-dir must be an absolute path";
        return {};
    }
    if (Inside(resolved, Resolved(DefaultFolder()))) {
        return resolved;
    }
    for (const std::string& root : m_roots) {
        if (Inside(resolved, root)) {
            return resolved;
        }
    }
    why = "download-dir is outside the allowed folders";
    return {};
}

std::string RpcMethods::SessionGet(Json& answer) {
    const Settings& settings = m_doc.CurrentSettings();
    const int32_t up = settings.GetInt(MaxUploadSpeed);
    const int32_t down = settings.GetInt(MaxDownloadSpeed);
    const std::string folder = DefaultFolder();
    answer["download-dir"] = folder;
    answer["download-dir-free-space"] = Space(folder).free;
    answer["speed-limit-up"] = up > 0 ? up : m_upLimit;
    answer["speed-limit-up-enabled"] = up > 0;
    answer["speed-limit-down"] = down > 0 ? down : m_downLimit;
    answer["speed-limit-down-enabled"] = down > 0;
    answer["peer-limit-global"] = settings.GetInt(MaxConnectedPeers);
    answer["peer-limit-per-torrent"] = settings.GetInt(MaxConnectedPeers);
    answer["peer-port"] = m_doc.ListenPort();
    answer["peer-port-random-on-start"] = settings.GetInt(ListenPort) == 0;
    answer["dht-enabled"] = settings.GetInt(DhtEnabled) != 0;
    answer["pex-enabled"] = true;
    answer["lpd-enabled"] = false;
    answer["utp-enabled"] = false;
    answer["port-forwarding-enabled"] = false;
    answer["encryption"] = "tolerated";
    answer["alt-speed-enabled"] = false;
    answer["alt-speed-up"] = 0;
    answer["alt-speed-down"] = 0;
    answer["alt-speed-time-enabled"] = false;
    answer["seedRatioLimited"] = false;
    answer["seedRatioLimit"] = 0;
    answer["idle-seeding-limit-enabled"] = false;
    answer["idle-seeding-limit"] = 0;
    answer["download-queue-enabled"] = false;
    answer["download-queue-size"] = 0;
    answer["seed-queue-enabled"] = false;
    answer["seed-queue-size"] = 0;
    answer["queue-stalled-enabled"] = false;
    answer["start-added-torrents"] = true;
    answer["incomplete-dir-enabled"] = false;
    answer["rename-partial-files"] = false;
    answer["script-torrent-done-enabled"] = false;
    answer["blocklist-enabled"] = false;
    answer["blocklist-size"] = 0;
    answer["cache-size-mb"] = 0;
    answer["config-dir"] = m_doc.ProfileDir();
    answer["rpc-version"] = 15;
    answer["rpc-version-minimum"] = 1;
    answer["version"] = std::string("Velbrook ") + VELBROOK_RPC_VERSION;
    answer["units"] = {{"speed-units", {"kB/s", "MB/s", "GB/s", "TB/s"}}, {"speed-bytes", 1024},
                       {"size-units", {"kB", "MB", "GB", "TB"}},          {"size-bytes", 1024},
                       {"memory-units", {"KiB", "MiB", "GiB", "TiB"}},    {"memory-bytes", 1024}};
    return kSuccess;
}

std::string RpcMethods::SessionSet(const Json& arguments) {
    static const std::set<std::string> kKnown = {"speed-limit-up",    "speed-limit-up-enabled",
                                                 "speed-limit-down",  "speed-limit-down-enabled",
                                                 "peer-limit-global", "peer-limit-per-torrent",
                                                 "download-dir"};
    for (const auto& item : arguments.items()) {
        if (!kKnown.count(item.key())) {
            return "unsupported argument: " + item.key();
        }
    }
    // Everything is read and checked before anything changes: a refused request changes nothing.
    Settings after = m_doc.CurrentSettings();
    int32_t upLimit = m_upLimit;
    int32_t downLimit = m_downLimit;
    const auto up = ReadLimit(arguments, "speed-limit-up", MaxUploadSpeed);
    const auto upOn = ReadBool(arguments, "speed-limit-up-enabled");
    const auto down = ReadLimit(arguments, "speed-limit-down", MaxDownloadSpeed);
    const auto downOn = ReadBool(arguments, "speed-limit-down-enabled");
    const auto apply = [&after](int key, std::optional<int32_t> limit, std::optional<bool> on,
                                int32_t& kept) {
        if (limit) {
            kept = *limit;
        }
        // The settings know no switch: a limit in force is a number above 0, none is 0.
        const bool enabled = on ? *on : after.GetInt(key) > 0;
        if (limit || on) {
            after.SetInt(key, enabled ? std::max(kept, 1) : 0);
        }
    };
    apply(MaxUploadSpeed, up, upOn, upLimit);
    apply(MaxDownloadSpeed, down, downOn, downLimit);
    if (const auto peers = ReadLimit(arguments, "peer-limit-per-torrent", MaxConnectedPeers)) {
        after.SetInt(MaxConnectedPeers, *peers);
    }
    if (const auto peers = ReadLimit(arguments, "peer-limit-global", MaxConnectedPeers)) {
        after.SetInt(MaxConnectedPeers, *peers);
    }
    if (const auto dir = arguments.find("download-dir"); dir != arguments.end()) {
        if (!dir->is_string()) {
            return "invalid download-dir";
        }
        std::string why;
        const std::string folder = AllowedFolder(dir->get<std::string>(), why);
        if (folder.empty()) {
            return why;
        }
        after.SetString(DefaultDownloadPath, folder);
        m_defaultFolder.clear();
    }
    m_upLimit = upLimit;
    m_downLimit = downLimit;
    // A remote's change is kept, as the options dialog's is.
    if (!m_doc.ApplyAndSaveSettings(after)) {
        return "the settings are in force, but could not be saved; they last until the program "
               "ends";
    }
    return kSuccess;
}

std::string RpcMethods::SessionStats(Json& answer) {
    uint64_t down = 0;
    uint64_t up = 0;
    uint64_t downloaded = 0;
    uint64_t uploaded = 0;
    int64_t active = 0;
    const auto& sessions = m_doc.Downloads().Sessions();
    for (const auto& session : sessions) {
        down += session->DownloadRate();
        up += session->UploadRate();
        downloaded += session->Downloaded();
        uploaded += session->Uploaded();
        active += session->IsActive() ? 1 : 0;
    }
    const auto total = static_cast<int64_t>(sessions.size());
    const Json stats = {{"uploadedBytes", uploaded},
                        {"downloadedBytes", downloaded},
                        {"filesAdded", total},
                        {"sessionCount", 1},
                        {"secondsActive", 0}};
    answer["activeTorrentCount"] = active;
    answer["pausedTorrentCount"] = total - active;
    answer["torrentCount"] = total;
    answer["downloadSpeed"] = down;
    answer["uploadSpeed"] = up;
    answer["cumulative-stats"] = stats;
    answer["current-stats"] = stats;
    return kSuccess;
}

std::string RpcMethods::FreeSpace(const Json& arguments, Json& answer) {
    const auto path = arguments.find("path");
    if (path == arguments.end() || !path->is_string()) {
        return "invalid path";
    }
    std::string why;
    const std::string folder = AllowedFolder(path->get<std::string>(), why);
    if (folder.empty()) {
        return why;
    }
    const SpaceOf space = Space(folder);
    if (space.free < 0) {
        return "cannot read the free space of " + folder;
    }
    answer["path"] = path->get<std::string>();
    answer["size-bytes"] = space.free;
    answer["total_size"] = space.total;
    return kSuccess;
}

// ---- ids ----

int64_t RpcMethods::IdOf(const std::string& infoHash) {
    const auto [it, added] = m_idByHash.try_emplace(infoHash, m_nextId);
    if (added) {
        ++m_nextId;
    }
    return it->second;
}

void RpcMethods::NoteRemoved(const std::string& infoHash) {
    if (const auto it = m_idByHash.find(infoHash); it != m_idByHash.end()) {
        m_removedAt[it->second] = m_doc.GetClock().Now();
    }
    m_seen.erase(infoHash);
}

bool RpcMethods::Select(const Json& arguments, std::vector<TorrentSession*>& selected,
                        std::string& why) {
    IdSelection selection;
    if (!ReadIdSelection(arguments, selection, why)) {
        return false;
    }
    if (selection.recentlyActive) {
        std::vector<int64_t> removed;
        selected = RecentlyActive(removed);
    } else {
        selected = Resolve(selection);
    }
    return true;
}

std::vector<TorrentSession*> RpcMethods::Resolve(const IdSelection& selection) {
    std::set<std::string> hashes(selection.hashes.begin(), selection.hashes.end());
    for (const int64_t id : selection.ids) {
        for (const auto& [hash, known] : m_idByHash) {
            if (known == id) {
                hashes.insert(hash);
            }
        }
    }
    std::vector<TorrentSession*> selected;
    for (const auto& session : m_doc.Downloads().Sessions()) {
        // Every listed torrent has its id from here on, whether asked for or not.
        IdOf(session->InfoHash());
        if (selection.all || hashes.count(session->InfoHash())) {
            selected.push_back(session.get());
        }
    }
    return selected;
}

std::vector<TorrentSession*> RpcMethods::RecentlyActive(std::vector<int64_t>& removed) {
    const Time now = m_doc.GetClock().Now();
    std::vector<TorrentSession*> active;
    std::set<std::string> listed;
    for (const auto& session : m_doc.Downloads().Sessions()) {
        const std::string& hash = session->InfoHash();
        IdOf(hash);
        listed.insert(hash);
        std::string print = Fingerprint(*session);
        const auto [seen, first] = m_seen.try_emplace(hash);
        if (first || seen->second.fingerprint != print) {
            seen->second.fingerprint = std::move(print);
            seen->second.changedAt = now;
        }
        if (now - seen->second.changedAt <= kRecentSpan) {
            active.push_back(session.get());
        }
    }
    // Torrents that left the list some other way than through us.
    for (auto it = m_seen.begin(); it != m_seen.end();) {
        if (!listed.count(it->first)) {
            m_removedAt[IdOf(it->first)] = now;
            it = m_seen.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = m_removedAt.begin(); it != m_removedAt.end();) {
        if (now - it->second > kRecentSpan) {
            it = m_removedAt.erase(it);
        } else {
            removed.push_back(it->first);
            ++it;
        }
    }
    return active;
}

// ---- torrents ----

std::string RpcMethods::TorrentGet(const Json& arguments, Json& answer) {
    const auto fieldsArgument = arguments.find("fields");
    if (fieldsArgument == arguments.end() || !fieldsArgument->is_array()) {
        return "no fields";
    }
    std::vector<std::string> fields;
    for (const Json& field : *fieldsArgument) {
        if (!field.is_string()) {
            return "invalid fields";
        }
        if (!IsTorrentField(field.get_ref<const std::string&>())) {
            return "unknown field: " + field.get<std::string>();
        }
        fields.push_back(field.get<std::string>());
    }
    IdSelection selection;
    std::string why;
    if (!ReadIdSelection(arguments, selection, why)) {
        return why;
    }
    std::vector<int64_t> removed;
    const std::vector<TorrentSession*> selected =
        selection.recentlyActive ? RecentlyActive(removed) : Resolve(selection);
    Json torrents = Json::array();
    for (TorrentSession* session : selected) {
        torrents.push_back(TorrentFieldValues(*session, IdOf(session->InfoHash()), fields));
    }
    answer["torrents"] = std::move(torrents);
    if (selection.recentlyActive) {
        answer["removed"] = removed;
    }
    return kSuccess;
}

// A .torrent named by an http(s) URL, fetched on the loop and added once it is here. The
// request that asked was answered at once: a failure is told to the person, like any torrent
// that cannot be added.
class RpcMethods::UrlFetch : public HttpOwner {
public:
    UrlFetch(RpcMethods& owner, std::string url, std::string folder, bool paused)
        : m_owner(owner), m_url(std::move(url)), m_folder(std::move(folder)), m_paused(paused) {}
    ~UrlFetch() override { Reactor::DeleteLater(std::move(m_client)); }
    UrlFetch(const UrlFetch&) = delete;
    UrlFetch& operator=(const UrlFetch&) = delete;

    bool Start(std::string& error) {
        const Settings& settings = m_owner.m_doc.CurrentSettings();
        m_client =
            std::make_unique<HttpClient>(*this, m_owner.m_doc.GetClock(), ProxyFrom(settings),
                                         settings.GetInt(CheckTrackerCertificates) != 0);
        return m_client->Start(m_url, error);
    }
    void OnResponse(const std::string& body) override {
        Json answer;
        const std::string result = m_owner.AddMetainfo(body, m_folder, m_paused, answer);
        if (result != kSuccess) {
            Tell(result);
        }
        m_owner.EndFetch(this);
    }
    void OnFailure(const std::string& reason, bool /*noRetry*/) override {
        Tell(reason);
        m_owner.EndFetch(this);
    }
    void OnFatal(const std::string& reason) override {
        Tell(reason);
        m_owner.EndFetch(this);
    }

private:
    void Tell(const std::string& why) {
        m_owner.m_doc.Ui().ShowMessage("Can't add the torrent at " + PrintableLine(m_url) + ": " +
                                           PrintableLine(why),
                                       MessageIcon::Error);
    }

    RpcMethods& m_owner;
    const std::string m_url;
    const std::string m_folder;
    const bool m_paused;
    std::unique_ptr<HttpClient> m_client;
};

void RpcMethods::EndFetch(UrlFetch* fetch) {
    const auto it = std::find_if(m_fetches.begin(), m_fetches.end(),
                                 [fetch](const auto& held) { return held.get() == fetch; });
    if (it != m_fetches.end()) {
        // It is reporting from inside its client's handler: both go once that has returned.
        Reactor::DeleteLater(std::move(*it));
        m_fetches.erase(it);
    }
}

std::string RpcMethods::TorrentAdd(const Json& arguments, Json& answer) {
    const bool paused = ReadBool(arguments, "paused").value_or(false);
    std::string folder = DefaultFolder();
    if (const auto dir = arguments.find("download-dir"); dir != arguments.end()) {
        if (!dir->is_string()) {
            return "invalid download-dir";
        }
        folder = dir->get<std::string>();
    }
    std::string why;
    folder = AllowedFolder(folder, why);
    if (folder.empty()) {
        return why;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);

    if (const auto metainfo = arguments.find("metainfo"); metainfo != arguments.end()) {
        if (!metainfo->is_string()) {
            return "invalid metainfo";
        }
        const std::optional<std::string> bytes =
            DecodeBase64(metainfo->get_ref<const std::string&>());
        if (!bytes) {
            return "invalid or corrupt torrent file";
        }
        return AddMetainfo(*bytes, folder, paused, answer);
    }
    const auto filename = arguments.find("filename");
    if (filename == arguments.end() || !filename->is_string()) {
        return "no filename or metainfo";
    }
    const std::string& given = filename->get_ref<const std::string&>();
    if (IsMagnetLink(given)) {
        MagnetLink parsed;
        std::string error;
        if (!ParseMagnetLink(given, parsed, error)) {
            return "invalid magnet link: " + error;
        }
        return AddTorrent(parsed.infoHash, {}, given, {}, folder, paused, answer);
    }
    if (StartsWithNoCase(given, "http://") || StartsWithNoCase(given, "https://")) {
        auto fetch = std::make_unique<UrlFetch>(*this, given, folder, paused);
        std::string error;
        if (!fetch->Start(error)) {
            return "cannot fetch " + given + ": " + error;
        }
        m_fetches.push_back(std::move(fetch));
        return kSuccess;  // what it adds is known only once it has arrived
    }
    // A named pipe or a device would block the one thread everything runs on.
    struct stat info {};
    if (given.empty() || given.front() != '/' || ::stat(given.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
        return "no such torrent file: " + given;
    }
    KeyPathMap map;
    FileList files;
    std::string error;
    std::string infoHash;
    if (!LoadTorrentFile(given, map, files, error) || !map.GetString("__InfoHash__", infoHash)) {
        return "invalid or corrupt torrent file";
    }
    return AddTorrent(infoHash, given, {}, {}, folder, paused, answer);
}

std::string RpcMethods::AddMetainfo(const std::string& bytes, const std::string& folder,
                                    bool paused, Json& answer) {
    KeyPathMap map;
    std::string infoHash;
    if (bytes.size() > kMaxTorrentFileSize || !map.Decode(bytes) ||
        !map.GetString("__InfoHash__", infoHash)) {
        return "invalid or corrupt torrent file";
    }
    if (m_doc.Downloads().FindByInfoHash(infoHash)) {
        return AddTorrent(infoHash, {}, {}, {}, folder, paused, answer);
    }
    std::string rawName;
    map.GetString("info-name", rawName);
    std::string name = SafePathComponent(rawName);
    if (name.empty() || name.size() > 200) {
        name = BytesToHex(infoHash);
    }
    const std::string torrents = m_doc.ProfileDir() + "Torrents/";
    std::error_code ec;
    std::filesystem::create_directories(torrents, ec);
    std::string path = torrents + name + ".torrent";
    std::string existing;
    std::string error;
    // Another torrent's file of the same name stays as it is.
    if (ReadFileLimited(path, kMaxTorrentFileSize, existing, error) && existing != bytes) {
        path = torrents + name + "-" + BytesToHex(infoHash).substr(0, 8) + ".torrent";
    }
    std::string written;
    if (!std::filesystem::exists(path, ec)) {
        if (!ReplaceFile(path, bytes)) {
            return "cannot store the torrent file";
        }
        written = path;
    }
    return AddTorrent(infoHash, path, {}, written, folder, paused, answer);
}

std::string RpcMethods::AddTorrent(const std::string& infoHash, const std::string& path,
                                   const std::string& link, const std::string& written,
                                   const std::string& folder, bool paused, Json& answer) {
    const auto described = [&](const TorrentSession& session) {
        return Json{{"id", IdOf(infoHash)},
                    {"name", session.Name().empty() ? session.BaseName() : session.Name()},
                    {"hashString", BytesToHex(infoHash)}};
    };
    if (const TorrentSession* listed = m_doc.Downloads().FindByInfoHash(infoHash)) {
        answer["torrent-duplicate"] = described(*listed);
        return kSuccess;
    }
    const bool added =
        link.empty() ? m_doc.OpenTorrentFile(path, folder) : m_doc.OpenMagnetLink(link, folder);
    TorrentSession* session = added ? m_doc.Downloads().FindByInfoHash(infoHash) : nullptr;
    if (!session) {
        if (!written.empty()) {
            std::error_code ec;
            std::filesystem::remove(written, ec);
        }
        return "the torrent could not be added";
    }
    if (paused) {
        session->Stop();
    }
    m_removedAt.erase(IdOf(infoHash));
    answer["torrent-added"] = described(*session);
    return kSuccess;
}

std::string RpcMethods::TorrentStart(const Json& arguments) {
    std::vector<TorrentSession*> selected;
    std::string why;
    if (!Select(arguments, selected, why)) {
        return why;
    }
    for (TorrentSession* session : selected) {
        if (!session->IsActive() || session->State() == SessionState::Paused) {
            // One that cannot start says why in its error and status, read by torrent-get.
            session->StartDownload(false);
        }
    }
    return kSuccess;
}

std::string RpcMethods::TorrentStop(const Json& arguments) {
    std::vector<TorrentSession*> selected;
    std::string why;
    if (!Select(arguments, selected, why)) {
        return why;
    }
    for (TorrentSession* session : selected) {
        session->Stop();
    }
    return kSuccess;
}

std::string RpcMethods::TorrentRemove(const Json& arguments) {
    std::vector<TorrentSession*> selected;
    std::string why;
    if (!Select(arguments, selected, why)) {
        return why;
    }
    const bool deleteData = ReadBool(arguments, "delete-local-data").value_or(false);
    // By hash: removing one torrent must not leave pointers to the others dangling.
    std::vector<std::string> hashes;
    for (TorrentSession* session : selected) {
        hashes.push_back(session->InfoHash());
    }
    for (const std::string& hash : hashes) {
        TorrentSession* session = m_doc.Downloads().FindByInfoHash(hash);
        if (!session) {
            continue;
        }
        const std::vector<std::string> paths =
            deleteData ? DataPaths(*session) : std::vector<std::string>();
        const std::string saveFolder = session->SavePath();
        // Stopped first: a running torrent's files are open and its status is written as it stops.
        m_doc.Downloads().RemoveByInfoHash(hash);
        NoteRemoved(hash);
        if (deleteData) {
            DeleteData(paths, saveFolder);
        }
    }
    return kSuccess;
}

std::string RpcMethods::TorrentVerify(const Json& arguments) {
    std::vector<TorrentSession*> selected;
    std::string why;
    if (!Select(arguments, selected, why)) {
        return why;
    }
    for (TorrentSession* session : selected) {
        if (!session->HasMetadata()) {
            continue;  // nothing on disk to check yet
        }
        // Every piece is checked at the next start; a running torrent starts again at once.
        const bool running = session->IsActive();
        if (running) {
            session->Stop();
        }
        session->MoveTo(session->SavePath());
        if (running) {
            session->StartDownload(false);
        }
    }
    return kSuccess;
}

}  // namespace velbrook
