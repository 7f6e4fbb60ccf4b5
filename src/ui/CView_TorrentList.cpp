#include "ui/CView_TorrentList.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

#include <algorithm>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "persist/CXML.h"
#include "ui/StyleLayout.h"

namespace velbrook {

namespace {

constexpr int kColumns = 11;

const char* StateLabel(SessionState state) {
    switch (state) {
    case SessionState::Unknown:
        return "Unknown";
    case SessionState::Stopped:
        return "Stop";
    case SessionState::ConnectTracker:
        return "Connect Tracker";
    case SessionState::Checking:
        return "Checking";
    case SessionState::Downloading:
        return "Downloading";
    case SessionState::Uploading:
        return "Uploading";
    case SessionState::Paused:
        return "Paused";
    case SessionState::Waiting:
        return "Waiting";
    case SessionState::FetchingMetadata:
        return "Fetching metadata";
    }
    return "";
}

std::string RateText(uint32_t bytesPerSecond) {
    return FormatText("%dkB/s", static_cast<int>(bytesPerSecond / 1024));
}

}  // namespace

CView_TorrentList::CView_TorrentList(CVelbrookDoc& doc, QWidget* parent)
    : QTreeWidget(parent), m_doc(doc) {
    SetUpReportList(*this);
    if (CXML* columns = FindStyleElement(m_doc, "TorrentList")) {
        BuildColumns(*this, *columns);
    } else {
        ShowStyleMessage(m_doc, kNoTorrentListMessage);
    }
    connect(this, &QTreeWidget::itemSelectionChanged, this, &CView_TorrentList::OnSelectionChanged);
    Refresh();
}

CView_TorrentList::~CView_TorrentList() {
    if (CXML* columns = FindStyleElement(m_doc, "TorrentList")) {
        SaveColumnWidths(*this, *columns);
    }
}

std::string CView_TorrentList::SizeText(uint64_t bytes) {
    if (bytes < 1024) {
        return FormatText("%u", static_cast<unsigned>(bytes));
    }
    if (bytes / 1024 < 1024) {
        return FormatText("%u k", static_cast<unsigned>(bytes / 1024));
    }
    return FormatText("%u M", static_cast<unsigned>(static_cast<uint32_t>(bytes / 1048576)));
}

CView_TorrentList::PopUpStates CView_TorrentList::PopUpStatesFor(SessionState state) {
    constexpr EntryState on{true, false};
    constexpr EntryState off{false, false};
    constexpr EntryState current{false, true};
    switch (state) {
    case SessionState::Stopped:
        return {on, current, off, off, on};
    case SessionState::ConnectTracker:
    case SessionState::Downloading:
    case SessionState::Uploading:
        return {current, on, on, off, on};
    case SessionState::Paused:
        return {off, on, current, on, on};
    case SessionState::Checking:
        // Starting already: the check can be stopped, but a resume would mark the torrent
        // as downloading while it is still being checked.
        return {current, on, off, off, on};
    case SessionState::FetchingMetadata:
        // Nothing to resume before there are pieces.
        return {current, on, off, off, on};
    case SessionState::Waiting:  // for the person's answer; taking it off the list withdraws it
    case SessionState::Unknown:
        break;
    }
    // A torrent that was never opened can only be taken off the list.
    return {off, off, off, off, on};
}

void CView_TorrentList::OnUpdate() {
    if (m_doc.Downloads().TakeListChanged()) {
        Refresh();
    }
}

void CView_TorrentList::Refresh() {
    const auto& sessions = m_doc.Downloads().Sessions();
    const int count = static_cast<int>(sessions.size());
    SetRowCount(*this, count, false);
    for (int row = 0; row < count; ++row) {
        FillRow(row, *sessions[count - 1 - row]);
    }
    SetRowCount(*this, count, true);
}

void CView_TorrentList::FillRow(int row, TorrentSession& session) {
    const uint64_t total = session.TotalLength();
    // A list file may claim more left than the whole: that is nothing done, not a wrap-around.
    const uint64_t left = std::min(session.Left(), total);
    const bool complete = session.IsComplete();
    const uint32_t downRate = session.DownloadRate();
    const uint32_t upRate = session.UploadRate();

    std::string timeLeft;
    std::string down;
    if (!complete && downRate > 0) {
        const int64_t s = static_cast<int64_t>(left / downRate);
        timeLeft = FormatText("%02d:%02d:%02d", static_cast<int>(s / 3600),
                              static_cast<int>(s / 60 - (s / 3600) * 60),
                              static_cast<int>(s - (s / 60) * 60));
        down = RateText(downRate);
    }

    const int32_t peers = session.ConnectedPeers();
    const int32_t seeds = session.ConnectedSeeds();
    std::string seedText;
    std::string peerText;
    if (session.TrackerPeers() == 0) {
        seedText = FormatText("%d", seeds);
        peerText = FormatText("%d", peers);
    } else {
        session.RaiseTrackerCounts(seeds, peers);
        seedText = FormatText("%d(%d)", seeds, session.TrackerSeeds());
        peerText = FormatText("%d(%d)", peers, session.TrackerPeers());
    }

    const std::string cells[kColumns] = {
        StateLabel(session.State()),
        session.Name() + "/" + session.BaseName(),
        SizeText(total),
        FormatText("%d%%", static_cast<int>(total == 0 ? 0 : (total - left) * 100 / total)),
        timeLeft,
        down,
        upRate > 0 ? RateText(upRate) : std::string(),
        seedText,
        peerText,
        session.SavePath(),
        session.StatusText(),
    };
    for (int column = 0; column < kColumns; ++column) {
        SetCell(*this, row, column, cells[column]);
    }
}

bool CView_TorrentList::MarkSelection() {
    DownloadsList& list = m_doc.Downloads();
    list.ClearSelection();
    const size_t count = list.Sessions().size();
    bool any = false;
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        const auto row = static_cast<size_t>(index.row());
        if (row < count) {
            list.Select(count - 1 - row);
            any = true;
        }
    }
    return any;
}

