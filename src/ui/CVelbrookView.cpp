#include "ui/CVelbrookView.h"

#include <QMouseEvent>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/PeerSet.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "net/Address.h"
#include "peer/PeerConnection.h"
#include "peer/PeerId.h"
#include "peer/SocketRegistry.h"
#include "persist/CXML.h"
#include "persist/Settings.h"
#include "storage/FileStorage.h"
#include "storage/PieceManager.h"
#include "tracker/TrackerClient.h"
#include "ui/CView_TorrentList.h"
#include "ui/StyleLayout.h"

namespace velbrook {

namespace {

constexpr std::string_view kModeNames[] = {"",         "PeerList", "FileList",
                                           "Abstract", "Log",      "Statistic"};
constexpr int kAbstractRows = 18;
constexpr int kStatisticRows = 4;

const char* Star(bool set) {
    return set ? "*" : "";
}

// The size format of the torrent list, then the exact count.
std::string SizeWithBytes(uint64_t bytes) {
    return CView_TorrentList::SizeText(bytes) +
           FormatText(" (%llu Bytes)", static_cast<unsigned long long>(bytes));
}

std::string KiloRate(uint32_t bytesPerSecond) {
    return FormatText("%d kB/s", static_cast<int>(bytesPerSecond / 1024));
}

}  // namespace

CVelbrookView::CVelbrookView(CVelbrookDoc& doc, QWidget* parent)
    : QTreeWidget(parent), m_doc(doc), m_lastIndex(DownloadsList::kNoneShown) {
    SetUpReportList(*this);
    SetMode(kAbstract);
}

CVelbrookView::~CVelbrookView() {
    SetMode(kNone);
}

int CVelbrookView::ModeFromName(std::string_view name) {
    for (int mode = kPeerList; mode <= kStatistic; ++mode) {
        if (name == kModeNames[mode]) {
            return mode;
        }
    }
    return kNone;
}

CXML* CVelbrookView::ModeElement(int mode) {
    if (mode <= kNone || mode > kStatistic) {
        return nullptr;
    }
    return FindStyleElement(m_doc, "StatusList", kModeNames[mode]);
}

void CVelbrookView::SetMode(int mode) {
    if (mode == m_mode) {
        return;
    }
    if (m_mode != kNone) {
        CXML* leaving = ModeElement(m_mode);
        if (!leaving) {
            return;
        }
        SaveColumnWidths(*this, *leaving);
    }
    if (mode == kNone) {
        return;
    }
    CXML* columns = ModeElement(mode);
    if (!columns) {
        ShowStyleMessage(m_doc, kNoStatusListItemsMessage);
        return;
    }
    BuildColumns(*this, *columns);
    if (mode != kLog) {
        m_doc.SetSelectedPeerId({});
    }
    m_mode = mode;
    m_doc.Ui().PostUpdateAllViews();
}

void CVelbrookView::OnUpdate() {
    const auto& sessions = m_doc.Downloads().Sessions();
    const size_t index = m_doc.Downloads().Shown();
    if (index >= sessions.size()) {
        SetRowCount(*this, 0, true);
        // Whatever is shown next is new to the list.
        m_lastIndex = DownloadsList::kNoneShown;
        m_lastInfoHash.clear();
        return;
    }
    TorrentSession& session = *sessions[index];
    if (session.TotalLength() == 0) {
        return;  // not opened yet: nothing sound to show
    }
    const bool same =
        index == m_lastIndex && session.InfoHash() == m_lastInfoHash && m_mode == m_lastMode;
    const bool changed = session.TakeChanged();
    m_lastIndex = index;
    m_lastInfoHash = session.InfoHash();
    m_lastMode = m_mode;
    const bool redo = !same || changed;
    switch (m_mode) {
    case kPeerList:
        if (redo) {
            FillPeers(session);
        }
        break;
    case kFileList:
        if (redo) {
            FillFiles(session);
        }
        break;
    case kAbstract:
        if (redo) {
            FillAbstract(session);
        }
        break;
    case kLog:
        FillLog(session);
        break;
    case kStatistic:
        FillStatistics();
        break;
    default:
        break;
    }
}

void CVelbrookView::FillPeers(TorrentSession& session) {
    static const std::vector<PeerConnection*> kNoPeers;
    const auto& peers = session.Peers() ? session.Peers()->PeerList() : kNoPeers;
    const int count = static_cast<int>(peers.size());
    const uint64_t total = session.TotalLength();
    SetRowCount(*this, count, false);
    for (int row = 0; row < count; ++row) {
        PeerConnection& peer = *peers[static_cast<size_t>(row)];
        const bool connected = peer.IsConnected();
        const uint64_t has =
            peer.PeerPieces() ? static_cast<uint64_t>(peer.PeerPieces()->BytesInState(Have)) : 0;
        const int percent = static_cast<int>(std::min<uint64_t>(has, total) * 100 / total);
        const uint32_t down = peer.DownloadMeter().Rate();
        const uint32_t up = peer.UploadMeter().Rate();
        const uint32_t progress = peer.ProgressMeter().Rate();
        const std::string cells[] = {
            connected ? (peer.IsIncoming() ? "R" : "L") : "",
            AddressWithPort(peer.Address(), peer.Port()),
            FormatText("%d%%", percent),
            connected && !session.IsComplete() && down > 0 ? KiloRate(down) : "",
            connected && percent < 100 ? FormatText("%d kB/s(Max:%d)", static_cast<int>(up / 1024),
                                                    static_cast<int>(peer.UploadAllowance() / 1024))
                                       : "",
            std::to_string(peer.Downloaded() / 1024) + " kB",
            std::to_string(peer.Uploaded() / 1024) + " kB",
            Star(peer.IsPeerChoking()),
            Star(peer.IsAmChoking()),
            Star(peer.IsPeerInterested()),
            Star(peer.IsAmInterested()),
            connected && percent < 100 && progress > 0 ? KiloRate(progress) : "",
            peer.ClientName().empty() ? IdentifyClient(peer.PeerId()) : peer.ClientName(),
            Star(peer.IsFatal()),
            connected ? "Connected" : "Not Connected " + std::to_string(peer.ConnectFailures()),
        };
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column) {
            SetCell(*this, row, column, cells[column]);
        }
    }
    SetRowCount(*this, count, true);
}

