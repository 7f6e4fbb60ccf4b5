// A torrent's status file, Status/<InfoHashHex>.xml in the profile: the torrent's identity, its
// piece states and its file layout, so that a restart resumes without re-reading the data.
#pragma once

#include <string>

#include "persist/CXML.h"

namespace velbrook {

class FileList;
class PieceManager;

// What a status file names: the torrent, and where its .torrent file is.
struct StatusIdentity {
    std::string announceUrl;
    std::string infoHash;  // 20 bytes when the file named one
    std::string torrentFile;
};

class StatusFile {
public:
    static std::string PathFor(const std::string& profileDir, const std::string& infoHash);

    // Replaces the file atomically. False, with errno telling why, when it could not be written.
    [[nodiscard]] static bool Write(const std::string& path, const StatusIdentity& identity,
                                    const PieceManager* pieces, const FileList* files);

    // Reads the file. False when it is missing or not well-formed XML; the parts below are
    // then absent.
    [[nodiscard]] bool Read(const std::string& path);
    // Each part, or null when the file holds none.
    CXML* Identity() { return m_root.FindChild("TorrentInfo"); }
    CXML* Pieces() { return m_root.FindChild("BitFieldStatus"); }
    CXML* Files() { return m_root.FindChild("FileList"); }
    static StatusIdentity IdentityOf(const CXML& element);

private:
    CXML m_root;
};

}  // namespace velbrook
