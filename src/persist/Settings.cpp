#include "persist/Settings.h"

#include "persist/CXML.h"
#include "persist/KeepAside.h"
#include "persist/Profile.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <string_view>

namespace velbrook {

namespace {

constexpr int kFirstText = 0;
constexpr int kLastText = 5;
constexpr int kFirstInt = 7;
constexpr int kLastInt = 22;
// TotalUpload and TotalDownload: kept in memory, never in the file.
constexpr int kFirstReserved = 24;
constexpr int kLastReserved = 25;
constexpr int kFirstLater = 27;

// Integers outside a key's range never reach its readers: a port that does not fit 16 bits would
// be cut to another port, a negative count or speed means nothing. Flags are 0 or 1; counts and
// speeds are non-negative. The options pages check against the same ranges: a page narrower than
// the file would refuse to confirm a value the file held, and the person could not press OK
// without first changing a setting they never touched.
constexpr int32_t kMaxInt = INT32_MAX;

struct KeyInfo {
    const char* name;
    int32_t defaultInt;
    int32_t min;
    int32_t max;
};

constexpr KeyInfo kKeys[kSettingsKeyCount] = {
    {"ReportIP", 0, 0, 0},
    {"LanguageFile", 0, 0, 0},
    {"DefaultDownloadPath", 0, 0, 0},
    {"SocksServer", 0, 0, 0},
    {"Socks5UserName", 0, 0, 0},
    {"Socks5Password", 0, 0, 0},
    {"SENTRY", 0, 0, 0},
    {"ListenPort", 6886, 0, 65535},  // 0: a random port
    {"ConnectionType", 0, 0, 2},
    {"SocksPort", 1080, 0, 65535},
    {"ProtocalExtension", 1, 0, 1},
    {"MaxConnectedPeers", 40, 0, 65535},
    {"MaxUpLoadSlots", 10, 0, 65535},
    {"MaxUploadSpeed", 1000, 0, kMaxInt},  // KiB/s
    {"MaxDownloadSpeed", 0, 0, kMaxInt},   // KiB/s, 0: no limit
    {"UpDownRatio", 200, 0, kMaxInt},      // per cent
    {"MinUploadRate", 20, 0, kMaxInt},     // KiB/s
    {"PromptExistFileFirstTime", 1, 0, 1},
    {"AllocateBeforeDownload", 0, 0, 1},
    {"FastResume", 1, 0, 1},
    {"TorrentCache", 1, 0, 1},
    {"LogPeerComm", 0, 0, 1},
    // Lines kept per peer, in memory: bounded so a hand-edited file cannot make it grow freely.
    {"LogPeerCommLines", 0, 0, 100000},
    {"SENTRY", 0, 0, 0},
    {"TotalUpload", 0, 0, 0},
    {"TotalDownload", 0, 0, 0},
    {"SENTRY", 0, 0, 0},
    {"CheckTrackerCertificates", 1, 0, 1},
    {"DhtEnabled", 1, 0, 1},
    {"DhtRouters", 0, 0, 0},
    {"RpcEnabled", 0, 0, 1},
    {"RpcBind", 0, 0, 0},
    {"RpcPort", 9091, 1, 65535},
    {"RpcUser", 0, 0, 0},
    {"RpcPassword", 0, 0, 0},
    {"RpcHostWhitelist", 0, 0, 0},
    {"RpcDownloadRoots", 0, 0, 0},
    {"WatchFolder", 0, 0, 0},
};

// Decimal text with optional blanks around it and an optional sign; nothing when it is not a
// number or does not fit 64 bits (every value past that is out of range anyway).
std::optional<int64_t> ParseDecimal(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool IsTextKey(int key) {
    switch (key) {
    case DhtRouters:
    case RpcBind:
    case RpcUser:
    case RpcPassword:
    case RpcHostWhitelist:
    case RpcDownloadRoots:
    case WatchFolder:
        return true;
    default:
        return key >= kFirstText && key <= kLastText;
    }
}

// Integer keys that the file and the options dialog hold.
bool IsStoredIntKey(int key) {
    return (key >= kFirstInt && key <= kLastInt) ||
           (key >= kFirstLater && key < kSettingsKeyCount && !IsTextKey(key));
}

bool IsIntKey(int key) {
    return IsStoredIntKey(key) || (key >= kFirstReserved && key <= kLastReserved);
}

}  // namespace

const char* SettingsKeyName(int index) {
    if (index < 0 || index >= kSettingsKeyCount) {
        return "";
    }
    return kKeys[index].name;
}

SettingsRange SettingsKeyRange(int index) {
    if (!IsIntKey(index)) {
        return {};
    }
    return {kKeys[index].min, kKeys[index].max};
}

Settings::Settings() {
    m_defaultString[LanguageFile] = "Lans";
    // Downloads go where the desktop keeps them, not into the profile.
    m_defaultString[DefaultDownloadPath] = DefaultSaveFolder();
    // The routers common clients join through. Test and development profiles name loopback
    // nodes instead, or turn the table off.
    m_defaultString[DhtRouters] =
        "router.bittorrent.com:6881,router.utorrent.com:6881,dht.transmissionbt.com:6881";
    // Nobody else on the network reaches the remote control unless the person says so.
    m_defaultString[RpcBind] = "127.0.0.1";
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        m_defaultInt[i] = kKeys[i].defaultInt;
        m_userInt[i] = kKeys[i].defaultInt;
    }
}

std::string Settings::GetString(int key, bool allowDefault) const {
    if (!IsTextKey(key)) {
        return {};
    }
    if (m_set[key] || !allowDefault) {
        return m_userString[key];
    }
    return m_defaultString[key];
}

int32_t Settings::GetInt(int key) const {
    if (!IsIntKey(key)) {
        return 0;
    }
    return m_set[key] ? m_userInt[key] : m_defaultInt[key];
}

bool Settings::IsSet(int key) const {
    return key >= 0 && key < kSettingsKeyCount && m_set[key];
}

void Settings::SetString(int key, const std::string& value) {
    if (!IsTextKey(key)) {
        return;
    }
    m_userString[key] = value;
    m_set[key] = !value.empty();
}

void Settings::SetInt(int key, int32_t value) {
    if (!IsIntKey(key)) {
        return;
    }
    m_userInt[key] = value;
    m_set[key] = true;
}

void Settings::Load(const std::string& path, const Report& report) {
    m_unwritable.clear();
    CXML root;
    if (!root.Load(path)) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
            return;  // a first start
        }
        // Saving the options later would write the defaults over whatever it still holds.
        const std::string reason = UnreadableReason(path, "settings file");
        std::string error;
        const std::string kept = KeepAside(path, error);
        if (kept.empty()) {
            m_unwritable = path;
        }
        if (report) {
            report(kept.empty()
                       ? path + " could not be read (" + reason + ") nor moved aside (" + error +
                             "). The default settings are used, and the file is left "
                             "as it is: changed options cannot be saved."
                       : path + " could not be read (" + reason + "). It is kept as " + kept +
                             ", and the default settings are used.");
        }
        return;
    }
    CXML* group = root.FindChild("Settings");
    if (group == nullptr) {
        return;
    }
    // The first element of a key with the right type counts; later ones are ignored.
    const auto find = [group](const char* name, const char* type) -> CXML* {
        for (CXML* item = group->GetFirstChild(); item != nullptr; item = group->GetNextChild()) {
            if (item->GetName() == name && item->GetAttribute("type") == type) {
                return item;
            }
        }
        return nullptr;
    };
    for (int key = 0; key < kSettingsKeyCount; ++key) {
        if (!IsTextKey(key)) {
            continue;
        }
        if (CXML* item = find(kKeys[key].name, "string")) {
            m_userString[key] = item->GetAttribute("value");
            m_set[key] = !m_userString[key].empty();
        }
    }
    for (int key = kFirstInt; key < kSettingsKeyCount; ++key) {
        CXML* item = IsStoredIntKey(key) ? find(kKeys[key].name, "int") : nullptr;
        if (item == nullptr) {
            continue;
        }
        const KeyInfo& info = kKeys[key];
        const std::string text = item->GetAttribute("value");
        const std::optional<int64_t> value = ParseDecimal(text);
        if (value && *value >= info.min && *value <= info.max) {
            m_userInt[key] = static_cast<int32_t>(*value);
            m_set[key] = true;
            continue;
        }
        if (report) {
            // Short and plain, so that a hand-edited value cannot flood or steer a terminal.
            std::string shown;
            for (const char c : std::string_view(text).substr(0, 40)) {
                shown += c >= ' ' && c <= '~' ? c : '?';
            }
            if (text.size() > 40) {
                shown += "...";
            }
            report(path + ": " + info.name + " \"" + shown + "\" " +
                   (value ? "is out of range " + std::to_string(info.min) + "-" +
                                std::to_string(info.max)
                          : std::string("is not a number")) +
                   "; using " + std::to_string(info.defaultInt));
        }
    }
}

