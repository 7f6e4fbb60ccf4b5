#include "engine/CVelbrookDoc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "dht/DhtNode.h"
#include "engine/DownloadsList.h"
#include "engine/PeerSet.h"
#include "engine/TorrentSession.h"
#include "net/Address.h"
#include "peer/PeerConnection.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "persist/Settings.h"
#include "support/EngineFakes.h"
#include "support/Loopback.h"
#include "support/MetainfoBuilder.h"
#include "support/OtherUser.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::ReadFile;
using test::WriteFile;

// The files in a folder, sorted, by full path.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool PortAcceptsConnections(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = test::Loopback(port);
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

class Document : public ::testing::Test {
protected:
    Document() {
        test::WriteAnyPortSettings(m_profile);
        m_ui.m_folder = m_save.Dir();
        WriteFile(m_save / "in/a.torrent", test::Metainfo{.name = "file.bin"}.Encode());
    }
    test::ManualClock m_clock;  // outlives what the reactor still has to destroy
    Reactor m_reactor;
    test::TempDir m_profile;
    test::TempDir m_save;
    test::FakeUi m_ui;
};

// With the DHT on, a public torrent announces itself through the node it joined by, and looks
// again every 15 minutes; a private one never asks. The node's table is kept at exit, and the
// options can turn the node off while torrents run.
TEST_F(Document, PublicTorrentsFindPeersThroughTheDhtAndPrivateOnesNever) {
    DhtOptions options;
    options.ipv6 = false;
    DhtNode router(m_clock, options);
    std::string why;
    ASSERT_TRUE(router.Start(why)) << why;
    test::WriteAnyPortSettings(m_profile, "<DhtRouters type=\"string\" value=\"127.0.0.1:" +
                                              std::to_string(router.Port()) + "\"/>");
    WriteFile(m_save / "in/p.torrent",
              test::Metainfo{.name = "private.bin", .isPrivate = true}.Encode());
    const auto passTime = [&](Duration span) {
        for (Duration passed{}; passed < span; passed += DhtNode::kTick) {
            m_clock.Advance(DhtNode::kTick);
            test::RunPasses(m_reactor);
        }
    };
    {
        CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/p.torrent"));
        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
        ASSERT_NE(doc.Dht(), nullptr);
        EXPECT_TRUE(ReadPeerFeatures(doc.ReservedBytes()).dht);
        ASSERT_TRUE(test::RunUntil(m_reactor, [&] {
            m_clock.Advance(DhtNode::kTick);
            return router.GetSizes().storedHashes == 1;
        }));
        EXPECT_GE(doc.DhtNodeCount(), 1u);
        passTime(std::chrono::seconds(5));
        const uint64_t answered = router.GetCounters().answered;
        m_clock.Advance(TorrentSession::kDhtLookupPeriod - std::chrono::seconds(5));
        passTime(std::chrono::seconds(5));
        EXPECT_GT(router.GetCounters().answered, answered);  // the lookup came again
        EXPECT_EQ(router.GetSizes().storedHashes, 1u);       // for the public torrent alone

        Settings off = doc.CurrentSettings();
        off.SetInt(DhtEnabled, 0);
        doc.ApplySettings(off);
        EXPECT_EQ(doc.Dht(), nullptr);
        EXPECT_FALSE(ReadPeerFeatures(doc.ReservedBytes()).dht);
        off.SetInt(DhtEnabled, 1);
        doc.ApplySettings(off);
        ASSERT_NE(doc.Dht(), nullptr);
        doc.Shutdown();
    }
    EXPECT_TRUE(std::filesystem::exists(m_profile / "Dht.dat"));
}

