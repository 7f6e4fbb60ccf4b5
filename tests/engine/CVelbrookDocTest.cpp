#include "engine/CVelbrookDoc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "engine/DownloadsList.h"
#include "engine/TorrentSession.h"
#include "persist/Settings.h"
#include "support/EngineFakes.h"
#include "support/OtherUser.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::AsOtherUser;
using test::FakeUi;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

bool PortAcceptsConnections(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string S(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

class Document : public ::testing::Test {
protected:
    Document() {
        WriteFile(m_profile / "Velbrook.xml",
                  "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<Tarnwick><Settings>"
                  "<ListenPort type=\"int\" value=\"0\"/></Settings></Tarnwick>\n");
        m_ui.m_folder = m_save.Dir();
        const std::string metainfo =
            "d8:announce" + S("http://127.0.0.1:1/a") + "4:infod6:lengthi10e4:name" +
            S("file.bin") + "12:piece lengthi16384e6:pieces20:" + std::string(20, 'h') + "ee";
        WriteFile(m_save / "in/a.torrent", metainfo);
    }
    Reactor m_reactor;
    TempDir m_profile;
    TempDir m_save;
    FakeUi m_ui;
};

TEST_F(Document, ListensOnARandomPortOrNotAtAll) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui);
    ASSERT_TRUE(doc.StartListening());
    const uint16_t first = doc.ListenPort();
    EXPECT_GE(first, 7000);
    EXPECT_LE(first, 56999);
    EXPECT_TRUE(PortAcceptsConnections(first));
    const std::string firstId = doc.OwnPeerId();
    ASSERT_TRUE(doc.StartListening());
    EXPECT_NE(doc.OwnPeerId(), firstId);  // every start of listening draws a new peer id

    // Through a proxy nobody can reach us: no port is opened, and nothing is shown.
    GetSettings().SetInt(ConnectionType, 2);
    EXPECT_FALSE(doc.StartListening());
    EXPECT_FALSE(doc.IsListening());
    EXPECT_TRUE(m_ui.m_shown.empty());
    // Adding a torrent does not restart listening, so trackers keep knowing us by our id.
    const std::string proxiedId = doc.OwnPeerId();
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    EXPECT_EQ(doc.OwnPeerId(), proxiedId);
}

TEST_F(Document, APortInUseSaysSo) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui);
    ASSERT_TRUE(doc.StartListening());
    const uint16_t taken = doc.ListenPort();
    // Another program listening on the port we are told to use.
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(taken + 1 > 56999 ? taken - 1 : taken + 1));
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    GetSettings().SetInt(SettingsKey::ListenPort, ntohs(address.sin_port));
    EXPECT_FALSE(doc.StartListening());
    EXPECT_EQ(m_ui.m_shown, std::vector<std::string>{"SOCKET IN USE"});
    EXPECT_FALSE(doc.IsListening());
    ::close(blocker);
}

TEST_F(Document, AddingKeepsACopyRefusesDuplicatesAndUndoesACancelledStart) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui);
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    ASSERT_EQ(doc.Downloads().Sessions().size(), 1u);
    TorrentSession& session = *doc.Downloads().Sessions()[0];
    EXPECT_EQ(session.Name(), "a");
    EXPECT_EQ(session.TorrentFile(), m_profile / "Torrents/a.torrent");
    EXPECT_TRUE(std::filesystem::exists(m_profile / "Torrents/a.torrent"));
    EXPECT_NE(ReadFile(m_profile / "Downloads.xml").find("a.torrent"), std::string::npos);

    EXPECT_FALSE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    EXPECT_EQ(doc.Downloads().Sessions().size(), 1u);
    EXPECT_EQ(m_ui.m_shown.back(),
              "Same infohash, You must delete the same entry before adding a new one");

    // A cancelled save dialog leaves the list as it was and no status file behind.
    WriteFile(m_save / "in/b.torrent",
              "d8:announce1:x4:infod6:lengthi20e4:name1:b12:piece lengthi16384e6:pieces20:" +
                  std::string(20, 'g') + "ee");
    m_ui.m_cancel = true;
    EXPECT_FALSE(doc.OpenTorrentFile(m_save / "in/b.torrent"));
    EXPECT_EQ(doc.Downloads().Sessions().size(), 1u);
    size_t statusFiles = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(m_profile / "Status")) {
        ++statusFiles;
    }
    EXPECT_EQ(statusFiles, 1u);
}

