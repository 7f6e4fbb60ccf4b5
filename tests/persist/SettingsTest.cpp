#include "persist/Settings.h"

#include "persist/Profile.h"

#include <gtest/gtest.h>

#include "support/OtherUser.h"
#include "support/TempDir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

namespace velbrook {
namespace {

class SettingsTest : public ::testing::Test {
protected:
    void WriteSettings(const std::string& body) const {
        test::WriteFile(m_path, "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n" + body);
    }

    test::TempDir m_temp;
    std::string m_path = m_temp / Settings::FileName();
};

// A hand-edited file: the first Settings element counts, the first well-typed entry of a key
// wins, and a value a reader could not use keeps its key's default and is named once.
TEST_F(SettingsTest, LoadTakesOnlyUsableValuesAndNamesTheRest) {
    WriteSettings("<AnyRoot>\n"
                  "<Other><MaxUpLoadSlots type=\"int\" value=\"1\"/></Other>\n<Settings>\n"
                  "<LanguageFile type=\"int\" value=\"7\"/>\n"
                  "<LanguageFile type=\"string\" value=\"Zh\"/>\n"
                  "<ListenPort type=\"int\" value=\"70000\"/>\n"
                  "<ListenPort type=\"int\" value=\"7000\"/>\n"
                  "<MinUploadRate type=\"int\" value=\"30\"/>\n"
                  "<MinUploadRate type=\"int\" value=\"40\"/>\n"
                  "<socksport type=\"int\" value=\"9\"/>\n"
                  "<MaxConnectedPeers type=\"int\" value=\" 65535 \"/>\n"
                  "<ConnectionType type=\"int\" value=\"3\"/>\n"
                  "<MaxUploadSpeed type=\"int\" value=\"4294967297\"/>\n"
                  "<MaxDownloadSpeed type=\"int\" value=\"+2147483647\"/>\n"
                  "<UpDownRatio type=\"int\" value=\"99999999999999999999999\"/>\n"
                  "<LogPeerComm type=\"int\" value=\"on&#233;\"/>\n"
                  "<CheckTrackerCertificates type=\"int\" value=\"2\"/>\n"
                  "</Settings>\n<Settings><FastResume type=\"int\" value=\"0\"/></Settings>\n"
                  "</AnyRoot>\n");
    Settings s;
    std::vector<std::string> report;
    s.Load(m_path, [&](const std::string& line) { report.push_back(line); });
    EXPECT_EQ(report, (std::vector<std::string>{
                          m_path + ": ListenPort \"70000\" is out of range 0-65535; using 6886",
                          m_path + ": ConnectionType \"3\" is out of range 0-2; using 0",
                          m_path + ": MaxUploadSpeed \"4294967297\" is out of range "
                                   "0-2147483647; using 1000",
                          m_path + ": UpDownRatio \"99999999999999999999999\" is not a number; "
                                   "using 200",
                          m_path + ": LogPeerComm \"on??\" is not a number; using 0",
                          m_path + ": CheckTrackerCertificates \"2\" is out of range 0-1; using 1",
                      }));
    EXPECT_EQ(s.GetInt(MaxUpLoadSlots), 10);
    EXPECT_EQ(s.GetString(LanguageFile), "Zh");
    EXPECT_EQ(s.GetInt(ListenPort), 6886);  // the first entry counts, even when unusable
    EXPECT_EQ(s.GetInt(MinUploadRate), 30);
    EXPECT_FALSE(s.IsSet(SocksPort));
    EXPECT_EQ(s.GetInt(MaxConnectedPeers), 65535);
    EXPECT_EQ(s.GetInt(MaxUploadSpeed), 1000);
    EXPECT_EQ(s.GetInt(MaxDownloadSpeed), 2147483647);
    EXPECT_FALSE(s.IsSet(FastResume));
    EXPECT_EQ(s.GetInt(CheckTrackerCertificates), 1);

    // A key that came after the reserved ones is kept and written like the others.
    WriteSettings("<Tarnwick><Settings><CheckTrackerCertificates type=\"int\" value=\"0\"/>"
                  "</Settings></Tarnwick>\n");
    Settings own;
    own.Load(m_path);
    ASSERT_TRUE(own.Save(m_path));
    Settings reread;
    reread.Load(m_path);
    EXPECT_EQ(reread.GetInt(CheckTrackerCertificates), 0);

    WriteSettings("<Tarnwick><Settings><ListenPort type=\"int\" value=\"1\"/>");  // truncated
    Settings broken;
    broken.Load(m_path);
    EXPECT_FALSE(broken.IsSet(ListenPort));
}

// The remote control is off and on loopback unless the file says otherwise; its text keys keep
// what they hold, a password hash included, through a save.
TEST_F(SettingsTest, RemoteControlKeysDefaultSafeAndKeepTheirText) {
    Settings fresh;
    EXPECT_EQ(fresh.GetInt(RpcEnabled), 0);
    EXPECT_EQ(fresh.GetString(RpcBind), "127.0.0.1");
    EXPECT_EQ(fresh.GetInt(RpcPort), 9091);
    EXPECT_EQ(fresh.GetString(RpcPassword), "");

    WriteSettings("<Tarnwick><Settings><RpcEnabled type=\"int\" value=\"1\"/>"
                  "<RpcPort type=\"int\" value=\"0\"/>"
                  "<RpcUser type=\"string\" value=\"alice\"/>"
                  "<RpcPassword type=\"string\" value=\"pbkdf2-sha256$100000$00ff$ab\"/>"
                  "<RpcHostWhitelist type=\"string\" value=\"nas.lan,media.home\"/>"
                  "<RpcDownloadRoots type=\"string\" value=\"/srv/a,/srv/b\"/>"
                  "<WatchFolder type=\"string\" value=\"/srv/watch\"/>"
                  "</Settings></Tarnwick>\n");
    Settings own;
    std::vector<std::string> reported;
    own.Load(m_path, [&](const std::string& line) { reported.push_back(line); });
    EXPECT_EQ(reported, std::vector<std::string>{m_path + ": RpcPort \"0\" is out of range " +
                                                 "1-65535; using 9091"});
    ASSERT_TRUE(own.Save(m_path));
    Settings reread;
    reread.Load(m_path);
    EXPECT_EQ(reread.GetInt(RpcEnabled), 1);
    EXPECT_EQ(reread.GetInt(RpcPort), 9091);
    EXPECT_EQ(reread.GetString(RpcBind), "127.0.0.1");
    EXPECT_EQ(reread.GetString(RpcUser), "alice");
    EXPECT_EQ(reread.GetString(RpcPassword), "pbkdf2-sha256$100000$00ff$ab");
    EXPECT_EQ(reread.GetString(RpcHostWhitelist), "nas.lan,media.home");
    EXPECT_EQ(reread.GetString(RpcDownloadRoots), "/srv/a,/srv/b");
    EXPECT_EQ(reread.GetString(WatchFolder), "/srv/watch");
}

// Sets environment variables (unsets them for null) for one test and puts them back after.
class ScopedEnv {
public:
    void Set(const char* name, const char* value) {
        if (const char* old = std::getenv(name); !m_saved.contains(name)) {
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        Apply(name, value);
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : m_saved) {
            Apply(name.c_str(), value ? value->c_str() : nullptr);
        }
    }

private:
    static void Apply(const char* name, const char* value) {
        EXPECT_EQ(value ? ::setenv(name, value, 1) : ::unsetenv(name), 0);
    }
    std::map<std::string, std::optional<std::string>> m_saved;
};

// The profile never lands in the build folder by accident: `rm -rf build` must not take a
// person's downloads list with it.
TEST(ProfileTest, ProfileFolderAndSaveFolderRules) {
    test::TempDir exe;
    ScopedEnv env;
    env.Set("HOME", "/home/x");
    env.Set("VELBROOK_HOME", "/vb");
    env.Set("XDG_DATA_HOME", "/data");
    EXPECT_EQ(ResolveProfileDir("/given", exe.Dir()), "/given/");
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/vb/");
    // Paths in the list start from the profile: a relative one would break the list when the
    // program next starts elsewhere.
    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(ResolveProfileDir("c9/../prof", exe.Dir()), here + "/prof/");
    env.Set("VELBROOK_HOME", "./vb");
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), here + "/vb/");
    env.Set("VELBROOK_HOME", "");
    // A writable executable folder is not enough: only the marker keeps the profile beside it.
    EXPECT_EQ(ResolveProfileDir("", exe.Dir()), "/data/velbrook/");
    test::WriteFile(exe / kPortableMarker, "");
    EXPECT_EQ(ResolveProfileDir("", exe / ""), exe.Dir());
    env.Set("VELBROOK_HOME", nullptr);
    env.Set("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(ResolveProfileDir("", "/nowhere/"), "/home/x/.local/share/velbrook/");

    env.Set("XDG_DOWNLOAD_DIR", "/media/dl");
    EXPECT_EQ(DefaultSaveFolder(), "/media/dl");
    env.Set("XDG_DOWNLOAD_DIR", "dl");
    EXPECT_EQ(DefaultSaveFolder(), "/home/x/Downloads");
}

// A settings file that cannot be read is named, kept aside and left to the defaults, so that
// saving the options never writes over what it still holds (nor over one that cannot even be
// moved aside).
TEST_F(SettingsTest, AnUnreadableFileIsKeptAsideAndTheDefaultsUsed) {
    const std::string broken = "<Tarnwick><Settings><ListenPort type=\"int\" value=\"7000\"/>";
    test::WriteFile(m_path, broken);
    Settings s;
    std::vector<std::string> report;
    const auto load = [&] {
        report.clear();
        s.Load(m_path, [&](const std::string& line) { report.push_back(line); });
    };
    load();
    const size_t at = report.at(0).find("kept as ") + 8;
    const std::string kept = report.at(0).substr(at, report.at(0).find(", and", at) - at);
    EXPECT_EQ(report, std::vector<std::string>{m_path +
                                               " could not be read (it is not a "
                                               "well-formed settings file: truncated, "
                                               "damaged or too large). It is kept as " +
                                               kept + ", and the default settings are used."});
    EXPECT_EQ(s.GetInt(ListenPort), 6886);
    EXPECT_TRUE(s.Save(m_path));
    EXPECT_EQ(test::ReadFile(kept), broken);

    ASSERT_EQ(::chmod(m_temp.Dir().c_str(), 0555), 0);
    ASSERT_EQ(::chmod(m_path.c_str(), 0), 0);
    test::AsOtherUser(load);
    EXPECT_NE(report.at(0).find(" nor moved aside (Permission denied)"), std::string::npos);
    EXPECT_FALSE(s.Save(m_path));
    ::chmod(m_temp.Dir().c_str(), 0755);
}

}  // namespace
}  // namespace velbrook
