#include "ui/CMainFrame.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QWhatsThis>

#include <filesystem>
#include <vector>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/SingleInstance.h"
#include "engine/TorrentSession.h"
#include "metainfo/MagnetLink.h"
#include "persist/CXML.h"
#include "ui/CAboutDlg.h"
#include "ui/COpenLinkDlg.h"
#include "ui/CSystemTray.h"
#include "ui/EngineLoop.h"
#include "ui/LockKeys.h"

namespace velbrook {

namespace {

constexpr char kTitle[] = "Velbrook";
constexpr char kTorrentFilter[] = "BitTorrent Files (*.torrent)";
// The left pane's width and the torrent list's height when the window opens.
constexpr int kLeftWidth = 160;
constexpr int kListHeight = 160;
constexpr int kDetailTreeWidth = 100;
// The layout's element for the window itself.
constexpr char kLayoutElement[] = "MainFrame";

bool IsTorrentFile(const QUrl& url) {
    return url.isLocalFile() && url.toLocalFile().endsWith(".torrent", Qt::CaseInsensitive);
}

bool IsMagnetUrl(const QUrl& url) {
    return url.scheme().compare("magnet", Qt::CaseInsensitive) == 0;
}

bool CanOpen(const QUrl& url) {
    return IsTorrentFile(url) || IsMagnetUrl(url);
}

// The rows of a list or tree as text: one line per row, cells separated by tabs, children
// indented by two spaces per level.
void DumpRows(const QAbstractItemModel& model, const QModelIndex& parent, int depth, QString& out) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        QStringList cells;
        for (int column = 0; column < model.columnCount(parent); ++column) {
            cells << model.index(row, column, parent).data().toString();
        }
        out += QString(depth * 2, ' ') + cells.join('\t') + '\n';
        DumpRows(model, model.index(row, 0, parent), depth + 1, out);
    }
}

// A reader never sees half a file.
void WriteAtomically(const QString& path, const QString& text) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(text.toUtf8());
        file.commit();
    }
}

const QAbstractItemModel* ModelOf(const QWidget* view) {
    const auto* items = qobject_cast<const QAbstractItemView*>(view);
    return items ? items->model() : nullptr;
}

}  // namespace

CMainFrame::CMainFrame(CVelbrookDoc& doc, const TrayMaker& makeTray) : m_doc(doc) {
    setWindowTitle(kTitle);
    setAcceptDrops(true);
    CreateMenusAndToolBar();
    CreateStatusBar();
    CreateClientArea();
    m_tray = makeTray ? makeTray(this) : std::make_unique<CSystemTray>(this);
    connect(m_tray.get(), &CSystemTray::RestoreRequested, this, [this] { BringToFront(); });
    connect(m_tray.get(), &CSystemTray::AboutRequested, this, [this] { OnAbout(); });
    connect(m_tray.get(), &CSystemTray::ExitRequested, this, [this] { close(); });
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        resize(screen->availableSize() * 3 / 4);
    }
    RestoreLayout();
    ShowEngineState();
}

CMainFrame::~CMainFrame() {
    SaveLayout();
}

void CMainFrame::RestoreLayout() {
    CXML* layout = m_doc.Style().FindChild(kLayoutElement);
    if (!layout) {
        return;  // a first start: the sizes above
    }
    // Qt's own form of the place and size, which moves a window whose screen has gone back
    // onto one that is there.
    restoreGeometry(
        QByteArray::fromBase64(QByteArray::fromStdString(layout->GetAttribute("geometry"))));
    for (const auto& [splitter, name] : Splitters()) {
        QList<int> sizes;
        for (const QString& size :
             QString::fromStdString(layout->GetAttribute(name)).split(' ', Qt::SkipEmptyParts)) {
            sizes << std::max(size.toInt(), 0);
        }
        if (sizes.size() == splitter->count()) {
            splitter->setSizes(sizes);
        }
    }
}

void CMainFrame::SaveLayout() {
    CXML& style = m_doc.Style();
    CXML* layout = style.FindChild(kLayoutElement);
    if (!layout) {
        layout = style.AddChild(std::make_unique<CXML>(kLayoutElement));
    }
    layout->SetAttribute("geometry", saveGeometry().toBase64().toStdString());
    for (const auto& [splitter, name] : Splitters()) {
        QStringList sizes;
        for (const int size : splitter->sizes()) {
            sizes << QString::number(size);
        }
        layout->SetAttribute(name, sizes.join(' ').toStdString());
    }
}

std::array<std::pair<QSplitter*, const char*>, 3> CMainFrame::Splitters() const {
    return {{{m_outer.get(), "outer"}, {m_right.get(), "right"}, {m_bottom.get(), "bottom"}}};
}

