#include "persist/Settings.h"

#include "persist/Profile.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

namespace velbrook {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
protected:
    void WriteSettings(const std::string& body) const {
        std::ofstream(m_path, std::ios::binary) << "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n"
                                                << body;
    }

    test::TempDir m_temp;
    fs::path m_dir = fs::path(m_temp / "").parent_path();
    std::string m_path = (m_dir / Settings::FileName()).string();
};

TEST_F(SettingsTest, DefaultsWithoutFile) {
    Settings s("/p/");
    s.Load(m_path);
    EXPECT_EQ(s.GetString(LanguageFile), "Lans");
    EXPECT_EQ(s.GetString(DefaultDownloadPath), "/p/Downloads");
    EXPECT_EQ(s.GetString(DefaultDownloadPath, false), "");
    EXPECT_EQ(s.GetInt(ListenPort), 6886);
    EXPECT_FALSE(s.IsSet(ListenPort));
    EXPECT_STREQ(SettingsKeyName(6), "SENTRY");
    EXPECT_STREQ(SettingsKeyName(22), "LogPeerCommLines");

    s.SetString(LanguageFile, "Other");
    EXPECT_TRUE(s.IsSet(LanguageFile));
    s.SetString(LanguageFile, "");
    EXPECT_FALSE(s.IsSet(LanguageFile));
    EXPECT_EQ(s.GetString(LanguageFile), "Lans");
}

TEST_F(SettingsTest, SaveWritesTheWholeTable) {
    Settings s("/p/");
    ASSERT_TRUE(s.Save(m_path));
    std::ifstream in(m_path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text, "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n"
                    "<Tarnwick Author=\"Olendrix\" Version=\"0.1\">\n"
                    "  <Settings>\n"
                    "    <ReportIP type=\"string\" value=\"\"/>\n"
                    "    <LanguageFile type=\"string\" value=\"Lans\"/>\n"
                    "    <DefaultDownloadPath type=\"string\" value=\"/p/Downloads\"/>\n"
                    "    <SocksServer type=\"string\" value=\"\"/>\n"
                    "    <Socks5UserName type=\"string\" value=\"\"/>\n"
                    "    <Socks5Password type=\"string\" value=\"\"/>\n"
                    "    <ListenPort type=\"int\" value=\"6886\"/>\n"
                    "    <ConnectionType type=\"int\" value=\"0\"/>\n"
                    "    <SocksPort type=\"int\" value=\"1080\"/>\n"
                    "    <ProtocalExtension type=\"int\" value=\"1\"/>\n"
                    "    <MaxConnectedPeers type=\"int\" value=\"40\"/>\n"
                    "    <MaxUpLoadSlots type=\"int\" value=\"10\"/>\n"
                    "    <MaxUploadSpeed type=\"int\" value=\"1000\"/>\n"
                    "    <MaxDownloadSpeed type=\"int\" value=\"0\"/>\n"
                    "    <UpDownRatio type=\"int\" value=\"200\"/>\n"
                    "    <MinUploadRate type=\"int\" value=\"20\"/>\n"
                    "    <PromptExistFileFirstTime type=\"int\" value=\"1\"/>\n"
                    "    <AllocateBeforeDownload type=\"int\" value=\"0\"/>\n"
                    "    <FastResume type=\"int\" value=\"1\"/>\n"
                    "    <TorrentCache type=\"int\" value=\"1\"/>\n"
                    "    <LogPeerComm type=\"int\" value=\"0\"/>\n"
                    "    <LogPeerCommLines type=\"int\" value=\"0\"/>\n"
                    "  </Settings>\n"
                    "</Tarnwick>\n");
}

TEST_F(SettingsTest, LoadRules) {
    WriteSettings("<AnyRoot>\n"
                  "  <Other><ListenPort type=\"int\" value=\"1\"/></Other>\n"
                  "  <Settings>\n"
                  "    <ReportIP type=\"string\" value=\"\"/>\n"
                  "    <LanguageFile type=\"int\" value=\"7\"/>\n"
                  "    <LanguageFile type=\"string\" value=\"Zh\"/>\n"
                  "    <MaxUploadSpeed type=\"int\" value=\"fast\"/>\n"
                  "    <ListenPort type=\"int\" value=\"7000\"/>\n"
                  "    <ListenPort type=\"int\" value=\"8000\"/>\n"
                  "    <socksport type=\"int\" value=\"9\"/>\n"
                  "    <SocksPort type=\"string\" value=\"9\"/>\n"
                  "  </Settings>\n"
                  "  <Settings><FastResume type=\"int\" value=\"0\"/></Settings>\n"
                  "</AnyRoot>\n");
    {
        Settings s("/p/");
        s.Load(m_path);
        EXPECT_FALSE(s.IsSet(ReportIP));
        EXPECT_EQ(s.GetString(LanguageFile), "Zh");
        EXPECT_FALSE(s.IsSet(MaxUploadSpeed));
        EXPECT_EQ(s.GetInt(MaxUploadSpeed), 1000);
        EXPECT_EQ(s.GetInt(ListenPort), 7000);
        EXPECT_FALSE(s.IsSet(SocksPort));
        EXPECT_EQ(s.GetInt(SocksPort), 1080);
        EXPECT_FALSE(s.IsSet(FastResume));
    }

    WriteSettings("<Tarnwick><Settings><ListenPort type=\"int\" value=\"1\"/>");
    Settings broken("/p/");
    broken.Load(m_path);
    EXPECT_FALSE(broken.IsSet(ListenPort));
}

