// Reading a .torrent file from disk: bounded in size, decoded, turned into a file layout.
#pragma once

#include <cstddef>
#include <string>

namespace velbrook {

class FileList;
class KeyPathMap;

// No real metainfo comes near this; a larger file is refused before it is read into memory.
constexpr size_t kMaxTorrentFileSize = size_t{64} << 20;

// Reads the whole file into `bytes`. False with a one-line reason when it cannot be read or is
// larger than `limit`.
[[nodiscard]] bool ReadFileLimited(const std::string& path, size_t limit, std::string& bytes,
                                   std::string& error);

// Reads, decodes and lays out a torrent. False with a one-line reason on any failure. The exact
// bytes of its info dictionary, as hashed, go to `infoDictionary` when given.
[[nodiscard]] bool LoadTorrentFile(const std::string& path, KeyPathMap& map, FileList& files,
                                   std::string& error, std::string* infoDictionary = nullptr);

}  // namespace velbrook
