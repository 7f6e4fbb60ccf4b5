// A torrent's status file, Status/<InfoHashHex>.xml in the profile: the torrent's identity, its
// piece states and its file layout, so that a restart resumes without re-reading the data.
#pragma once

#include <string>
#include <vector>

#include "persist/CXML.h"
#include "storage/FileStorage.h"

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
    // `stamps`, one per file when given, say what each file on disk looked like.
    [[nodiscard]] static bool Write(const std::string& path, const StatusIdentity& identity,
                                    const PieceManager* pieces, const FileList* files,
                                    const std::vector<FileStamp>& stamps = {});

    // Reads the file. False when it is missing or not well-formed XML; the parts below are
    // then absent.
    [[nodiscard]] bool Read(const std::string& path);
    // Each part, or null when the file holds none.
    CXML* Identity() { return m_root.FindChild("TorrentInfo"); }
    CXML* Pieces() { return m_root.FindChild("BitFieldStatus"); }
    CXML* Files() { return m_root.FindChild("FileList"); }
    static StatusIdentity IdentityOf(const CXML& element);
    // One stamp per FileEntry of the FileList element; unknown parts stay -1 (files written
    // before they were stamped).
    static std::vector<FileStamp> StampsOf(CXML& files);
    // Temporary files of saves cut short by a kill (the XML files of the profile folder and of
    // Status/): only names this program makes, and only while it holds the profile.
    static void RemoveStaleTemporaries(const std::string& profileDir);

private:
    CXML m_root;
};

}  // namespace velbrook
