#include "ui/CVelbrookApp.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/CVelbrookDoc.h"
#include "engine/SingleInstance.h"
#include "metainfo/MagnetLink.h"
#include "net/Reactor.h"
#include "persist/CXML.h"
#include "persist/PrintableText.h"
#include "persist/Profile.h"
#include "ui/AppIcon.h"
#include "ui/CMainFrame.h"
#include "ui/EngineLoop.h"
#include "ui/FileTypeRegistration.h"
#include "ui/QtTranslations.h"
#include "ui/QtUiHost.h"

namespace velbrook {

namespace {

constexpr char kUsage[] =
    "usage: velbrook [--profile DIR] [--save DIR] [TORRENT|MAGNET...]\n"
    "\n"
    "  TORRENT|MAGNET  add these .torrent files or magnet links (to the copy already\n"
    "                  running on the profile, if there is one)\n"
    "  --profile DIR   where settings, the downloads list and status files live\n"
    "  --save DIR      save the torrents given here in DIR without asking\n"
    "  --help          show this text\n";

struct Options {
    QString profile;
    QString save;
    QStringList torrents;
    QString dumpViews;   // for scripts: the views' rows as text after each redraw
    QString stats;       // for scripts: how many redraws so far and how long they took
    QString screenshot;  // for scripts: a picture of the window while every view shows rows
};

// Qt's own options (the display, the platform, the style, ...) are QApplication's to take; the
// first set takes the next argument as its value. Qt reads them with one dash or two.
bool IsQtOption(QString arg, bool& takesValue) {
    static const QStringList kWithValue = {
        "platform",        "platformpluginpath", "platformtheme", "plugin",
        "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
        "display",         "geometry",           "style",         "stylesheet"};
    static const QStringList kAlone = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    if (arg.startsWith("--")) {
        arg.remove(0, 1);
    }
    if (!arg.startsWith('-')) {
        return false;
    }
    const QString name = arg.mid(1).section('=', 0, 0);
    takesValue = kWithValue.contains(name) && !arg.contains('=');
    return kWithValue.contains(name) || kAlone.contains(name) || name == "qmljsdebugger";
}

// False, having said why, when the command line cannot be used. Read before Qt starts, so that
// --help and a mistake need no display.
bool Parse(const QStringList& args, Options& options, bool& help) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        }
        QString* value = arg == "--profile"         ? &options.profile
                         : arg == "--save"          ? &options.save
                         : arg == "--dump-views"    ? &options.dumpViews
                         : arg == "--refresh-stats" ? &options.stats
                         : arg == "--screenshot"    ? &options.screenshot
                                                    : nullptr;
        bool qtValue = false;
        if (value) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "velbrook: %s needs a value\n", qUtf8Printable(arg));
                return false;
            }
            *value = args[++i];
        } else if (IsQtOption(arg, qtValue)) {
            i += qtValue ? 1 : 0;
        } else if (arg.startsWith('-')) {
            std::fprintf(stderr, "velbrook: unknown option %s\n", qUtf8Printable(arg));
            return false;
        } else if (IsMagnetLink(arg.toStdString())) {
            options.torrents << arg;
        } else if (arg.startsWith("file:", Qt::CaseInsensitive)) {
            // A launcher passes files as URLs (the desktop entry's %U, which also brings links).
            options.torrents << QUrl(arg).toLocalFile();
        } else {
            // Kept in the downloads list, which is read again wherever the program next starts.
            options.torrents << QFileInfo(arg).absoluteFilePath();
        }
    }
    return true;
}

// SIGTERM and SIGINT close the window as the person would, through a pipe the loop watches.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    if (::write(g_signalPipe[1], &byte, 1) < 0) {
        // The pipe is full: a close is already on its way.
    }
}

bool SocketsWork() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    ::close(probe);
    return true;
}

void Refuse(const char* text) {
    QMessageBox::critical(nullptr, "Velbrook", QString::fromUtf8(text));
}

}  // namespace

CVelbrookApp::CVelbrookApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