void CMainFrame::CreateMenusAndToolBar() {
    QStyle* style = QApplication::style();
    const auto icon = [style](const char* name, QStyle::StandardPixmap fallback) {
        return QIcon::fromTheme(name, style->standardIcon(fallback));
    };
    const auto entry = [this](QMenu* menu, const char* text, const QKeySequence& keys = {},
                              const std::function<void()>& run = {}) {
        QAction* action = menu->addAction(text);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        if (run) {
            connect(action, &QAction::triggered, this, run);
        } else {
            action->setEnabled(false);  // nothing here carries it out
        }
        return action;
    };
    const auto alsoOn = [](QAction* action, const QKeySequence& more) {
        action->setShortcuts({action->shortcut(), more});
    };

    QMenu* file = menuBar()->addMenu("文件(&F)");
    QAction* fileNew = entry(file, "新建\tCtrl+N(&N)", QKeySequence("Ctrl+N"));
    fileNew->setIcon(icon("document-new", QStyle::SP_FileIcon));
    QAction* fileOpen =
        entry(file, "打开Torrent\tCtrl+O(&O)", QKeySequence("Ctrl+O"), [this] { OnFileOpen(); });
    fileOpen->setIcon(icon("document-open", QStyle::SP_DialogOpenButton));
    entry(file, "打开链接...", {}, [this] { OnOpenLink(); });
    QAction* fileSave = entry(file, "保存\tCtrl+S(&S)", QKeySequence("Ctrl+S"));
    fileSave->setIcon(icon("document-save", QStyle::SP_DialogSaveButton));
    entry(file, "另存为(&A)...");
    file->addSeparator();
    // The label names Ctrl+P, but no key opens the options.
    entry(file, "选项...\tCtrl+P(&P)", {}, [this] { m_doc.OnOptions(); });
    entry(file, "最近的文件");
    file->addSeparator();
    entry(file, "退出(&X)", {}, [this] { close(); });

    QMenu* edit = menuBar()->addMenu("编辑(&E)");
    QAction* undo = entry(edit, "撤消\tCtrl+Z(&U)", QKeySequence("Ctrl+Z"));
    alsoOn(undo, QKeySequence("Alt+Backspace"));
    edit->addSeparator();
    QAction* cut = entry(edit, "剪切\tCtrl+X(&T)", QKeySequence("Ctrl+X"));
    alsoOn(cut, QKeySequence("Shift+Del"));
    cut->setIcon(icon("edit-cut", QStyle::SP_TrashIcon));
    QAction* copy = entry(edit, "复制\tCtrl+C(&C)", QKeySequence("Ctrl+C"));
    alsoOn(copy, QKeySequence("Ctrl+Ins"));
    copy->setIcon(icon("edit-copy", QStyle::SP_FileLinkIcon));
    QAction* paste = entry(edit, "粘贴\tCtrl+V(&P)", QKeySequence("Ctrl+V"));
    alsoOn(paste, QKeySequence("Shift+Ins"));
    paste->setIcon(icon("edit-paste", QStyle::SP_DialogApplyButton));

    QToolBar* bar = addToolBar(kTitle);
    bar->setMovable(false);
    bar->setIconSize(QSize(16, 15));
    QMenu* view = menuBar()->addMenu("视图(&V)");
    QAction* showBar = view->addAction("工具栏(&T)");
    showBar->setCheckable(true);
    showBar->setChecked(true);
    connect(showBar, &QAction::toggled, bar, &QWidget::setVisible);
    QAction* showStatus = view->addAction("状态栏(&S)");
    showStatus->setCheckable(true);
    showStatus->setChecked(true);
    connect(showStatus, &QAction::toggled, this,
            [this](bool shown) { statusBar()->setVisible(shown); });

    QMenu* help = menuBar()->addMenu("帮助(&H)");
    // No help file ships, so there is nothing to open.
    entry(help, "帮助主题(&H)");
    help->addSeparator();
    QAction* about = entry(help, "关于 Velbrook(&A)...", {}, [this] { OnAbout(); });
    about->setIcon(icon("help-about", QStyle::SP_MessageBoxInformation));

    // Keys without a menu entry: the next and previous pane, and "what is this?".
    const auto key = [this](const QKeySequence& keys, const std::function<void()>& run) {
        QAction* action = addAction(QString());
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, run);
        return action;
    };
    key(QKeySequence("F6"), [this] { FocusPane(+1); });
    key(QKeySequence("Shift+F6"), [this] { FocusPane(-1); });
    QAction* whatsThis = key(QKeySequence("Shift+F1"), [] { QWhatsThis::enterWhatsThisMode(); });
    whatsThis->setIcon(icon("help-contextual", QStyle::SP_TitleBarContextHelpButton));
    whatsThis->setToolTip("帮助");

    // The toolbar: the view-style buttons look for a kind of view this window does not have,
    // so they always stay disabled.
    const auto disabled = [bar, &icon](const char* tip, const char* name,
                                       QStyle::StandardPixmap fallback) {
        QAction* action = bar->addAction(icon(name, fallback), QString());
        action->setToolTip(tip);
        action->setEnabled(false);
    };
    bar->addAction(fileNew);
    bar->addAction(fileOpen);
    bar->addAction(fileSave);
    bar->addSeparator();
    bar->addAction(cut);
    bar->addAction(copy);
    bar->addAction(paste);
    bar->addSeparator();
    disabled("打印", "document-print", QStyle::SP_ComputerIcon);
    bar->addSeparator();
    disabled("大图标", "view-list-icons", QStyle::SP_FileDialogContentsView);
    disabled("小图标", "view-list-compact", QStyle::SP_FileDialogInfoView);
    disabled("列表", "view-list-text", QStyle::SP_FileDialogListView);
    disabled("详细信息", "view-list-details", QStyle::SP_FileDialogDetailedView);
    bar->addAction(about);
    bar->addAction(whatsThis);
    // A tip is the entry's label without its keys: "关于 Velbrook(&A)..." shows "关于 Velbrook".
    static const QRegularExpression kMnemonic("\\(\\w\\)$");
    for (QAction* action : bar->actions()) {
        QString tip = action->toolTip().section('\t', 0, 0);
        tip.remove(kMnemonic);
        action->setToolTip(tip);
        action->setStatusTip(tip);
    }
}

