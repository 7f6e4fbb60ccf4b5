#include "peer/PeerId.h"

#include <cstdint>

namespace velbrook {
namespace {

constexpr std::string_view kOwnPrefix("\0\0\0\0korvex", 10);
constexpr uint8_t kMajor = 0;
constexpr uint8_t kMinor = 33;

bool StartsWith(std::string_view id, std::string_view prefix) {
    return id.size() >= prefix.size() && id.compare(0, prefix.size(), prefix) == 0;
}

uint8_t ByteAt(std::string_view id, size_t i) {
    return static_cast<uint8_t>(id[i]);
}

// A version digit is a raw byte plus '0'; a hostile id can turn that into a control character or
// half of a multi-byte sequence, neither of which may reach a log line or a table cell.
char VersionChar(uint32_t value) {
    const auto c = static_cast<uint8_t>(value + '0');
    return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
}

}  // namespace

std::string BuildPeerId(std::mt19937& rng) {
    std::string id(kOwnPrefix);
    id.push_back(static_cast<char>(kMajor));
    id.push_back(static_cast<char>(kMinor));
    while (id.size() < kPeerIdLength) {
        // 0xFF is never drawn.
        id.push_back(static_cast<char>(rng() % 255));
    }
    return id;
}

std::string BuildPeerId() {
    thread_local std::mt19937 rng = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           device(), device(), device(), device()};
        return std::mt19937(seed);
    }();
    return BuildPeerId(rng);
}

std::string IdentifyClient(std::string_view id) {
    if (StartsWith(id, std::string_view("\0\0\0\0\0Azureus", 12))) {
        return "Azureus";
    }
    if (StartsWith(id, std::string_view("\0\0\0\0\0\0\0\0\0\0\0\0aa", 14))) {
        return "Experi";
    }
    if (StartsWith(id, std::string_view("\0\0\0\0\0\0\0\0\0\0\0\0", 12))) {
        return "Official";
    }
    if (StartsWith(id, kOwnPrefix)) {
        // An id cut short before its version bytes shows '?' where they would be.
        std::string name = "korvex ";
        name += id.size() > 10 ? VersionChar(ByteAt(id, 10)) : '?';
        name += '.';
        name += id.size() > 11 ? VersionChar(ByteAt(id, 11) / 10) : '?';
        name += id.size() > 11 ? VersionChar(ByteAt(id, 11) % 10) : '?';
        return name;
    }
    if (!id.empty() && id[0] == 'S') {
        std::string name = "ShadowExp ";
        name += id.size() > 1 ? VersionChar(ByteAt(id, 1)) : '?';
        name += '.';
        name += id.size() > 2 ? VersionChar(ByteAt(id, 2)) : '?';
        return name;
    }
    return "n/a";
}

}  // namespace velbrook
