#include "ui/CPropertyPage_Download.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/CIntegerEdit.h"

namespace velbrook {

CPropertyPage_Download::CPropertyPage_Download(QWidget* parent) : COptionsPage(parent) {
    auto* files = new QGroupBox(QStringLiteral("文件"), this);
    auto* fileGrid = new QGridLayout(files);
    fileGrid->addWidget(AddCheck(AllocateBeforeDownload, QStringLiteral("下载前先分配磁盘空间")), 0,
                        0, 1, 2);
    fileGrid->addWidget(AddCheck(PromptExistFileFirstTime,
                                 QStringLiteral("目标文件存在时提示覆盖（新添的下载有效）")),
                        1, 0, 1, 2);
    fileGrid->addWidget(
        AddCheck(FastResume, QStringLiteral("快速续传（缓存下载情况，续传时不用重新检查文件）")), 2,
        0, 1, 2);
    fileGrid->addWidget(AddCheck(TorrentCache, QStringLiteral("缓存Torrent文件")), 3, 0, 1, 2);
    fileGrid->addWidget(new QLabel(QStringLiteral("缺省下载目录:"), files), 4, 0);
    fileGrid->addWidget(AddText(DefaultDownloadPath), 4, 1);
    fileGrid->addWidget(new QLabel(QStringLiteral("监视目录:"), files), 5, 0);
    fileGrid->addWidget(AddText(WatchFolder), 5, 1);

    auto* limits = new QGroupBox(QStringLiteral("下载时限速"), this);
    auto* limitGrid = new QGridLayout(limits);
    AddIntegerRow(*limitGrid, 0, QStringLiteral("最多上传的Peer数（一般>10）:"), MaxUpLoadSlots,
                  QStringLiteral("Slots"));
    AddIntegerRow(*limitGrid, 1, QStringLiteral("允许的上传/下载速率比（单个Peer）"), UpDownRatio,
                  QStringLiteral("% (100%-300%)"));
    AddIntegerRow(*limitGrid, 2, QStringLiteral("每个上传的最小允许速率"), MinUploadRate,
                  QStringLiteral("kB/s"));

    auto* page = new QVBoxLayout(this);
    page->addWidget(files);
    page->addWidget(limits);
    page->addStretch();
}

}  // namespace velbrook