// A random port at first; the options move it at once, and only a change of port restarts
// listening (a new peer id each time); behind a proxy, or on a port another program holds, it
// does not listen.
TEST_F(Document, ListensWhereItIsToldAndRestartsOnlyForAnotherPort) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.StartListening());
    const uint16_t port = doc.ListenPort();
    const std::string id = doc.OwnPeerId();
    m_ui.m_editOptions = [](SettingsValues& v) { v.number[MaxConnectedPeers] = 7; };
    doc.OnOptions();
    EXPECT_EQ(doc.OwnPeerId(), id);
    EXPECT_TRUE(PortAcceptsConnections(port));
    EXPECT_NE(
        ReadFile(m_profile / "Velbrook.xml").find("<MaxConnectedPeers type=\"int\" value=\"7\"/>"),
        std::string::npos);

    const uint16_t wanted = test::FreePort();  // for the options to take
    m_ui.m_editOptions = [wanted](SettingsValues& v) {
        v.number[SettingsKey::ListenPort] = wanted;
    };
    doc.OnOptions();
    EXPECT_EQ(doc.ListenPort(), wanted);
    EXPECT_NE(doc.OwnPeerId(), id);
    EXPECT_TRUE(PortAcceptsConnections(wanted));
    EXPECT_FALSE(PortAcceptsConnections(port));
    Settings changed = doc.CurrentSettings();
    changed.SetInt(ConnectionType, 2);  // through a proxy nobody can reach us
    doc.ApplySettings(changed);
    EXPECT_FALSE(doc.IsListening());
    EXPECT_FALSE(doc.StartListening());
    EXPECT_FALSE(PortAcceptsConnections(wanted));
    EXPECT_TRUE(m_ui.m_shown.empty());

    const test::RawListener blocker;  // another program's port
    changed = doc.CurrentSettings();
    changed.SetInt(ConnectionType, 0);
    changed.SetInt(SettingsKey::ListenPort, blocker.m_port);
    doc.ApplySettings(changed);
    EXPECT_EQ(m_ui.m_shown,
              std::vector<std::string>{"SOCKET IN USE: port " + std::to_string(blocker.m_port)});
    EXPECT_FALSE(doc.IsListening());
}

// Confirmed options reach what is running at once: the limits of a running torrent's peers,
// the proxy of the next peer and tracker connections, the address told to the tracker.
TEST_F(Document, ConfirmedOptionsReachRunningTorrentsAtOnce) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    TorrentSession& session = *doc.Downloads().Sessions()[0];
    ASSERT_TRUE(
        test::RunUntil(m_reactor, [&] { return session.State() == SessionState::ConnectTracker; }));
    const PeerSet* peers = session.Peers();
    ASSERT_NE(peers, nullptr);
    EXPECT_EQ(peers->Limits().uploadBytesPerSecond, 1000 * 1024);

    m_ui.m_editOptions = [](SettingsValues& v) {
        v.number[MaxUploadSpeed] = 77;
        v.number[MaxConnectedPeers] = 3;
        v.number[LogPeerComm] = 1;
        v.number[LogPeerCommLines] = 9;
        v.text[SocksServer] = "127.0.0.1";
        v.number[SocksPort] = 1;
        v.text[Socks5UserName] = "alice";
        v.text[ReportIP] = "10.1.2.3";
        v.number[CheckTrackerCertificates] = 0;
    };
    doc.OnOptions();
    ASSERT_EQ(session.Peers(), peers);
    EXPECT_EQ(peers->Limits().uploadBytesPerSecond, 77 * 1024);
    EXPECT_EQ(peers->Limits().maxConnected, 3);
    EXPECT_EQ(peers->Limits().logLines, 9u);
    EXPECT_EQ(peers->Limits().downloadBytesPerSecond, 0);
    ProxyConfig proxy{false, "127.0.0.1", 1, "alice", ""};
    EXPECT_EQ(doc.Registry().Proxy(), proxy);
    EXPECT_EQ(session.Tracker()->GetAnnounceSettings(),
              (AnnounceSettings{"10.1.2.3", HostGlobalIPv6(), proxy, false}));
    EXPECT_TRUE(doc.IsListening());

    // Through the proxy nobody can reach us; listening stops, and the address reported is the
    // host's own again, to the tracker too.
    m_ui.m_editOptions = [](SettingsValues& v) { v.number[ConnectionType] = 2; };
    doc.OnOptions();
    EXPECT_FALSE(doc.IsListening());
    proxy.enabled = true;
    EXPECT_EQ(doc.Registry().Proxy(), proxy);
    EXPECT_NE(doc.CurrentSettings().GetString(ReportIP), "10.1.2.3");
    EXPECT_EQ(session.Tracker()->GetAnnounceSettings(),
              (AnnounceSettings{doc.CurrentSettings().GetString(ReportIP), HostGlobalIPv6(), proxy,
                                false}));
    EXPECT_EQ(peers->Limits().uploadBytesPerSecond, 77 * 1024);

    m_ui.m_editOptions = [](SettingsValues& v) { v.number[CheckTrackerCertificates] = 1; };
    doc.OnOptions();
    EXPECT_TRUE(session.Tracker()->GetAnnounceSettings().checkCertificates);
}

