// The detail list under the torrent list: the shown torrent's peers, files, summary, one peer's
// log, or the whole program's statistics. Each display has its own columns and widths in the
// layout.
#pragma once

#include <QTreeWidget>

#include <cstddef>
#include <string>
#include <string_view>

namespace velbrook {

class CVelbrookDoc;
class CXML;
class TorrentSession;

class CVelbrookView : public QTreeWidget {
    Q_OBJECT

public:
    enum DisplayMode { kNone = 0, kPeerList, kFileList, kAbstract, kLog, kStatistic };

    explicit CVelbrookView(CVelbrookDoc& doc, QWidget* parent = nullptr);
    ~CVelbrookView() override;  // the widths of the display shown go back into the layout

    // Keeps the widths of the display it leaves, then builds the columns of `mode`. A display
    // missing from the layout is reported and the list stays as it was.
    void SetMode(int mode);
    int Mode() const { return m_mode; }
    void OnUpdate();

    // "PeerList" 1 ... "Statistic" 5; 0 for any other name.
    static int ModeFromName(std::string_view name);

protected:
    // In the peer list: shows the log of the peer in the first selected row.
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    CXML* ModeElement(int mode);
    void FillPeers(TorrentSession& session);
    void FillFiles(TorrentSession& session);
    void FillAbstract(TorrentSession& session);
    void FillLog(TorrentSession& session);
    void FillStatistics();
    void SetRow(int row, const std::string& label, const std::string& value);

    CVelbrookDoc& m_doc;
    int m_mode = kNone;
    // What the rows show now. The torrent by its info hash as well: deleting a torrent moves
    // another one to the same index.
    size_t m_lastIndex;
    std::string m_lastInfoHash;
    int m_lastMode = kNone;
};

}  // namespace velbrook
