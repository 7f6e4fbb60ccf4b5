// The main window: the four views in three nested splitters, the menus, toolbar and status bar,
// .torrent files opened, dropped or handed over by another copy, and minimising to the tray.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "ui/FrameViews.h"

class QLabel;
class QSplitter;

namespace velbrook {

class CVelbrookDoc;
class EngineLoop;
class SingleInstance;
class COpenLinkDlg;
class CSystemTray;

class CMainFrame : public QMainWindow {
    Q_OBJECT

public:
    // `makeTray` makes the tray icon's owner (by default the desktop's own).
    using TrayMaker = std::function<std::unique_ptr<CSystemTray>(QWidget* window)>;
    explicit CMainFrame(CVelbrookDoc& doc, const TrayMaker& makeTray = {});
    ~CMainFrame() override;

    // Every view redraws from the document.
    void UpdateAllViews();
    // .torrent files and magnet links to add; with `saveFolder` they go there without asking.
    // False when one of them was not added (the document has said why).
    bool OpenTorrents(const QStringList& paths, const std::string& saveFolder = {});
    // The window comes to the front, restored when minimised or in the tray (another copy was
    // started, or the tray icon asked).
    void BringToFront();
    // Torrents handed over by later copies on the same profile are opened here, and each copy
    // hears which of them are listed. They arrive through `loop`, beside the engine's own work.
    void AcceptHandOffs(SingleInstance& instance, EngineLoop& loop);

    // For scripts that watch the program from outside: after every redraw, the rows of each
    // view are written to `path` as text, and the count and times of the redraws so far to
    // `stats`; and while every view shows rows, a picture of the window to `picture`.
    void DumpViewsTo(const QString& path) { m_dumpPath = path; }
    void RefreshStatsTo(const QString& stats) { m_statsPath = stats; }
    void ScreenshotTo(const QString& picture) { m_screenshotPath = picture; }

signals:
    // The person closed the window (or chose Exit): the program ends.
    void Closed();

protected:
    // No pop-up over the menu bar and toolbar: the View menu shows and hides them.
    QMenu* createPopupMenu() override { return nullptr; }
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateMenusAndToolBar();
    void CreateStatusBar();
    void CreateClientArea();
    // The window's place and size and the splitters' positions, kept in the layout beside the
    // column widths, so that the window comes back as it was left.
    void RestoreLayout();
    void SaveLayout();
    // The status bar's engine panes: where peers reach us, and how fast everything moves.
    void ShowEngineState();
    // Each splitter with the name its sizes are kept under.
    std::array<std::pair<QSplitter*, const char*>, 3> Splitters() const;
    void OnFileOpen();
    void OnOpenLink();
    void OnAbout();
    void ShowLockKeys();
    void FocusPane(int step);
    void WriteDump() const;
    void WriteStats() const;
    void TakeScreenshot();

    CVelbrookDoc& m_doc;
    // Splitters before views: the views go first, each leaving its splitter as it does.
    std::unique_ptr<QSplitter> m_outer;                  // the category tree | everything else
    std::unique_ptr<QSplitter> m_right;                  // the torrent list over the detail panes
    std::unique_ptr<QSplitter> m_bottom;                 // the detail selector | the detail list
    std::unique_ptr<QLabel> m_message;                   // the status bar's message pane
    std::unique_ptr<QLabel> m_port;                      // the listening port, or none
    std::unique_ptr<QLabel> m_rates;                     // all torrents' download and upload
    std::array<std::unique_ptr<QLabel>, 3> m_lockPanes;  // Caps, Num and Scroll Lock
    FrameViews m_views;
    std::unique_ptr<CSystemTray> m_tray;
    QPointer<COpenLinkDlg> m_linkDialog;  // while File → "打开链接..." is open

    QString m_dumpPath;
    QString m_statsPath;
    QString m_screenshotPath;
    int m_refreshes = 0;
    std::chrono::nanoseconds m_refreshTime{0};
    std::chrono::nanoseconds m_longestRefresh{0};
};

}  // namespace velbrook