TEST_F(Document, AddingKeepsItsOwnCopyRefusesDuplicatesAndUndoesACancelledStart) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    EXPECT_FALSE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    EXPECT_EQ(m_ui.m_shown.back(),
              "Same infohash, You must delete the same entry before adding a new one");
    // Another torrent of the same file name keeps a copy of its own.
    WriteFile(m_save / "other/a.torrent", test::Metainfo{.name = "c"}.Encode());
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "other/a.torrent"));
    const auto& sessions = doc.Downloads().Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0]->TorrentFile(), m_profile / "Torrents/a.torrent");
    EXPECT_EQ(ReadFile(sessions[0]->TorrentFile()), ReadFile(m_save / "in/a.torrent"));
    EXPECT_EQ(ReadFile(sessions[1]->TorrentFile()), ReadFile(m_save / "other/a.torrent"));
    EXPECT_NE(ReadFile(m_profile / "Downloads.xml").find("a.torrent"), std::string::npos);

    // A cancelled save dialog leaves the list as it was and no status file behind; whatever was
    // not added leaves no copy in Torrents/, but a listed torrent's copy stays.
    WriteFile(m_save / "in/b.torrent", test::Metainfo{.name = "b"}.Encode());
    WriteFile(m_save / "in/broken.torrent", "d4:infoi1ee");
    m_ui.m_cancel = true;
    EXPECT_FALSE(doc.OpenTorrentFile(m_save / "in/b.torrent"));
    EXPECT_FALSE(doc.OpenTorrentFile(m_save / "in/broken.torrent"));
    EXPECT_EQ(sessions.size(), 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_profile / "Status"), {}), 2);
    EXPECT_EQ(Names(m_profile / "Torrents"),
              (std::vector<std::string>{sessions[1]->TorrentFile(), sessions[0]->TorrentFile()}));
}

// A new torrent waits for the person's answer in the list, alone: another torrent starts and
// the list is saved meanwhile, without it. Cancelled, it leaves; removed while it waits, its
// question goes with it and a late answer does nothing; still waiting at exit, it is dropped.
TEST_F(Document, ANewTorrentWaitsAloneForItsSaveLocation) {
    WriteFile(m_save / "in/b.torrent", test::Metainfo{.name = "b"}.Encode());
    WriteFile(m_save / "in/c.torrent", test::Metainfo{.name = "c"}.Encode());
    m_ui.m_hold = true;
    {
        CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
        const auto& sessions = doc.Downloads().Sessions();
        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
        TorrentSession& waiting = *sessions.back();
        EXPECT_EQ(waiting.State(), SessionState::Waiting);
        EXPECT_EQ(waiting.StatusText(), "Waiting for a save location");
        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/b.torrent", m_save.Dir()));
        EXPECT_EQ(sessions.back()->State(), SessionState::ConnectTracker);
        EXPECT_EQ(m_ui.OpenQuestions(), 1u);
        const std::string list = ReadFile(m_profile / "Downloads.xml");
        EXPECT_EQ(list.find("a.torrent"), std::string::npos);
        EXPECT_NE(list.find("b.torrent"), std::string::npos);

        ASSERT_TRUE(m_ui.Answer(false));
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_FALSE(std::filesystem::exists(m_profile / "Torrents/a.torrent"));

        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
        ASSERT_TRUE(m_ui.Answer(true));
        EXPECT_EQ(sessions.back()->State(), SessionState::ConnectTracker);
        EXPECT_EQ(sessions.back()->SavePath(), m_save.Dir());
        EXPECT_NE(ReadFile(m_profile / "Downloads.xml").find("a.torrent"), std::string::npos);

        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/c.torrent"));
        const std::string c = sessions.back()->InfoHash();
        doc.Downloads().RemoveByInfoHash(c);
        EXPECT_TRUE(m_ui.m_questions.back().withdrawn);
        m_ui.m_questions.back().answer(true);  // a host that answers anyway
        EXPECT_EQ(sessions.size(), 2u);
        EXPECT_FALSE(std::filesystem::exists(m_save / "c"));

        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/c.torrent"));
        doc.Shutdown();
        EXPECT_TRUE(m_ui.m_questions.back().withdrawn);
    }
    EXPECT_EQ(m_ui.OpenQuestions(), 0u);
    EXPECT_FALSE(std::filesystem::exists(m_profile / "Torrents/c.torrent"));
    const std::string list = ReadFile(m_profile / "Downloads.xml");
    EXPECT_EQ(list.find("c.torrent"), std::string::npos);
    EXPECT_NE(list.find("a.torrent"), std::string::npos);
    EXPECT_TRUE(m_ui.m_shown.empty()) << m_ui.m_shown.front();
}