void CMainFrame::CreateStatusBar() {
    m_message = std::make_unique<QLabel>("就绪");
    statusBar()->addWidget(m_message.get(), 1);
    m_port = std::make_unique<QLabel>();
    m_port->setObjectName("port");
    statusBar()->addPermanentWidget(m_port.get());
    m_rates = std::make_unique<QLabel>();
    m_rates->setObjectName("rates");
    statusBar()->addPermanentWidget(m_rates.get());
    for (auto& pane : m_lockPanes) {
        pane = std::make_unique<QLabel>();
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance("滚动") + 12);
        statusBar()->addPermanentWidget(pane.get());
    }
    // Lock keys change with a key, pressed here or in another window before this one is used.
    qApp->installEventFilter(this);
    ShowLockKeys();
}

void CMainFrame::ShowLockKeys() {
    const unsigned on = LockKeysOn();
    const std::pair<LockKey, const char*> panes[] = {
        {kCapsLock, "大写"}, {kNumLock, "数字"}, {kScrollLock, "滚动"}};
    for (size_t i = 0; i < m_lockPanes.size(); ++i) {
        m_lockPanes[i]->setText(on & panes[i].first ? panes[i].second : "");
    }
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    // A key event reaches the window and then each widget it passes through: asking the X
    // server once per key is enough.
    if ((event->type() == QEvent::KeyRelease && watched->isWindowType()) ||
        event->type() == QEvent::ApplicationActivate) {
        ShowLockKeys();
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::CreateClientArea() {
    m_outer = std::make_unique<QSplitter>(Qt::Horizontal);
    m_right = std::make_unique<QSplitter>(Qt::Vertical);
    m_bottom = std::make_unique<QSplitter>(Qt::Horizontal);
    m_views = MakeFrameViews(m_doc);
    m_outer->addWidget(m_views.left.get());
    m_outer->addWidget(m_right.get());
    m_right->addWidget(m_views.list.get());
    m_right->addWidget(m_bottom.get());
    m_bottom->addWidget(m_views.tree.get());
    m_bottom->addWidget(m_views.status.get());
    // The left pane and the list keep their size as the window grows; both may be dragged shut.
    m_outer->setStretchFactor(1, 1);
    m_right->setStretchFactor(1, 1);
    m_bottom->setStretchFactor(1, 1);
    m_outer->setSizes({kLeftWidth, 10000});
    m_right->setSizes({kListHeight, 10000});
    m_bottom->setSizes({kDetailTreeWidth, 10000});
    setCentralWidget(m_outer.get());
}

void CMainFrame::ShowEngineState() {
    m_port->setText(m_doc.IsListening() ? QString("端口 %1").arg(m_doc.ListenPort()) : "未监听");
    uint64_t down = 0;
    uint64_t up = 0;
    for (const auto& session : m_doc.Downloads().Sessions()) {
        down += session->DownloadRate();
        up += session->UploadRate();
    }
    m_rates->setText(QString("下载 %1 kB/s  上传 %2 kB/s").arg(down / 1024).arg(up / 1024));
}

void CMainFrame::UpdateAllViews() {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& update : m_views.updates) {
        update();
    }
    ShowEngineState();
    const auto took = std::chrono::steady_clock::now() - start;
    ++m_refreshes;
    m_refreshTime += took;
    m_longestRefresh = std::max<std::chrono::nanoseconds>(m_longestRefresh, took);
    if (!m_dumpPath.isEmpty()) {
        WriteDump();
    }
    if (!m_statsPath.isEmpty()) {
        WriteStats();
    }
    if (!m_screenshotPath.isEmpty()) {
        TakeScreenshot();
    }
}

bool CMainFrame::OpenTorrents(const QStringList& paths, const std::string& saveFolder) {
    if (!saveFolder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(saveFolder, ec);
    }
    bool all = true;
    for (const QString& path : paths) {
        const std::string item = path.toStdString();
        all = (IsMagnetLink(item) ? m_doc.OpenMagnetLink(item, saveFolder)
                                  : m_doc.OpenTorrentFile(item, saveFolder)) &&
              all;
    }
    return all;
}

// The dialog does not hold the program up while it is open: the answer arrives later. Asked
// again meanwhile, the one already open comes to the front.
void CMainFrame::OnOpenLink() {
    if (m_linkDialog) {
        m_linkDialog->raise();
        m_linkDialog->activateWindow();
        return;
    }
    m_linkDialog = new COpenLinkDlg(this);
    m_linkDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_linkDialog, &QDialog::accepted, this,
            [this, dialog = m_linkDialog] { OpenTorrents({dialog->Link()}); });
    m_linkDialog->open();
}

