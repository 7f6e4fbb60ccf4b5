#include "cli/InfoCommand.h"

#include <cinttypes>

#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/TorrentFile.h"
#include "metainfo/Trackers.h"
#include "persist/PrintableText.h"

namespace velbrook::cli {

int RunInfo(const std::string& torrentPath, std::FILE* out, std::FILE* err) {
    KeyPathMap map;
    FileList files;
    std::string error;
    if (!LoadTorrentFile(torrentPath, map, files, error)) {
        std::fprintf(err, "velbrook-cli: %s: %s\n", torrentPath.c_str(), error.c_str());
        return 1;
    }
    std::string hex;
    std::string announce;
    if (!map.GetString("__InfoHashHex__", hex)) {
        hex = "(none)";  // the decoder always names it; a metainfo without "info" never gets here
    }
    const bool hasAnnounce = map.GetString("announce", announce);

    std::fprintf(out, "Name:         %s\n", files.m_saveName.c_str());
    std::fprintf(out, "Info hash:    %s\n", hex.c_str());
    // The announce URL comes from the file as it is: no control byte of it reaches a terminal.
    std::fprintf(out, "Announce:     %s\n",
                 hasAnnounce ? PrintableLine(announce).c_str() : "(none)");
    // Every tracker the torrent will announce to, tier by tier, and why some are left out.
    const TrackerList trackers = ReadTrackerList(map);
    std::fprintf(out, "Trackers:     %zu\n", trackers.tiers.size());
    for (size_t tier = 0; tier < trackers.tiers.size(); ++tier) {
        for (const std::string& url : trackers.tiers[tier]) {
            std::fprintf(out, "  tier %zu: %s\n", tier + 1, PrintableLine(url).c_str());
        }
    }
    if (!trackers.ignored.empty()) {
        std::fprintf(out, "  %s\n", trackers.ignored.c_str());
    }
    std::fprintf(out, "Access:       %s\n", IsPrivateTorrent(map) ? "private" : "public");
    std::fprintf(out, "Total length: %" PRId64 "\n", files.m_totalLength);
    std::fprintf(out, "Piece length: %" PRId32 "\n", files.m_pieceLength);
    std::fprintf(out, "Pieces:       %" PRId64 "\n", files.PieceCount());
    std::fprintf(out, "Files:        %zu\n", files.m_files.size());
    for (const auto& file : files.m_files) {
        std::fprintf(out, "  %s  size %" PRId64 "  offset %" PRId64 "\n",
                     file->m_relativePathName.c_str(), file->m_size, file->m_startAt);
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace velbrook::cli
