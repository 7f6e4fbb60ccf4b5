// The desktop program from start to end: one copy per profile (a later one hands its torrents
// over), the checks before anything is shown, the .torrent type, the engine inside Qt's loop,
// the main window, and an orderly exit that lets trackers hear the final totals.
#pragma once

namespace velbrook {

class CVelbrookApp {
public:
    CVelbrookApp(int& argc, char** argv);
    // The process's exit code.
    int Run();

private:
    int& m_argc;
    char** m_argv;
};

}  // namespace velbrook
