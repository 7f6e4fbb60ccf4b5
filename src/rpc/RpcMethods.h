// The remote-control methods over the engine: each request's JSON body in, the answer's JSON
// text out, every engine change made through the document the desktop and headless programs use.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "net/Clock.h"

namespace velbrook {

class CVelbrookDoc;
class TorrentSession;
struct IdSelection;

class RpcMethods {
public:
    // `roots`: folders a download-dir may lie in besides the default save folder.
    RpcMethods(CVelbrookDoc& doc, std::vector<std::string> roots);
    ~RpcMethods();
    RpcMethods(const RpcMethods&) = delete;
    RpcMethods& operator=(const RpcMethods&) = delete;

    // One POST body of /transmission/rpc; the JSON answer text. Never throws.
    std::string Handle(std::string_view body);
    // Where torrents go when a request names no folder, instead of the DefaultDownloadPath
    // setting: the headless program's --save folder. A session-set of download-dir ends it.
    void SetDefaultFolder(std::string folder) { m_defaultFolder = std::move(folder); }

    // How long a change keeps a torrent among the "recently-active" ones, and a removal among
    // the removed ids they report.
    static constexpr Duration kRecentSpan = std::chrono::seconds(60);

private:
    // A torrent as the last "recently-active" look saw it.
    struct Seen {
        std::string fingerprint;
        Time changedAt{};
    };
    using Json = nlohmann::json;

    // Each method fills `answer` (the answer's arguments) and returns the result text:
    // "success", or why it failed.
    std::string Dispatch(const std::string& method, const Json& arguments, Json& answer);
    std::string SessionGet(Json& answer);
    std::string SessionSet(const Json& arguments);
    std::string SessionStats(Json& answer);
    std::string TorrentGet(const Json& arguments, Json& answer);
    std::string TorrentAdd(const Json& arguments, Json& answer);
    // The bytes of a .torrent, kept under Torrents/ in the profile (the list reads torrents from
    // files) and added.
    std::string AddMetainfo(const std::string& bytes, const std::string& folder, bool paused,
                            Json& answer);
    // Adds a torrent known by its info hash from `path` (or `link`, a magnet link) into
    // `folder`, or names the one listed already. `written`: our own copy, to go again when the
    // torrent cannot be added.
    std::string AddTorrent(const std::string& infoHash, const std::string& path,
                           const std::string& link, const std::string& written,
                           const std::string& folder, bool paused, Json& answer);
    class UrlFetch;
    void EndFetch(UrlFetch* fetch);
    std::string TorrentStart(const Json& arguments);
    std::string TorrentStop(const Json& arguments);
    std::string TorrentRemove(const Json& arguments);
    std::string TorrentVerify(const Json& arguments);
    std::string FreeSpace(const Json& arguments, Json& answer);

    // The torrents `arguments` name, in list order; false with why for a malformed `ids`.
    bool Select(const Json& arguments, std::vector<TorrentSession*>& selected, std::string& why);
    std::vector<TorrentSession*> Resolve(const IdSelection& selection);
    // The torrents changed since the last such look or within kRecentSpan; the ids removed
    // within that span go to `removed`.
    std::vector<TorrentSession*> RecentlyActive(std::vector<int64_t>& removed);
    // The torrent's id, given on first sight and kept while the program runs.
    int64_t IdOf(const std::string& infoHash);
    void NoteRemoved(const std::string& infoHash);
    // The folder, absolute and with symbolic links resolved, when it lies inside the default
    // save folder or one of the roots; empty otherwise (with why).
    std::string AllowedFolder(const std::string& folder, std::string& why) const;
    std::string DefaultFolder() const;

    CVelbrookDoc& m_doc;
    std::vector<std::string> m_roots;
    std::string m_defaultFolder;
    std::map<std::string, int64_t> m_idByHash;
    int64_t m_nextId = 1;
    std::map<std::string, Seen> m_seen;  // by info hash
    std::map<int64_t, Time> m_removedAt;
    // .torrent files being fetched for torrent-add.
    std::vector<std::unique_ptr<UrlFetch>> m_fetches;
    // The limits last asked for, kept while a limit is off (the settings hold 0 then).
    int32_t m_upLimit = 100;
    int32_t m_downLimit = 100;
};

}  // namespace velbrook