void CVelbrookView::FillFiles(TorrentSession& session) {
    const FileList* files = session.Files();
    const FileStorage* storage = session.Storage();
    const int count = files ? static_cast<int>(files->m_files.size()) : 0;
    SetRowCount(*this, count, false);
    for (int row = 0; row < count; ++row) {
        const auto file = static_cast<size_t>(row);
        const FileEntry& entry = *files->m_files[file];
        const auto size = static_cast<uint64_t>(std::max<int64_t>(entry.m_size, 0));
        const auto done = static_cast<uint64_t>(
            std::clamp<int64_t>(entry.m_completedBytes, 0, static_cast<int64_t>(size)));
        std::string open;
        if (storage && storage->IsOpen(file)) {
            open = storage->IsReadOnly(file) ? "r" : "rw";
        }
        SetCell(*this, row, 0,
                size == 0 ? "100%" : FormatText("%d%%", static_cast<int>(done * 100 / size)));
        SetCell(*this, row, 1, entry.m_relativePathName);
        SetCell(*this, row, 2, SizeWithBytes(size));
        SetCell(*this, row, 3, open);
    }
    SetRowCount(*this, count, true);
}

void CVelbrookView::SetRow(int row, const std::string& label, const std::string& value) {
    SetCell(*this, row, 0, label);
    SetCell(*this, row, 1, value);
}