int CVelbrookApp::Run() {
    Options options;
    bool help = false;
    QStringList args;
    for (int i = 0; i < m_argc; ++i) {
        args << QString::fromLocal8Bit(m_argv[i]);
    }
    if (!Parse(args, options, help)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string save =
        options.save.isEmpty() ? std::string() : QDir(options.save).absolutePath().toStdString();

    // One copy per profile: a later one hands its torrents over and ends, with no need of a
    // display.
    const std::string profile = ResolveProfileDir(options.profile.toStdString());
    std::error_code ec;
    std::filesystem::create_directories(profile, ec);
    SingleInstance instance(profile);
    std::vector<std::string> torrents;
    for (const QString& path : options.torrents) {
        torrents.push_back(path.toStdString());
    }
    switch (instance.Claim(torrents, save)) {
    case SingleInstance::Role::HandedOff:
        for (const std::string& path : instance.NotListed()) {
            std::fprintf(stderr, "velbrook: %s: the copy running on %s could not start it\n",
                         PrintableLine(path).c_str(), profile.c_str());
        }
        return instance.NotListed().empty() ? 0 : 1;
    case SingleInstance::Role::Failed:
        std::fprintf(stderr, "velbrook: another copy holds %s and cannot be reached\n",
                     profile.c_str());
        return 1;
    case SingleInstance::Role::Unwritable:
        std::fprintf(stderr, "velbrook: the profile folder %s cannot be written: %s\n",
                     profile.c_str(), std::strerror(instance.WriteError()));
        return 1;
    case SingleInstance::Role::Primary:
        break;
    }

    QApplication app(m_argc, m_argv);
    QApplication::setApplicationName("Velbrook");
    QApplication::setWindowIcon(AppIcon());
    // The window may be hidden in the tray while a message box comes and goes: the program
    // ends when the main window is closed, not when the last visible window goes.
    QApplication::setQuitOnLastWindowClosed(false);
    const auto qtTranslations = InstallQtTranslations();

    if (!SocketsWork()) {
        Refuse("Windows 套接字初始化失败。");
        return 1;
    }
    if (!CXML::IsXmlParserAvailable()) {
        Refuse("Velbrook need MSXML 4.0 in order to run, please install MSXML4.0");
        return 1;
    }
    RegisterTorrentType(QApplication::applicationFilePath().toStdString(), AppIcon());

    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }

    Reactor reactor;
    EngineLoop loop(reactor);
    QtUiHost ui(reactor);
    CVelbrookDoc doc(profile, ui, reactor);
    doc.EnsureListening();
    {
        CMainFrame frame(doc);
        ui.SetWindow(&frame);
        ui.SetRedraw([&frame] { frame.UpdateAllViews(); });
        frame.AcceptHandOffs(instance, loop);
        frame.DumpViewsTo(options.dumpViews);
        frame.RefreshStatsTo(options.stats);
        frame.ScreenshotTo(options.screenshot);
        QObject::connect(&frame, &CMainFrame::Closed, &app, &QApplication::quit);
        QSocketNotifier stopRequests(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&stopRequests, &QSocketNotifier::activated, &frame, [&frame] {
            char bytes[16];
            while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            frame.close();
        });
        frame.show();
        doc.MarkListChanged();
        frame.UpdateAllViews();
        // Torrents named on the command line are added once the window is up, so that a
        // question about one of them has the window behind it. The program was started to
        // open them: when one cannot be, it ends, as it does when anything else at start fails.
        QTimer::singleShot(0, &frame, [&frame, &options, &save] {
            if (!frame.OpenTorrents(options.torrents, save)) {
                frame.close();
            }
        });
        QApplication::exec();
        ui.SetRedraw({});
        // A copy started from now on runs by itself once this one has gone, rather than
        // handing its torrents to a copy that would drop them.
        instance.StopAccepting();
    }

    // The window is gone; trackers hear that we leave, with the final totals, unless they keep
    // us waiting.
    doc.Shutdown();
    return 0;
}

}  // namespace velbrook