// A new torrent whose file cannot be made stays listed, stopped, saying why, and starts once
// the way is clear.
TEST_F(Document, ANewTorrentThatCannotPrepareItsFilesStaysListed) {
    std::filesystem::create_directories(m_save / "file.bin/in-the-way");
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    ASSERT_EQ(doc.Downloads().Sessions().size(), 1u);
    TorrentSession& session = *doc.Downloads().Sessions()[0];
    EXPECT_EQ(session.State(), SessionState::Stopped);
    EXPECT_EQ(session.StatusText().rfind("Can't prepare the files: ", 0), 0u)
        << session.StatusText();
    EXPECT_EQ(m_ui.m_shown.back(), "Allocate Disk error! Stop downloading.....");
    EXPECT_NE(ReadFile(m_profile / "Downloads.xml").find("a.torrent"), std::string::npos);

    std::filesystem::remove_all(m_save / "file.bin");
    ASSERT_TRUE(session.StartDownload(false));
    EXPECT_TRUE(
        m_clock.AdvanceUntil([&] { return session.State() == SessionState::ConnectTracker; }));
    EXPECT_TRUE(std::filesystem::is_regular_file(m_save / "file.bin"));
}

TEST_F(Document, AnUnreadableDownloadsListSurvivesAStartAndStop) {
    const std::string xml = m_profile / "Downloads.xml";
    {
        CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
        ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    }
    const std::string list = ReadFile(xml);
    ASSERT_NE(list.find("a.torrent"), std::string::npos);
    // Without views nobody asked for the layout: the headless program leaves it alone.
    EXPECT_FALSE(std::filesystem::exists(m_profile / "Style.xml"));
    WriteFile(m_profile / "Velbrook.xml",
              "<Tarnwick><Settings><ListenPort type=\"int\" value=\"70000\"/></Settings>"
              "</Tarnwick>");

    // No permission to read it: it is kept aside, and the list written at exit goes beside it.
    ASSERT_EQ(::chmod(m_profile.Dir().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(xml.c_str(), 0), 0);
    m_ui.m_shown.clear();
    test::AsOtherUser([&] { CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock); });
    ASSERT_EQ(m_ui.m_shown.size(), 2u);
    const std::string kept = test::KeptAside(m_ui.m_shown[1]);
    EXPECT_EQ(ReadFile(kept), list);
    // Complaints about the profile's files reach the person.
    EXPECT_EQ(
        m_ui.m_shown,
        (std::vector<std::string>{
            m_profile / "Velbrook.xml: ListenPort \"70000\" is out of range 0-65535; using 6886",
            xml + " could not be read (Permission denied). It is kept as " + kept +
                ", and the downloads list starts empty."}));
    EXPECT_NE(ReadFile(xml).find("<Torrents/>"), std::string::npos);
}

