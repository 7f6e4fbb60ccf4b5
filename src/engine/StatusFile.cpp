#include "engine/StatusFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <string_view>

#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "persist/Settings.h"
#include "storage/PieceManager.h"

namespace velbrook {

namespace {

// Stamps of each file in the status file's FileEntry elements.
constexpr char kLengthOnDisk[] = "LengthOnDisk";
constexpr char kModifiedNs[] = "ModifiedNs";

// A non-negative 64-bit decimal, or -1 when absent or not one.
int64_t ReadStamp(const CXML& entry, std::string_view name) {
    const std::string text = entry.GetAttribute(name);
    int64_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() && value >= 0
               ? value
               : -1;
}

}  // namespace

std::string StatusFile::PathFor(const std::string& profileDir, const std::string& infoHash) {
    return profileDir + "Status/" + BytesToHex(infoHash) + ".xml";
}

bool StatusFile::Write(const std::string& path, const StatusIdentity& identity,
                       const PieceManager* pieces, const FileList* files,
                       const std::vector<FileStamp>& stamps) {
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
        CXML* list = root.AddChild(files->ToXml());
        const bool stamped = stamps.size() == files->m_files.size();
        size_t index = 0;
        for (CXML* entry = list->GetFirstChild(); entry && stamped; entry = list->GetNextChild()) {
            const FileStamp& stamp = stamps[index++];
            if (stamp.length >= 0) {
                entry->SetAttributeUInt64(kLengthOnDisk, static_cast<uint64_t>(stamp.length));
            }
            if (stamp.length >= 0 && stamp.modifiedNs >= 0) {
                entry->SetAttributeUInt64(kModifiedNs, static_cast<uint64_t>(stamp.modifiedNs));
            }
        }
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

std::vector<FileStamp> StatusFile::StampsOf(CXML& files) {
    std::vector<FileStamp> stamps;
    for (CXML* entry = files.GetFirstChild(); entry; entry = files.GetNextChild()) {
        if (entry->GetName() != "FileEntry") {
            continue;
        }
        FileStamp stamp;
        stamp.length = ReadStamp(*entry, kLengthOnDisk);
        stamp.modifiedNs = ReadStamp(*entry, kModifiedNs);
        stamps.push_back(stamp);
    }
    return stamps;
}

void StatusFile::RemoveStaleTemporaries(const std::string& profileDir) {
    const auto inProfile = [](std::string_view name) {
        return name == Settings::FileName() || name == "Downloads.xml" || name == "Style.xml";
    };
    const auto inStatus = [](std::string_view name) {
        return name.size() == 44 && name.substr(40) == ".xml" &&
               std::all_of(name.begin(), name.begin() + 40,
                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    };
    CXML::RemoveTemporaries(profileDir, inProfile);
    CXML::RemoveTemporaries(profileDir + "Status", inStatus);
}

}  // namespace velbrook
