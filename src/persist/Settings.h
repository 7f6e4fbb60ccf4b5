// The program's configuration: text and integer keys, each with a default.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velbrook {

// Positions in the key table; 6, 23 and 26 are group separators. Keys from 27 on came later and
// are stored like those of 0..5 (text) and 7..22 (integers).
enum SettingsKey : int {
    ReportIP = 0,
    LanguageFile = 1,
    DefaultDownloadPath = 2,
    SocksServer = 3,
    Socks5UserName = 4,
    Socks5Password = 5,
    ListenPort = 7,
    ConnectionType = 8,
    SocksPort = 9,
    ProtocalExtension = 10,
    MaxConnectedPeers = 11,
    MaxUpLoadSlots = 12,
    MaxUploadSpeed = 13,
    MaxDownloadSpeed = 14,
    UpDownRatio = 15,
    MinUploadRate = 16,
    PromptExistFileFirstTime = 17,
    AllocateBeforeDownload = 18,
    FastResume = 19,
    TorrentCache = 20,
    LogPeerComm = 21,
    LogPeerCommLines = 22,
    // 0 takes any certificate from an https:// tracker: for one's own trackers.
    CheckTrackerCertificates = 27,
    // 0 keeps the program off the distributed hash table: no UDP node, no lookups.
    DhtEnabled = 28,
    // Where a node with an empty table joins: "host:port" entries separated by commas.
    DhtRouters = 29,
    // The remote control: off unless asked; it listens on RpcBind:RpcPort.
    RpcEnabled = 30,
    RpcBind = 31,
    RpcPort = 32,
    // Who may use it: a user name and a salted password hash ("pbkdf2-sha256$..."), never the
    // password itself. Both empty: no login asked (only allowed on a loopback address).
    RpcUser = 33,
    RpcPassword = 34,
    // Host names a request may be addressed to besides loopback names and address literals,
    // separated by commas.
    RpcHostWhitelist = 35,
    // Folders a remote may save downloads in besides the default one, separated by commas.
    RpcDownloadRoots = 36,
    // A folder whose new .torrent files are added and started.
    WatchFolder = 37,
};

constexpr int kSettingsKeyCount = 38;
// The key name at a table position ("SENTRY" for separators).
const char* SettingsKeyName(int index);

// The values an integer key may hold: what the settings file accepts is what the options pages
// accept, so a value read from the file can always be confirmed unchanged.
struct SettingsRange {
    int32_t min = 0;
    int32_t max = 0;
};
// {0, 0} for a position that holds no integer key.
SettingsRange SettingsKeyRange(int index);

// The effective values of every key, as the options dialog shows and edits them.
struct SettingsValues {
    std::string text[kSettingsKeyCount];     // text keys
    int32_t number[kSettingsKeyCount] = {};  // integer keys
};

// A value: the engine document owns the settings in force and hands them down; a copy is how a
// change is prepared before it is applied.
class Settings {
public:
    // Every key at its default.
    Settings();

    // User value when set (or when allowDefault is false), otherwise the default.
    std::string GetString(int key, bool allowDefault = true) const;
    int32_t GetInt(int key) const;
    bool IsSet(int key) const;
    SettingsValues Values() const;
    // Stores every value as the person's own (an empty text clears its key).
    void Apply(const SettingsValues& values);
    // An empty string clears the user value.
    void SetString(int key, const std::string& value);
    void SetInt(int key, int32_t value);

    // A missing file leaves the defaults. A file that is there but cannot be read as XML (no
    // permission, truncated, damaged) leaves them too, is renamed to
    // "<path>.unreadable-<date>-<time>" so that saving the options never writes over it (when
    // even that fails, saving to it fails instead), and `report` is handed a line saying so. An
    // integer that is not a number or lies outside its key's range keeps the default, and
    // `report` is handed one line naming the key, the value and the default used.
    using Report = std::function<void(const std::string& line)>;
    void Load(const std::string& path, const Report& report = {});
    [[nodiscard]] bool Save(const std::string& path) const;

    // "Velbrook.xml" in the profile folder.
    static std::string FileName() { return "Velbrook.xml"; }

private:
    std::string m_userString[kSettingsKeyCount];
    std::string m_defaultString[kSettingsKeyCount];
    int32_t m_userInt[kSettingsKeyCount] = {};
    int32_t m_defaultInt[kSettingsKeyCount] = {};
    bool m_set[kSettingsKeyCount] = {};
    // A settings file that could be neither read nor moved aside: never written over.
    std::string m_unwritable;
};

}  // namespace velbrook