void CMainFrame::OnFileOpen() {
    const QString path = QFileDialog::getOpenFileName(this, "打开", QString(), kTorrentFilter);
    if (!path.isEmpty()) {
        OpenTorrents({path});
    }
}

void CMainFrame::OnAbout() {
    ShowAboutBox(this);
}

void CMainFrame::BringToFront() {
    m_tray->Remove();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void CMainFrame::AcceptHandOffs(SingleInstance& instance, EngineLoop& loop) {
    loop.Watch(instance.Fd(), [this, &instance] {
        instance.Serve(
            [this](const HandedTorrent& torrent) {
                return OpenTorrents({QString::fromStdString(torrent.path)}, torrent.saveFolder);
            },
            [this] { BringToFront(); });
    });
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || m_tray->IsAdded()) {
        return;
    }
    // Where the desktop has no tray the window stays minimised on the task bar: hidden with no
    // icon, there would be no way back.
    if (m_tray->Add()) {
        QTimer::singleShot(0, this, [this] {
            if (m_tray->IsAdded()) {
                hide();
            }
        });
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    m_tray->Remove();
    event->accept();
    emit Closed();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (std::any_of(urls.begin(), urls.end(), CanOpen)) {
        event->acceptProposedAction();
    }
}

void CMainFrame::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (IsTorrentFile(url)) {
            paths << url.toLocalFile();
        } else if (IsMagnetUrl(url)) {
            paths << QString::fromUtf8(url.toEncoded());
        }
    }
    event->acceptProposedAction();
    // Opened once the drop is over: the file manager waits for its end, and opening may ask
    // where to save.
    QTimer::singleShot(0, this, [this, paths] { OpenTorrents(paths); });
}

void CMainFrame::FocusPane(int step) {
    const auto order = m_views.Panes();
    int at = 0;
    for (int i = 0; i < 4; ++i) {
        if (order[i] == focusWidget() || order[i]->isAncestorOf(focusWidget())) {
            at = i;
        }
    }
    order[(at + step + 4) % 4]->setFocus(Qt::ShortcutFocusReason);
}

void CMainFrame::WriteStats() const {
    using Ms = std::chrono::duration<double, std::milli>;
    WriteAtomically(m_statsPath, QString("refreshes %1 total_ms %2 max_ms %3\n")
                                     .arg(m_refreshes)
                                     .arg(Ms(m_refreshTime).count(), 0, 'f', 3)
                                     .arg(Ms(m_longestRefresh).count(), 0, 'f', 3));
}

void CMainFrame::WriteDump() const {
    QString out;
    const auto panes = m_views.Panes();
    for (size_t i = 0; i < panes.size(); ++i) {
        out += QString("[%1]\n").arg(FrameViews::kPaneNames[i]);
        if (const QAbstractItemModel* model = ModelOf(panes[i])) {
            DumpRows(*model, QModelIndex(), 0, out);
        }
    }
    WriteAtomically(m_dumpPath, out);
}

void CMainFrame::TakeScreenshot() {
    for (const QWidget* view : m_views.Panes()) {
        const QAbstractItemModel* model = ModelOf(view);
        if (!model || model->rowCount() == 0) {
            return;
        }
    }
    QSaveFile file(m_screenshotPath);
    if (file.open(QIODevice::WriteOnly) && grab().save(&file, "PNG")) {
        file.commit();
    }
}

}  // namespace velbrook