void CView_TorrentList::OnSelectionChanged() {
    const int row = FirstSelectedRow(*this);
    if (row < 0) {
        return;
    }
    DownloadsList& list = m_doc.Downloads();
    const size_t count = list.Sessions().size();
    if (static_cast<size_t>(row) >= count) {
        return;
    }
    const size_t position = count - 1 - static_cast<size_t>(row);
    if (position == list.Shown()) {
        return;
    }
    list.SetShown(position);
    list.RefreshShown();
    m_doc.Ui().PostUpdateAllViews();
}

void CView_TorrentList::AfterCommand() {
    m_doc.Downloads().MarkListChanged();
    OnUpdate();
    m_doc.Ui().PostUpdateAllViews();
}

void CView_TorrentList::OnStart() {
    MarkSelection();
    m_doc.Downloads().StartSelected();
    AfterCommand();
}

// Pausing is starting again without asking where to save: it only acts on stopped and paused
// torrents.
void CView_TorrentList::OnPause() {
    OnStart();
}

void CView_TorrentList::OnStop() {
    MarkSelection();
    m_doc.Downloads().StopSelected();
    AfterCommand();
}

void CView_TorrentList::OnResume() {
    MarkSelection();
    m_doc.Downloads().ResumeSelected();
    AfterCommand();
}

void CView_TorrentList::OnDelete() {
    if (!MarkSelection()) {
        return;
    }
    m_doc.Downloads().RemoveSelected();
    // The rows were rewritten in place, so a selected row that is left now shows the torrent
    // that moved up into it; that one becomes the shown torrent. With none left selected, the
    // last row is.
    AfterCommand();
    int row = FirstSelectedRow(*this);
    if (row < 0) {
        row = topLevelItemCount() - 1;
    }
    if (row >= 0) {
        clearSelection();
        setCurrentItem(topLevelItem(row));  // selects it, and the selection handler runs
    }
}

void CView_TorrentList::contextMenuEvent(QContextMenuEvent* event) {
    if (!MarkSelection()) {
        return;
    }
    int row = indexAt(event->pos()).row();
    if (row < 0) {
        row = FirstSelectedRow(*this);  // opened from the keyboard, or beside the rows
    }
    const auto& sessions = m_doc.Downloads().Sessions();
    const int count = static_cast<int>(sessions.size());
    const SessionState state =
        row >= 0 && row < count ? sessions[count - 1 - row]->State() : SessionState::Unknown;

    QString labels[kPopUpEntries];
    if (CXML* popUp = FindStyleElement(m_doc, "TorrentListPopUp")) {
        int i = 0;
        for (CXML* child = popUp->GetFirstChild(); child && i < kPopUpEntries;
             child = popUp->GetNextChild(), ++i) {
            labels[i] = QString::fromStdString(child->GetText());
        }
    } else {
        ShowStyleMessage(m_doc, kNoTorrentListPopUpMessage);
    }

    using Command = void (CView_TorrentList::*)();
    constexpr Command kCommands[kPopUpEntries] = {
        &CView_TorrentList::OnStart, &CView_TorrentList::OnStop, &CView_TorrentList::OnPause,
        &CView_TorrentList::OnResume, &CView_TorrentList::OnDelete};
    const PopUpStates states = PopUpStatesFor(state);
    QMenu menu(this);
    for (int i = 0; i < kPopUpEntries; ++i) {
        if (i == kDelete) {
            menu.addSeparator();
        }
        QAction* action = menu.addAction(labels[i]);
        action->setCheckable(states[i].checked);
        action->setChecked(states[i].checked);
        action->setEnabled(states[i].enabled);
        connect(action, &QAction::triggered, this, kCommands[i]);
    }
    menu.exec(event->globalPos());
}

void CView_TorrentList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        OnDelete();  // nothing when no row is selected
    } else {
        QTreeWidget::keyPressEvent(event);
    }
}

}  // namespace velbrook