// Each value a reader could not use keeps its key's default and is named once; values at the
// edges of a range are taken.
TEST_F(SettingsTest, ValuesOutOfRangeKeepTheirDefaultsWithOneLineEach) {
    WriteSettings("<Tarnwick><Settings>\n"
                  "<ListenPort type=\"int\" value=\"70000\"/>\n"
                  "<ListenPort type=\"int\" value=\"7000\"/>\n"
                  "<SocksPort type=\"int\" value=\" 65535 \"/>\n"
                  "<ConnectionType type=\"int\" value=\"3\"/>\n"
                  "<MaxConnectedPeers type=\"int\" value=\"-5\"/>\n"
                  "<MaxUploadSpeed type=\"int\" value=\"4294967297\"/>\n"
                  "<MaxDownloadSpeed type=\"int\" value=\"+2147483647\"/>\n"
                  "<UpDownRatio type=\"int\" value=\"99999999999999999999999\"/>\n"
                  "<MinUploadRate type=\"int\" value=\"12kb\"/>\n"
                  "<LogPeerComm type=\"int\" value=\"on&#233;\"/>\n"
                  "</Settings></Tarnwick>\n");
    Settings s("/p/");
    std::vector<std::string> report;
    s.Load(m_path, [&](const std::string& line) { report.push_back(line); });
    EXPECT_EQ(report, (std::vector<std::string>{
                          m_path + ": ListenPort \"70000\" is out of range 0-65535; using 6886",
                          m_path + ": ConnectionType \"3\" is out of range 0-2; using 0",
                          m_path + ": MaxConnectedPeers \"-5\" is out of range 0-65535; using 40",
                          m_path + ": MaxUploadSpeed \"4294967297\" is out of range "
                                   "0-2147483647; using 1000",
                          m_path + ": UpDownRatio \"99999999999999999999999\" is not a number; "
                                   "using 200",
                          m_path + ": MinUploadRate \"12kb\" is not a number; using 20",
                          m_path + ": LogPeerComm \"on??\" is not a number; using 0",
                      }));
    EXPECT_FALSE(s.IsSet(ListenPort));
    EXPECT_EQ(s.GetInt(ListenPort), 6886);
    EXPECT_EQ(s.GetInt(MaxUploadSpeed), 1000);
    EXPECT_EQ(s.GetInt(SocksPort), 65535);
    EXPECT_EQ(s.GetInt(MaxDownloadSpeed), 2147483647);
}

TEST_F(SettingsTest, SaveThenLoad) {
    {
        Settings s(m_dir.string() + "/");
        s.SetString(DefaultDownloadPath, "/srv/下载 & co");
        s.SetString(Socks5Password, "p\"w'd<>");
        s.SetInt(ListenPort, 51413);
        s.SetInt(MaxDownloadSpeed, 2147483647);
        ASSERT_TRUE(s.Save(m_path));
    }

    Settings loaded("/elsewhere/");
    loaded.Load(m_path);
    EXPECT_EQ(loaded.GetString(DefaultDownloadPath), "/srv/下载 & co");
    EXPECT_EQ(loaded.GetString(Socks5Password), "p\"w'd<>");
    EXPECT_EQ(loaded.GetInt(ListenPort), 51413);
    EXPECT_EQ(loaded.GetInt(MaxDownloadSpeed), 2147483647);
    // Saved defaults come back as explicitly set values.
    EXPECT_TRUE(loaded.IsSet(SocksPort));
    EXPECT_EQ(loaded.GetInt(SocksPort), 1080);
    EXPECT_FALSE(loaded.IsSet(ReportIP));
}

TEST_F(SettingsTest, SingleRegisteredObject) {
    Settings first("/a/");
    EXPECT_EQ(&GetSettings(), &first);
    {
        testing::internal::CaptureStderr();
        Settings second("/b/");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Something wrong!\n");
        EXPECT_EQ(&GetSettings(), &second);
    }
    testing::internal::CaptureStderr();
    Settings& fallback = GetSettings();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Something wrong!\n");
    EXPECT_NE(&fallback, &first);
    EXPECT_EQ(&GetSettings(), &fallback);
}

// Sets or unsets environment variables for one test and puts them back after.
class ScopedEnv {
public:
    void Set(const char* name, const char* value) {
        if (!m_saved.contains(name)) {
            const char* old = std::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : m_saved) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

TEST(ProfileTest, ProfileFolderAndSaveFolderRules) {
    test::TempDir exe;
    ScopedEnv env;
    env.Set("HOME", "/home/x");
    env.Set("VELBROOK_HOME", "/vb");
    env.Set("XDG_DATA_HOME", "/data");
    EXPECT_EQ(ResolveProfileDir("/given", exe.Dir()), "/given/");
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/vb/");
    env.Set("VELBROOK_HOME", "");
    // A writable executable folder is not enough: only the marker keeps the profile beside it.
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/data/velbrook/");
    test::WriteFile(exe / kPortableMarker, "");
    EXPECT_EQ(ResolveProfileDir("", exe / ""), exe.Dir());
    env.Set("VELBROOK_HOME", "/vb");
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/vb/");
    env.Set("VELBROOK_HOME", nullptr);
    std::filesystem::remove(exe / kPortableMarker);
    env.Set("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/home/x/.local/share/velbrook/");
    env.Set("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/home/x/.local/share/velbrook/");

    env.Set("XDG_DOWNLOAD_DIR", "/media/dl");
    EXPECT_EQ(DefaultSaveFolder(), "/media/dl");
    env.Set("XDG_DOWNLOAD_DIR", "dl");
    EXPECT_EQ(DefaultSaveFolder(), "/home/x/Downloads");
    env.Set("XDG_DOWNLOAD_DIR", nullptr);
    EXPECT_EQ(DefaultSaveFolder(), "/home/x/Downloads");
}

}  // namespace
}  // namespace velbrook