bool Settings::Save(const std::string& path) const {
    if (!m_unwritable.empty() && path == m_unwritable) {
        errno = EEXIST;
        return false;
    }
    CXML root("Tarnwick");
    root.SetAttribute("Author", "Olendrix");
    root.SetAttribute("Version", "0.1");
    CXML* group = root.AddChild(std::make_unique<CXML>("Settings"));
    for (int key = 0; key < kSettingsKeyCount; ++key) {
        if (!IsTextKey(key)) {
            continue;
        }
        CXML* item = group->AddChild(std::make_unique<CXML>(kKeys[key].name));
        item->SetAttribute("type", "string");
        item->SetAttribute("value", GetString(key, true));
    }
    for (int key = kFirstInt; key < kSettingsKeyCount; ++key) {
        if (!IsStoredIntKey(key)) {
            continue;
        }
        CXML* item = group->AddChild(std::make_unique<CXML>(kKeys[key].name));
        item->SetAttribute("type", "int");
        item->SetAttribute("value", GetInt(key));
    }
    return CXML::SaveFile(root, path);
}

SettingsValues Settings::Values() const {
    SettingsValues values;
    for (int key = 0; key < kSettingsKeyCount; ++key) {
        if (IsTextKey(key)) {
            values.text[key] = GetString(key);
        }
    }
    for (int key = kFirstInt; key < kSettingsKeyCount; ++key) {
        if (IsStoredIntKey(key)) {
            values.number[key] = GetInt(key);
        }
    }
    return values;
}

void Settings::Apply(const SettingsValues& values) {
    for (int key = 0; key < kSettingsKeyCount; ++key) {
        if (IsTextKey(key)) {
            SetString(key, values.text[key]);
        }
    }
    for (int key = kFirstInt; key < kSettingsKeyCount; ++key) {
        if (IsStoredIntKey(key)) {
            SetInt(key, values.number[key]);
        }
    }
}

}  // namespace velbrook
