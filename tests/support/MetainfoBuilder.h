// Bencoded metainfo for tests, keys in sorted order as real encoders write them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/SHA1.h"

namespace velbrook::test {

inline std::string BString(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

// `size` bytes of a pattern whose period (23) divides no piece length, so no two pieces match;
// from position `from` of it on.
inline std::string PatternBytes(size_t size, uint64_t from = 0) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + (from + i) % 23);
    }
    return data;
}

// The hashes of `data` cut into pieces, as the metainfo lists them.
inline std::string PieceHashes(std::string_view data, int64_t pieceLength) {
    std::string hashes;
    for (size_t at = 0; at < data.size(); at += static_cast<size_t>(pieceLength)) {
        hashes += SHA1::Digest(data.substr(at, static_cast<size_t>(pieceLength)));
    }
    return hashes;
}

struct MetaFile {
    int64_t length;
    std::vector<std::string> path;  // components, as the metainfo lists them
};

struct Metainfo {
    std::string name = "t";
    int64_t length = 10;               // a single file, unless `files` is given
    std::vector<MetaFile> files = {};  // a folder `name` of these files
    int64_t pieceLength = 16384;
    std::string hashes = {};                                  // empty: a dummy hash for each piece
    int64_t hashBytes = -1;                                   // >= 0: that many dummy bytes instead
    std::string announce = "http://127.0.0.1:1/announce";     // empty: no announce key
    std::vector<std::vector<std::string>> announceList = {};  // empty: no announce-list key
    bool isPrivate = false;

    std::string Encode() const {
        const auto num = [](int64_t v) { return "i" + std::to_string(v) + "e"; };
        std::string info = "d";
        int64_t total = length;
        if (files.empty()) {
            info += "6:length" + num(length);
        } else {
            total = 0;
            info += "5:filesl";
            for (const MetaFile& f : files) {
                info += "d6:length" + num(f.length) + "4:pathl";
                for (const std::string& part : f.path) {
                    info += BString(part);
                }
                info += "ee";
                // Summed only when it sizes the dummy hashes: overflow tests give lengths that
                // cannot be added up.
                total += hashBytes < 0 && hashes.empty() ? f.length : 0;
            }
            info += "e";
        }
        std::string pieces = hashes;
        if (pieces.empty()) {
            const int64_t count = hashBytes >= 0    ? hashBytes
                                  : pieceLength > 0 ? 20 * ((total + pieceLength - 1) / pieceLength)
                                                    : 20;
            pieces.assign(static_cast<size_t>(count > 0 ? count : 0), 'h');
        }
        info += "4:name" + BString(name) + "12:piece length" + num(pieceLength) + "6:pieces" +
                BString(pieces) + (isPrivate ? "7:privatei1e" : "") + "e";
        std::string tiers;
        for (const auto& tier : announceList) {
            tiers += "l";
            for (const std::string& url : tier) {
                tiers += BString(url);
            }
            tiers += "e";
        }
        return "d" + (announce.empty() ? "" : "8:announce" + BString(announce)) +
               (announceList.empty() ? "" : "13:announce-listl" + tiers + "e") + "4:info" + info +
               "e";
    }
};

}  // namespace velbrook::test
