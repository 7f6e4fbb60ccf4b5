// Fuzz target: decoded metainfo through the file layout rules and the XML form of the layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "persist/CXML.h"
#include "persist/TextCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velbrook::KeyPathMap map;
    if (!map.Decode(std::string_view(reinterpret_cast<const char*>(data), size))) {
        return 0;
    }
    velbrook::FileList files;
    if (!files.FromKeyPathMap(map)) {
        return 0;
    }
    // What an accepted torrent promises the storage layer: a gap-free layout inside the save
    // folder, with names that are valid UTF-8 and have no way up or out.
    int64_t offset = 0;
    for (const auto& file : files.m_files) {
        const std::string& name = file->m_relativePathName;
        if (file->m_startAt != offset || file->m_size < 0 || name.empty() || name[0] == '/' ||
            !velbrook::IsValidUtf8(name) || name.find("//") != std::string::npos) {
            std::abort();
        }
        size_t start = 0;
        while (start <= name.size()) {
            size_t end = name.find('/', start);
            if (end == std::string::npos) {
                end = name.size();
            }
            const std::string_view part(name.data() + start, end - start);
            if (part.empty() || part == "." || part == "..") {
                std::abort();
            }
            start = end + 1;
        }
        offset += file->m_size;
    }
    if (offset != files.m_totalLength ||
        files.PieceCount() * 20 != static_cast<int64_t>(files.m_pieceHashes.size())) {
        std::abort();
    }
    auto xml = files.ToXml();
    velbrook::FileList back;
    back.FromXml(*xml);
    if (back.m_files.size() != files.m_files.size() || back.m_totalLength != files.m_totalLength) {
        std::abort();
    }
    return 0;
}
