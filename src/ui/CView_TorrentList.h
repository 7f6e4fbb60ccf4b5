// The torrent list: one row per torrent of the downloads list, the one added last on top. Where
// the person picks the torrent the detail views show, and starts, stops and deletes torrents.
#pragma once

#include <QTreeWidget>

#include <array>
#include <cstdint>
#include <string>

namespace velbrook {

class CVelbrookDoc;
class TorrentSession;
enum class SessionState;

class CView_TorrentList : public QTreeWidget {
    Q_OBJECT

public:
    // The pop-up menu's entries, in menu order.
    enum PopUpEntry { kStart, kStop, kPause, kResume, kDelete, kPopUpEntries };
    struct EntryState {
        bool enabled;
        bool checked;
        bool operator==(const EntryState&) const = default;
    };
    using PopUpStates = std::array<EntryState, kPopUpEntries>;

    explicit CView_TorrentList(CVelbrookDoc& doc, QWidget* parent = nullptr);
    ~CView_TorrentList() override;  // the column widths go back into the layout

    // Redraws the rows when the downloads list says something changed.
    void OnUpdate();

    // Commands on every selected row's torrent.
    void OnStart();
    void OnPause();
    void OnStop();
    void OnResume();
    void OnDelete();

    // What the pop-up menu offers for a torrent in `state`.
    static PopUpStates PopUpStatesFor(SessionState state);
    // 512, "1 k", "3 M": whole units, truncated.
    static std::string SizeText(uint64_t bytes);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Refresh();
    void FillRow(int row, TorrentSession& session);
    // Sets the torrents' selected flags from the rows; false when no row is selected.
    bool MarkSelection();
    void OnSelectionChanged();
    // After a command: the list is redrawn now, the other views soon.
    void AfterCommand();

    CVelbrookDoc& m_doc;
};

}  // namespace velbrook
