#include "metainfo/MagnetLink.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <unordered_set>

namespace velbrook {

namespace {

constexpr std::string_view kScheme = "magnet:?";
constexpr std::string_view kBtih = "urn:btih:";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char want, char got) {
               return want == std::tolower(static_cast<unsigned char>(got));
           });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// %XX escapes decoded; a '%' that starts no escape stays as it is. With `plusIsSpace` a '+'
// is a space, as forms encode it.
std::string Unescape(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// The name as it may be shown: control characters go, and a name cut short never ends inside
// a UTF-8 sequence.
std::string ShowableName(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            continue;
        }
        out += c;
    }
    if (out.size() > kMaxMagnetNameLength) {
        size_t end = kMaxMagnetNameLength;
        while (end > 0 && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80) {
            --end;
        }
        out.resize(end);
    }
    return out;
}

std::optional<std::string> FromHex(std::string_view text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

std::optional<std::string> FromBase32(std::string_view text) {
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        int value = -1;
        if (upper >= 'A' && upper <= 'Z') {
            value = upper - 'A';
        } else if (upper >= '2' && upper <= '7') {
            value = upper - '2' + 26;
        }
        if (value < 0) {
            return std::nullopt;
        }
        bits = (bits << 5) | static_cast<uint32_t>(value);
        count += 5;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Why `value` (the xt parameter, unescaped) names no torrent; empty when it does, and then
// the info hash is in `infoHash`.
std::string ReadExactTopic(std::string_view value, std::string& infoHash) {
    if (!StartsWithNoCase(value, kBtih)) {
        return "it names no BitTorrent info hash (xt is not urn:btih:)";
    }
    const std::string_view hash = value.substr(kBtih.size());
    std::optional<std::string> bytes;
    if (hash.size() == 40) {
        bytes = FromHex(hash);
    } else if (hash.size() == 32) {
        bytes = FromBase32(hash);
    } else {
        return "its info hash has " + std::to_string(hash.size()) +
               " characters, not 40 hexadecimal or 32 base32";
    }
    if (!bytes || bytes->size() != 20) {
        return hash.size() == 40 ? "its info hash is not hexadecimal"
                                 : "its info hash is not base32";
    }
    infoHash = std::move(*bytes);
    return {};
}

std::optional<MagnetPeer> ReadPeer(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
            return std::nullopt;
        }
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        // A name or an IPv4 address; anything else could not be dialled.
        if (host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789.-") != std::string_view::npos) {
            return std::nullopt;
        }
    }
    if (host.empty() || host.size() > 253 || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535) {
        return std::nullopt;
    }
    return MagnetPeer{std::string(host), static_cast<uint16_t>(number)};
}

// The parameter's name without an index ("tr.1" is "tr").
std::string_view BaseKey(std::string_view key) {
    const size_t dot = key.find('.');
    if (dot != std::string_view::npos && dot + 1 < key.size() &&
        std::all_of(key.begin() + static_cast<std::ptrdiff_t>(dot) + 1, key.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        return key.substr(0, dot);
    }
    return key;
}

}  // namespace

bool IsMagnetLink(std::string_view text) {
    return StartsWithNoCase(text, kScheme);
}

bool ParseMagnetLink(std::string_view text, MagnetLink& link, std::string& error) {
    link = MagnetLink{};
    if (!IsMagnetLink(text)) {
        error = "not a magnet link";
        return false;
    }
    if (text.size() > kMaxMagnetLinkLength) {
        error = "the link is longer than " + std::to_string(kMaxMagnetLinkLength) + " bytes";
        return false;
    }
    std::string topicError;
    bool haveTopic = false;
    bool haveName = false;
    std::unordered_set<std::string> seenTrackers;
    size_t trackersLeftOut = 0;
    size_t peersLeftOut = 0;
    std::string_view rest = text.substr(kScheme.size());
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string key = Unescape(pair.substr(0, equals), false);
        const std::string_view raw = pair.substr(equals + 1);
        const std::string_view base = BaseKey(key);
        if (base == "xt") {
            if (haveTopic) {
                continue;  // the first torrent named is the one fetched
            }
            const std::string why = ReadExactTopic(Unescape(raw, false), link.infoHash);
            if (why.empty()) {
                haveTopic = true;
            } else if (topicError.empty()) {
                topicError = why;
            }
        } else if (base == "dn" && !haveName) {
            haveName = true;
            link.displayName = ShowableName(Unescape(raw, true));
        } else if (base == "tr") {
            const std::string url = Unescape(raw, false);
            const bool plain = std::none_of(url.begin(), url.end(), [](char c) {
                return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
            });
            if (url.size() > kMaxTrackerUrlLength || !plain || !IsTrackerUrl(url) ||
                link.trackers.size() == kMaxTrackerTiers) {
                ++trackersLeftOut;
            } else if (seenTrackers.insert(url).second) {
                link.trackers.push_back({url});
            }
        } else if (base == "x.pe") {
            const std::optional<MagnetPeer> peer = ReadPeer(Unescape(raw, false));
            if (!peer || link.peers.size() == kMaxMagnetPeers) {
                ++peersLeftOut;
            } else if (std::find(link.peers.begin(), link.peers.end(), *peer) == link.peers.end()) {
                link.peers.push_back(*peer);
            }
        }
    }
    if (!haveTopic) {
        link = MagnetLink{};
        error = topicError.empty() ? "it names no torrent (no xt=urn:btih:)" : topicError;
        return false;
    }
    std::string why;
    if (trackersLeftOut != 0) {
        why = std::to_string(trackersLeftOut) + " tracker(s)";
    }
    if (peersLeftOut != 0) {
        why += (why.empty() ? "" : " and ") + std::to_string(peersLeftOut) + " peer(s)";
    }
    if (!why.empty()) {
        link.ignored = "Some of this link is ignored: " + why +
                       " unusable (not http, https or udp, too long, malformed) or beyond " +
                       "the bounds.";
    }
    return true;
}

}  // namespace velbrook
