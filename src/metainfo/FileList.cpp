#include "metainfo/FileList.h"

#include <limits>

#include "metainfo/KeyPathMap.h"
#include "persist/CXML.h"
#include "persist/TextCodec.h"

namespace velbrook {

std::string SafePathComponent(std::string_view raw) {
    const std::string text = NameToUtf8(raw);
    std::string safe;
    safe.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '/' || c < 0x20 || c == 0x7F) {
            safe += '_';
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F: C1 control characters have no business in a file name either.
            safe += '_';
            ++i;
        } else {
            safe += static_cast<char>(c);
        }
    }
    if (safe.empty() || safe == "." || safe == "..") {
        return {};
    }
    return safe;
}

bool FileList::Refuse(std::string reason) {
    m_refusal = std::move(reason);
    return false;
}

bool FileList::FromKeyPathMap(const KeyPathMap& map) {
    m_refusal.clear();
    std::string rawName;
    int32_t pieceLength32 = 0;
    if (!map.GetString("info-pieces", m_pieceHashes)) {
        return Refuse("no piece hashes");
    }
    if (!map.GetInt32("info-piece length", pieceLength32)) {
        return Refuse("no piece length");
    }
    if (!map.GetString("info-name", rawName)) {
        return Refuse("no name");
    }
    // The full value decides: its low 32 bits alone could turn a nonsense length into a
    // plausible one.
    int64_t pieceLength = 0;
    if (!map.GetInt64("info-piece length", pieceLength) || pieceLength <= 0 ||
        pieceLength > kMaxPieceLength) {
        return Refuse("piece length out of range");
    }
    m_pieceLength = pieceLength32;

    m_saveName = SafePathComponent(rawName);
    if (m_saveName.empty()) {
        std::string hex;
        m_saveName = map.GetString("__InfoHashHex__", hex) && !hex.empty() ? hex : "torrent";
    }

    m_files.clear();
    int64_t length = 0;
    if (map.GetInt64("info-length", length)) {
        if (length <= 0) {
            return Refuse("total length is not positive");
        }
        m_singleFile = true;
        m_totalLength = length;
        auto entry = std::make_unique<FileEntry>();
        entry->m_relativePathName = m_saveName;
        entry->m_size = length;
        m_files.push_back(std::move(entry));
    } else {
        m_singleFile = false;
        m_totalLength = 0;
        for (int i = 0;; ++i) {
            const std::string prefix = "info-files-" + std::to_string(i);
            auto entry = std::make_unique<FileEntry>();
            entry->m_relativePathName = m_saveName;
            std::string component;
            for (int j = 0; map.GetString(prefix + "-path-" + std::to_string(j), component); ++j) {
                const std::string safe = SafePathComponent(component);
                if (!safe.empty()) {
                    entry->m_relativePathName += '/';
                    entry->m_relativePathName += safe;
                }
            }
            int64_t size = 0;
            if (!map.GetInteger(prefix + "-length", size)) {
                break;
            }
            if (size < 0) {
                return Refuse("a file length is negative");
            }
            if (size > std::numeric_limits<int64_t>::max() - m_totalLength) {
                return Refuse("total length too large");
            }
            entry->m_size = size;
            entry->m_startAt = m_totalLength;
            m_totalLength += size;
            m_files.push_back(std::move(entry));
        }
        if (m_totalLength <= 0) {
            return Refuse("total length is not positive");
        }
    }

    // 20 bytes per piece, no more and no less: a short list would leave pieces that can never
    // verify, a long one means the lengths and hashes disagree.
    const int64_t pieces = PieceCount();
    if (static_cast<int64_t>(m_pieceHashes.size() / 20) != pieces ||
        m_pieceHashes.size() % 20 != 0) {
        return Refuse("piece hashes do not match the piece count");
    }
    return true;
}

int64_t FileList::PieceCount() const {
    if (m_pieceLength <= 0 || m_totalLength <= 0) {
        return 0;
    }
    return (m_totalLength - 1) / m_pieceLength + 1;
}

std::string_view FileList::PieceHash(int64_t index) const {
    if (index < 0 || static_cast<uint64_t>(index) >= m_pieceHashes.size() / 20) {
        return {};
    }
    return std::string_view(m_pieceHashes).substr(static_cast<size_t>(index) * 20, 20);
}

std::unique_ptr<CXML> FileList::ToXml() const {
    auto element = std::make_unique<CXML>("FileList");
    element->SetAttribute("PieceLength", m_pieceLength);
    element->SetAttributeUInt64("TotalLength", static_cast<uint64_t>(m_totalLength));
    element->SetAttribute("SavePath", m_savePath);
    element->SetAttribute("SaveName", m_saveName);
    for (const auto& file : m_files) {
        auto child = std::make_unique<CXML>("FileEntry");
        child->SetAttribute("RelativePathName", file->m_relativePathName);
        child->SetAttributeUInt64("Size", static_cast<uint64_t>(file->m_size));
        child->SetAttributeUInt64("StartAt", static_cast<uint64_t>(file->m_startAt));
        element->AddChild(std::move(child));
    }
    return element;
}

void FileList::FromXml(CXML& element) {
    m_totalLength = element.GetAttributeInt64("TotalLength");
    m_pieceLength = static_cast<int32_t>(element.GetAttributeInt64("PieceLength"));
    m_savePath = element.GetAttribute("SavePath");
    m_saveName = element.GetAttribute("SaveName");
    m_files.clear();
    for (CXML* child = element.GetFirstChild(); child; child = element.GetNextChild()) {
        if (child->GetName() != "FileEntry") {
            continue;
        }
        auto entry = std::make_unique<FileEntry>();
        entry->m_relativePathName = child->GetAttribute("RelativePathName");
        entry->m_startAt = child->GetAttributeInt64("StartAt");
        entry->m_size = child->GetAttributeInt64("Size");
        m_files.push_back(std::move(entry));
    }
    m_singleFile = m_files.size() == 1;
}

std::vector<FileSegment> FileList::MapRange(int64_t offset, uint32_t length) const {
    std::vector<FileSegment> segments;
    if (length == 0 || offset < 0) {
        return segments;
    }
    const int64_t last = offset + length - 1;
    int64_t remaining = length;
    for (size_t i = 0; i < m_files.size(); ++i) {
        const FileEntry& entry = *m_files[i];
        if (entry.m_size <= 0 || entry.m_startAt + entry.m_size - 1 < offset) {
            continue;
        }
        if (entry.m_startAt > last || remaining <= 0) {
            break;
        }
        const int64_t inFile = offset > entry.m_startAt ? offset - entry.m_startAt : 0;
        const int64_t fileLast = entry.m_startAt + entry.m_size - 1;
        const int64_t take = last > fileLast ? entry.m_size - inFile : remaining;
        segments.push_back({i, inFile, static_cast<uint32_t>(take)});
        remaining -= take;
    }
    return segments;
}

bool FileList::PiecesOfFile(size_t file, uint32_t& first, uint32_t& last) const {
    if (file >= m_files.size() || m_files[file]->m_size <= 0 || m_pieceLength <= 0) {
        return false;
    }
    const FileEntry& entry = *m_files[file];
    first = static_cast<uint32_t>(entry.m_startAt / m_pieceLength);
    last = static_cast<uint32_t>((entry.m_startAt + entry.m_size - 1) / m_pieceLength);
    return true;
}

}  // namespace velbrook