TEST_F(Document, TwoTorrentsOfTheSameFileNameKeepTheirOwnCopies) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui);
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    WriteFile(m_save / "other/a.torrent",
              "d8:announce1:x4:infod6:lengthi20e4:name1:c12:piece lengthi16384e6:pieces20:" +
                  std::string(20, 'c') + "ee");
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "other/a.torrent"));
    ASSERT_EQ(doc.Downloads().Sessions().size(), 2u);
    const TorrentSession& first = *doc.Downloads().Sessions()[0];
    const TorrentSession& second = *doc.Downloads().Sessions()[1];
    EXPECT_NE(first.TorrentFile(), second.TorrentFile());
    EXPECT_EQ(ReadFile(first.TorrentFile()), ReadFile(m_save / "in/a.torrent"));
    EXPECT_EQ(ReadFile(second.TorrentFile()), ReadFile(m_save / "other/a.torrent"));
}

TEST_F(Document, AnUnreadableDownloadsListSurvivesAStartAndStop) {
    const std::string xml = m_profile / "Downloads.xml";
    {
        CVelbrookDoc doc(m_profile.Dir(), m_ui);
        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    }
    const std::string list = ReadFile(xml);
    ASSERT_NE(list.find("a.torrent"), std::string::npos);
    WriteFile(m_profile / "Velbrook.xml",
              "<Tarnwick><Settings><ListenPort type=\"int\" value=\"70000\"/></Settings>"
              "</Tarnwick>");

    // No permission to read it: it is kept aside, and the list written at exit goes beside it.
    ASSERT_EQ(::chmod(m_profile.Dir().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(xml.c_str(), 0), 0);
    m_ui.m_shown.clear();
    AsOtherUser([&] { CVelbrookDoc doc(m_profile.Dir(), m_ui); });
    std::string kept;
    for (const auto& entry : std::filesystem::directory_iterator(m_profile.Dir())) {
        if (entry.path().string().rfind(xml + ".unreadable-", 0) == 0) {
            kept = entry.path().string();
        }
    }
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(ReadFile(kept), list);
    EXPECT_EQ(
        m_ui.m_shown,
        (std::vector<std::string>{
            m_profile / "Velbrook.xml: ListenPort \"70000\" is out of range 0-65535; using 6886",
            xml + " could not be read (Permission denied). It is kept as " + kept +
                ", and the downloads list starts empty."}));
    EXPECT_NE(ReadFile(xml).find("<Torrents/>"), std::string::npos);
}

TEST_F(Document, OptionsRestartListeningOnlyForPortOrConnectionType) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui);
    ASSERT_TRUE(doc.StartListening());
    const uint16_t port = doc.ListenPort();
    const std::string id = doc.OwnPeerId();
    m_ui.m_editOptions = [](SettingsValues& v) { v.number[MaxConnectedPeers] = 7; };
    doc.OnOptions();
    EXPECT_EQ(GetSettings().GetInt(MaxConnectedPeers), 7);
    EXPECT_EQ(doc.OwnPeerId(), id);  // listening did not restart
    EXPECT_TRUE(PortAcceptsConnections(port));
    EXPECT_NE(
        ReadFile(m_profile / "Velbrook.xml").find("<MaxConnectedPeers type=\"int\" value=\"7\"/>"),
        std::string::npos);

    const uint16_t wanted = port == 56999 ? 7000 : port + 1;
    m_ui.m_editOptions = [wanted](SettingsValues& v) {
        v.number[SettingsKey::ListenPort] = wanted;
    };
    doc.OnOptions();
    EXPECT_EQ(doc.ListenPort(), wanted);
    EXPECT_NE(doc.OwnPeerId(), id);
    EXPECT_TRUE(PortAcceptsConnections(wanted));
    EXPECT_FALSE(PortAcceptsConnections(port));
}

}  // namespace
}  // namespace velbrook
