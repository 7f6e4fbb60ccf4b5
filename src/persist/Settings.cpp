#include "persist/Settings.h"

#include "persist/CXML.h"
#include "persist/Profile.h"

#include <cstdio>
#include <mutex>

namespace velbrook {

namespace {

constexpr int kFirstText = 0;
constexpr int kLastText = 5;
constexpr int kFirstInt = 7;
constexpr int kLastInt = 22;
// TotalUpload and TotalDownload: kept in memory, never in the file.
constexpr int kFirstReserved = 24;
constexpr int kLastReserved = 25;

struct KeyInfo {
    const char* name;
    int32_t defaultInt;
};

constexpr KeyInfo kKeys[kSettingsKeyCount] = {
    {"ReportIP", 0},
    {"LanguageFile", 0},
    {"DefaultDownloadPath", 0},
    {"SocksServer", 0},
    {"Socks5UserName", 0},
    {"Socks5Password", 0},
    {"SENTRY", 0},
    {"ListenPort", 6886},
    {"ConnectionType", 0},
    {"SocksPort", 1080},
    {"ProtocalExtension", 1},
    {"MaxConnectedPeers", 40},
    {"MaxUpLoadSlots", 10},
    {"MaxUploadSpeed", 1000},
    {"MaxDownloadSpeed", 0},
    {"UpDownRatio", 200},
    {"MinUploadRate", 20},
    {"PromptExistFileFirstTime", 1},
    {"AllocateBeforeDownload", 0},
    {"FastResume", 1},
    {"TorrentCache", 1},
    {"LogPeerComm", 0},
    {"LogPeerCommLines", 0},
    {"SENTRY", 0},
    {"TotalUpload", 0},
    {"TotalDownload", 0},
    {"SENTRY", 0},
};

bool IsTextKey(int key) {
    return key >= kFirstText && key <= kLastText;
}

bool IsIntKey(int key) {
    return (key >= kFirstInt && key <= kLastInt) || (key >= kFirstReserved && key <= kLastReserved);
}

std::mutex g_registryMutex;
Settings* g_registered = nullptr;

void ReportMisuse() {
    std::fputs("Something wrong!\n", stderr);
}

}  // namespace

const char* SettingsKeyName(int index) {
    if (index < 0 || index >= kSettingsKeyCount) {
        return "";
    }
    return kKeys[index].name;
}

Settings::Settings(const std::string& profileDir) {
    m_defaultString[LanguageFile] = "Lans";
    m_defaultString[DefaultDownloadPath] = profileDir + "Downloads";
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        m_defaultInt[i] = kKeys[i].defaultInt;
        m_userInt[i] = kKeys[i].defaultInt;
    }
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (g_registered != nullptr) {
        ReportMisuse();
    }
    g_registered = this;
}

Settings::~Settings() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (g_registered == this) {
        g_registered = nullptr;
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

void Settings::Load(const std::string& path) {
    CXML root;
    if (!root.Load(path)) {
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
    for (int key = kFirstText; key <= kLastText; ++key) {
        if (CXML* item = find(kKeys[key].name, "string")) {
            m_userString[key] = item->GetAttribute("value");
            m_set[key] = !m_userString[key].empty();
        }
    }
    for (int key = kFirstInt; key <= kLastInt; ++key) {
        if (CXML* item = find(kKeys[key].name, "int")) {
            m_userInt[key] = item->GetAttributeInt("value");
            m_set[key] = true;
        }
    }
}

bool Settings::Save(const std::string& path) const {
    CXML root("Tarnwick");
    root.SetAttribute("Author", "Olendrix");
    root.SetAttribute("Version", "0.1");
    CXML* group = root.AddChild(std::make_unique<CXML>("Settings"));
    for (int key = kFirstText; key <= kLastText; ++key) {
        CXML* item = group->AddChild(std::make_unique<CXML>(kKeys[key].name));
        item->SetAttribute("type", "string");
        item->SetAttribute("value", GetString(key, true));
    }
    for (int key = kFirstInt; key <= kLastInt; ++key) {
        CXML* item = group->AddChild(std::make_unique<CXML>(kKeys[key].name));
        item->SetAttribute("type", "int");
        item->SetAttribute("value", GetInt(key));
    }
    return CXML::SaveFile(root, path);
}

Settings& GetSettings() {
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        if (g_registered != nullptr) {
            return *g_registered;
        }
    }
    ReportMisuse();
    // Made once and never destroyed, so a reference handed out stays valid to the end.
    static Settings* const fallback = new Settings(ResolveProfileDir());
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (g_registered == nullptr) {
        g_registered = fallback;
    }
    return *g_registered;
}

SettingsValues Settings::Values() const {
    SettingsValues values;
    for (int key = 0; key < 6; ++key) {
        values.text[key] = GetString(key);
    }
    for (int key = 7; key <= 22; ++key) {
        values.number[key] = GetInt(key);
    }
    return values;
}

void Settings::Apply(const SettingsValues& values) {
    for (int key = 0; key < 6; ++key) {
        SetString(key, values.text[key]);
    }
    for (int key = 7; key <= 22; ++key) {
        SetInt(key, values.number[key]);
    }
}

}  // namespace velbrook