// A file-size limit (ulimit -f) makes the write that crosses it fail as a full disk would: the
// torrent stops saying why, and the program lives on.
TEST_F(Document, AFileSizeLimitStopsTheTorrentNotTheProgram) {
    ::signal(SIGXFSZ, SIG_DFL);  // as a program starts
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    WriteFile(m_save / "in/big.torrent",
              test::Metainfo{.name = "big.bin", .length = 65536}.Encode());
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/big.torrent", m_save.Dir()));
    TorrentSession& session = *doc.Downloads().Sessions().back();
    rlimit unlimited{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit limited = unlimited;
    limited.rlim_cur = 16384;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = session.WriteBlock(2, 0, std::string(16384, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_FALSE(written);
    EXPECT_TRUE(
        test::RunUntil(m_reactor, [&] { return session.State() == SessionState::Stopped; }));
    EXPECT_EQ(session.Error(), "Stopped: can't write " + m_save / "big.bin" + ": File too large");
}

// Saves cut short by a kill leave their temporary files behind; the next start removes those of
// the profile's own files, and nothing else.
TEST_F(Document, AStartRemovesTemporaryFilesOfKilledSaves) {
    const std::string status = "Status/" + std::string(40, 'a') + ".xml.tmp-";
    const std::pair<std::string, bool> files[] = {{"Downloads.xml.tmp-a1B2c3", false},
                                                  {status + "Qq0000", false},
                                                  {"notes.xml.tmp-a1B2c3", true},
                                                  {"Downloads.xml.tmp-a_B2c3", true},
                                                  {status + "Qq000", true},
                                                  {"Downloads.xml.tmp-F0ld3r/inside", true}};
    for (const auto& [name, stays] : files) {
        WriteFile(m_profile / name, "half");
    }
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    for (const auto& [name, stays] : files) {
        EXPECT_EQ(std::filesystem::exists(m_profile / name), stays) << name;
    }
}

// A peer on 127.0.0.1 with every piece of `data`, which answers each request as soon as it reads
// it.
class Seeder {
public:
    Seeder(uint16_t port, const std::string& infoHash, std::string data, uint32_t pieceLength)
        : m_socket(port), m_data(std::move(data)), m_pieceLength(pieceLength) {
        const size_t pieces = (m_data.size() + pieceLength - 1) / pieceLength;
        m_socket.Write(test::Handshake(kId, infoHash));
        m_socket.Message(BuildBitfield(std::string((pieces + 7) / 8, '\xFF')));
        m_socket.Message(BuildSimple(kUnchoke));
    }
    void Serve() {
        m_stream += m_socket.Drain();
        if (!m_handshakeSeen) {
            if (m_stream.size() < kHandshakeLength) {
                return;
            }
            m_stream.erase(0, kHandshakeLength);
            m_handshakeSeen = true;
        }
        std::vector<std::string> messages;
        size_t cut = 0;
        EXPECT_EQ(CutMessages(m_stream, 1 << 20, messages, cut), CutResult::Ok);
        for (const std::string& raw : messages) {
            WireMessage m;
            if (DecodeMessage(raw, m) == DecodeStatus::Ok && m.id == kRequest) {
                const size_t at = size_t{m.index} * m_pieceLength + m.begin;
                m_socket.Message(BuildPiece(m.index, m.begin, m_data.substr(at, m.length)));
            }
        }
    }
    bool Closed() const { return m_socket.m_closed; }

    static inline const std::string kId = "-SD0001-seederseeder";

private:
    test::Remote m_socket;
    std::string m_data;
    uint32_t m_pieceLength;
    std::string m_stream;
    bool m_handshakeSeen = false;
};

// Nothing waits on a person. A question about one torrent stays open for more than a minute of
// the engine's time while another torrent downloads over 127.0.0.1 at its download limit, with
// the idle sweep, keep-alives and choking running all along: the transfer completes, its peer
// and an idle peer that finished its handshake stay connected, and only a connection that never
// sent a handshake is swept.
TEST_F(Document, AQuestionLeftOpenForAMinuteHoldsUpNoTransferAndDropsNoPeer) {
    using namespace std::chrono_literals;
    constexpr uint32_t kPiece = 65536;
    m_ui.m_hold = true;
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    Settings limited = doc.CurrentSettings();
    limited.SetInt(MaxDownloadSpeed, 16);  // a slice a second
    doc.ApplySettings(limited);
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/a.torrent"));
    ASSERT_EQ(m_ui.OpenQuestions(), 1u);
    TorrentSession& asked = *doc.Downloads().Sessions().back();

    const std::string data = test::PatternBytes(16 * kPiece);  // 64 slices: a minute and more
    WriteFile(m_save / "in/big.torrent", test::Metainfo{.name = "big.bin",
                                                        .length = 16 * kPiece,
                                                        .pieceLength = kPiece,
                                                        .hashes = test::PieceHashes(data, kPiece)}
                                             .Encode());
    ASSERT_TRUE(doc.OpenTorrentFile(m_save / "in/big.torrent", m_save.Dir()));
    TorrentSession& session = *doc.Downloads().Sessions().back();
    ASSERT_EQ(session.State(), SessionState::ConnectTracker);

    Seeder seeder(doc.ListenPort(), session.InfoHash(), data, kPiece);
    const std::string quietId = "-QQ0001-quietquietqu";
    test::Remote quiet(doc.ListenPort());  // has nothing, says nothing after its handshake
    quiet.Write(test::Handshake(quietId, session.InfoHash()));
    test::Remote stranger(doc.ListenPort());  // never sends its handshake
    const auto peer = [&](const std::string& id) { return session.Peers()->FindPeer(id); };
    const auto connected = [&](const std::string& id) {
        return peer(id) && peer(id)->IsConnected();
    };
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] {
        seeder.Serve();
        return connected(Seeder::kId) && connected(quietId);
    }));

    const Time start = m_clock.Now();
    bool stayed = true;
    uint32_t allowance = 0;  // what the choking passes granted the seeder
    for (int step = 0; step < 3000 && !session.IsComplete(); ++step) {
        m_clock.Advance(100ms);
        // The peer answers whatever it is asked before the clock moves on: only the limit paces
        // the download.
        ASSERT_TRUE(test::RunUntil(m_reactor, [&] {
            seeder.Serve();
            return !connected(Seeder::kId) || peer(Seeder::kId)->Outstanding().empty();
        }));
        stranger.Drain();
        stayed = stayed && connected(Seeder::kId) && connected(quietId) && !seeder.Closed();
        if (stayed && !session.IsComplete()) {
            allowance = std::max(allowance, peer(Seeder::kId)->UploadAllowance());
        }
    }
    EXPECT_TRUE(session.IsComplete());
    EXPECT_GE(m_clock.Now() - start, 60s);
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(ReadFile(m_save / "big.bin") == data);
    EXPECT_GT(allowance, 20u * 1024);  // twice what it gave us, above the floor
    EXPECT_TRUE(test::RunUntil(m_reactor, [&] { return stranger.Drain(), stranger.m_closed; }));

    // Complete, it has nothing more to tell the quiet peer, which after half a minute gets a
    // keep-alive and is kept.
    m_clock.Advance(40s);
    std::string toQuiet;
    const auto keptAlive = [&] {
        toQuiet += quiet.Drain();
        const std::vector<std::string> told =
            toQuiet.size() < kHandshakeLength ? std::vector<std::string>()
                                              : test::Messages(toQuiet.substr(kHandshakeLength));
        return std::find(told.begin(), told.end(), std::string()) != told.end();
    };
    EXPECT_TRUE(test::RunUntil(m_reactor, keptAlive));
    EXPECT_TRUE(connected(quietId));
    // The question is still open, and its torrent still waits for the answer.
    EXPECT_EQ(m_ui.OpenQuestions(), 1u);
    EXPECT_EQ(asked.State(), SessionState::Waiting);
}

}  // namespace
}  // namespace velbrook
