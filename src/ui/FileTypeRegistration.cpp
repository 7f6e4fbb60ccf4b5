#include "ui/FileTypeRegistration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include "persist/Profile.h"

namespace velbrook {

namespace {

constexpr char kMimeType[] = "application/x-bittorrent";

constexpr char kMimePackage[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
    "  <mime-type type=\"application/x-bittorrent\">\n"
    "    <comment>BitTorrent File</comment>\n"
    "    <glob pattern=\"*.torrent\"/>\n"
    "  </mime-type>\n"
    "</mime-info>\n";

// A value of a desktop entry is a string in which a backslash starts an escape.
std::string EscapedValue(const std::string& text) {
    std::string value;
    for (const char c : text) {
        value += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return value;
}

// One argument of an Exec line: in double quotes, with the four characters that are special
// there escaped, and a percent sign doubled so it is not taken for a field code.
std::string QuotedArgument(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// Replaces the file only when its contents differ. True when it was written.
bool WriteIfChanged(const QString& path, const QByteArray& contents) {
    QFile current(path);
    if (current.open(QIODevice::ReadOnly) && current.readAll() == contents) {
        return false;
    }
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() &&
           file.commit();
}

void RunDetached(const char* tool, const QString& folder) {
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty()) {
        return;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments({folder});
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.startDetached();
}

}  // namespace

std::string DesktopEntryText(const std::string& exePath, const std::string& iconPath) {
    // A line break would end the entry's line; the file would say something else.
    if (exePath.find_first_of("\r\n") != std::string::npos ||
        iconPath.find_first_of("\r\n") != std::string::npos) {
        return {};
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Velbrook\n"
           "GenericName=BitTorrent Client\n"
           "GenericName[zh_CN]=BitTorrent 客户端\n"
           "Comment=Download and share files with BitTorrent\n"
           "Exec=" +
           EscapedValue(QuotedArgument(exePath)) +
           " %U\n"
           "Icon=" +
           EscapedValue(iconPath) +
           "\n"
           "Terminal=false\n"
           "Categories=Network;FileTransfer;P2P;Qt;\n"
           "MimeType=" +
           kMimeType + ";x-scheme-handler/magnet;\n";
}

void RegisterTorrentType(const std::string& exePath, const QIcon& icon) {
    const QString home = QString::fromStdString(DataHomeDir());
    const QString iconPath = home + "/icons/hicolor/64x64/apps/velbrook.png";
    if (!QFileInfo::exists(iconPath)) {
        QDir().mkpath(QFileInfo(iconPath).path());
        icon.pixmap(64, 64).save(iconPath, "PNG");
    }
    const std::string entry = DesktopEntryText(exePath, iconPath.toStdString());
    if (entry.empty()) {
        return;
    }
    const QString applications = home + "/applications";
    const QString mime = home + "/mime";
    if (WriteIfChanged(mime + "/packages/velbrook.xml", kMimePackage) ||
        !QFileInfo::exists(mime + "/" + kMimeType + ".xml")) {
        RunDetached("update-mime-database", mime);
    }
    if (WriteIfChanged(applications + "/velbrook.desktop", QByteArray::fromStdString(entry)) ||
        !QFileInfo::exists(applications + "/mimeinfo.cache")) {
        RunDetached("update-desktop-database", applications);
    }
}

}  // namespace velbrook
