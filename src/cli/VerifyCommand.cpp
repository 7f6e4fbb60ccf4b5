#include "cli/VerifyCommand.h"

#include <cinttypes>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/TorrentFile.h"
#include "storage/BitField.h"
#include "storage/FileStorage.h"

namespace velbrook::cli {

namespace {

// Why a file that is there could not be opened for checking, in a few words.
const char* OpenFailure(FileCause cause) {
    switch (cause) {
    case CauseSharingViolation:
    case CauseLockViolation:
        return "it is locked for writing by another program, such as a running download";
    case CauseAccessDenied:
        return "permission denied, or it is not a regular file";
    case CauseTooManyOpenFiles:
        return "too many open files";
    case CauseHardIO:
        return "input/output error";
    default:
        return "it cannot be opened";
    }
}

double Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int RunVerify(const std::string& torrentPath, const std::string& saveDir, std::FILE* out,
              std::FILE* err) {
    KeyPathMap map;
    FileList files;
    std::string error;
    if (!LoadTorrentFile(torrentPath, map, files, error)) {
        std::fprintf(err, "velbrook-cli: %s: %s\n", torrentPath.c_str(), error.c_str());
        return 2;
    }
    struct stat st {};
    if (::stat(saveDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(err, "velbrook-cli: %s: not a folder\n", saveDir.c_str());
        return 2;
    }
    // Only an absent file (or folder) means missing pieces. A file that is there but cannot be
    // read says nothing about its data, and must not be reported as bad.
    FileStorage storage(files);
    storage.OpenForCheck(saveDir);
    bool unreadable = false;
    for (size_t i = 0; i < files.m_files.size(); ++i) {
        const FileCause cause = storage.LastCause(i);
        if (cause != CauseNone && cause != CauseFileNotFound && cause != CauseBadPath) {
            std::fprintf(err, "velbrook-cli: %s: cannot be checked: %s\n",
                         storage.FullPath(i).c_str(), OpenFailure(cause));
            unreadable = true;
        }
    }
    if (unreadable) {
        storage.CloseAll();
        return 2;
    }

    const int64_t pieceCount = files.PieceCount();
    BitField pieces(files.m_totalLength, files.m_pieceLength);
    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    double lastShown = 0;
    int64_t good = 0;
    for (int64_t i = 0; i < pieceCount; ++i) {
        const auto index = static_cast<uint32_t>(i);
        int64_t offset = 0;
        uint32_t length = 0;
        pieces.GetSpan(index, offset, length);
        const bool ok = storage.CheckSpan(offset, length, files.PieceHash(i));
        pieces.SetState(index, ok ? Have : Missing);
        good += ok ? 1 : 0;
        if (showProgress && Now() - lastShown >= 0.2) {
            lastShown = Now();
            std::fprintf(err, "\rChecking %s: %" PRId64 " of %" PRId64 " pieces (%.0f%%)",
                         files.m_saveName.c_str(), i + 1, pieceCount,
                         100.0 * static_cast<double>(i + 1) / static_cast<double>(pieceCount));
            std::fflush(err);
        }
    }
    if (showProgress) {
        std::fputs("\r\033[K", err);
    }
    storage.CloseAll();

    for (const auto& file : files.m_files) {
        const int64_t complete = pieces.CountBytesInState(Have, file->m_startAt, file->m_size);
        std::fprintf(out, "%s: %" PRId64 " of %" PRId64 " bytes complete\n",
                     file->m_relativePathName.c_str(), complete, file->m_size);
    }
    std::fprintf(out, "%" PRId64 " of %" PRId64 " pieces OK\n", good, pieceCount);
    if (std::fflush(out) != 0) {
        return 2;
    }
    return good == pieceCount ? 0 : 1;
}

}  // namespace velbrook::cli
