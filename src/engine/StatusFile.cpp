#include "engine/StatusFile.h"

#include <sys/stat.h>

#include <memory>

#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "storage/PieceManager.h"

namespace velbrook {

std::string StatusFile::PathFor(const std::string& profileDir, const std::string& infoHash) {
    return profileDir + "Status/" + BytesToHex(infoHash) + ".xml";
}

bool StatusFile::Write(const std::string& path, const StatusIdentity& identity,
                       const PieceManager* pieces, const FileList* files) {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);  // an existing folder is fine
    }
    CXML root("Tarnwick");
    root.SetAttribute("Author", "Olendrix");
    root.SetAttribute("Version", "0.1");
    auto info = std::make_unique<CXML>("TorrentInfo");
    info->SetAttribute("AnnounceURL", identity.announceUrl);
    info->SetAttribute("InfoHashHex", BytesToHex(identity.infoHash));
    info->SetAttribute("TorrentPathName", identity.torrentFile);
    root.AddChild(std::move(info));
    if (pieces) {
        root.AddChild(pieces->ToXml());
    }
    if (files) {
        root.AddChild(files->ToXml());
    }
    return CXML::SaveFile(root, path);
}

bool StatusFile::Read(const std::string& path) {
    return m_root.Load(path);
}

StatusIdentity StatusFile::IdentityOf(const CXML& element) {
    return {element.GetAttribute("AnnounceURL"), HexToBytes(element.GetAttribute("InfoHashHex")),
            element.GetAttribute("TorrentPathName")};
}

}  // namespace velbrook