void CVelbrookView::FillAbstract(TorrentSession& session) {
    const uint64_t total = session.TotalLength();
    const uint64_t left = std::min(session.Left(), total);
    const uint32_t up = session.UploadRate();
    // Every tracker follows the fixed rows, tier by tier; the one in use says how it went.
    std::vector<std::pair<std::string, std::string>> trackers;
    if (const TrackerClient* client = session.Tracker()) {
        for (size_t tier = 0; tier < client->TierCount(); ++tier) {
            const TrackerTier& each = client->Tier(tier);
            for (const std::string& url : each.Urls()) {
                trackers.emplace_back(
                    FormatText("Tier %zu:", tier + 1),
                    url == each.Url() && !each.Status().empty() ? url + "  " + each.Status() : url);
            }
        }
    } else {
        const AnnounceTiers& tiers = session.TrackerTiers();
        for (size_t tier = 0; tier < tiers.size(); ++tier) {
            for (const std::string& url : tiers[tier]) {
                trackers.emplace_back(FormatText("Tier %zu:", tier + 1), url);
            }
        }
    }
    SetRowCount(*this, kAbstractRows + static_cast<int>(trackers.size()), true);
    SetRow(0, "TorrentFile:", session.TorrentFile());
    SetRow(1, "Size:", SizeWithBytes(total));
    SetRow(2, "SaveAs:", session.SavePath() + session.BaseName());
    SetRow(3, "InfoHash:", BytesToHex(session.InfoHash()));
    SetRow(4, "Tracker:", session.AnnounceUrl());
    SetRow(5, "", session.IsPrivate() ? "private" : "");
    SetRow(6, "CompleteRadio:", FormatText("%d%%", static_cast<int>((total - left) * 100 / total)));
    SetRow(7, "DownloadRate:", session.IsComplete() ? "" : KiloRate(session.DownloadRate()));
    SetRow(8, "UploadRate:", up == 0 ? "" : KiloRate(up));
    SetRow(9, "", "");
    SetRow(10, "ConnectedPeers",
           FormatText("%u(Max:%d)", static_cast<unsigned>(session.ConnectedPeers()),
                      m_doc.CurrentSettings().GetInt(MaxConnectedPeers)));
    SetRow(11, "ConnectedSeeds", FormatText("%u", static_cast<unsigned>(session.ConnectedSeeds())));
    SetRow(12, "UploadBytes", SizeWithBytes(session.Uploaded()));
    SetRow(13, "DownloadBytes", SizeWithBytes(session.Downloaded()));
    SetRow(14, "Left", SizeWithBytes(left));
    SetRow(15, "StatusComment:", session.StatusText());
    SetRow(16, "BitField:", session.HasPieces() ? session.Pieces().ToCharString() : "");
    SetRow(17, "Overall Sockets:", FormatText("%zu", m_doc.Registry().Count()));
    for (size_t row = 0; row < trackers.size(); ++row) {
        SetRow(kAbstractRows + static_cast<int>(row), trackers[row].first, trackers[row].second);
    }
}

void CVelbrookView::FillLog(TorrentSession& session) {
    const std::string& selected = m_doc.SelectedPeerId();
    if (selected.empty() || !session.Peers()) {
        return;
    }
    for (const PeerConnection* peer : session.Peers()->PeerList()) {
        if (peer->PeerId() != selected) {
            continue;
        }
        const auto& log = peer->Log();
        SetRowCount(*this, static_cast<int>(log.size()), false);
        int row = 0;
        for (const std::string& line : log) {
            SetCell(*this, row++, 0, line);
        }
    }
}

void CVelbrookView::FillStatistics() {
    SetRowCount(*this, kStatisticRows, true);
    SetRow(0, "Overall Torrents:", FormatText("%zu", m_doc.Downloads().Sessions().size()));
    SetRow(1, "Overall Peers:", FormatText("%zu", PeerConnection::LiveCount()));
    SetRow(2, "Overall Sockets(static):", FormatText("%zu", m_doc.Registry().Count()));
    SetRow(3, "DHT Nodes:", m_doc.Dht() ? FormatText("%zu", m_doc.DhtNodeCount()) : "off");
}

void CVelbrookView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidget::mouseDoubleClickEvent(event);
    if (m_mode != kPeerList) {
        return;
    }
    const int row = FirstSelectedRow(*this);
    const auto& sessions = m_doc.Downloads().Sessions();
    const size_t index = m_doc.Downloads().Shown();
    if (row < 0 || index >= sessions.size() || !sessions[index]->Peers()) {
        return;
    }
    const auto& peers = sessions[index]->Peers()->PeerList();
    if (static_cast<size_t>(row) >= peers.size()) {
        return;
    }
    m_doc.SetSelectedPeerId(peers[static_cast<size_t>(row)]->PeerId());
    SetMode(kLog);
}

}  // namespace velbrook
