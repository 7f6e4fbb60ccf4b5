// The desktop program from start to end: one copy per profile (a later one hands its torrents
// over), the checks before anything is shown, the .torrent type, the engine inside Qt's loop,
// the main window, and an orderly exit that lets trackers hear the final totals.
#pragma once

#include <QIcon>

namespace velbrook {

class CVelbrookApp {
public:
    CVelbrookApp(int& argc, char** argv);
    // The process's exit code.
    int Run();

    // The program's picture: window, tray and file manager.
    static QIcon Icon();

private:
    int& m_argc;
    char** m_argv;
};

}  // namespace velbrook
