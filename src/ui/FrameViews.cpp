#include "ui/FrameViews.h"

#include <QTreeWidget>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/TorrentSession.h"

namespace velbrook {

namespace {

// Plain panes that hold each place until the views proper are part of the program; they take
// what the views take.
class StandInDetails : public QTreeWidget {
public:
    explicit StandInDetails(CVelbrookDoc& /*doc*/, QWidget* parent = nullptr)
        : QTreeWidget(parent) {}
    void OnUpdate() {}
};

class StandInTree : public QTreeWidget {
public:
    StandInTree(CVelbrookDoc& /*doc*/, StandInDetails& /*status*/, QWidget* parent = nullptr)
        : QTreeWidget(parent) {}
    void OnUpdate() {}
};

class StandInList : public QTreeWidget {
public:
    explicit StandInList(CVelbrookDoc& doc, QWidget* parent = nullptr)
        : QTreeWidget(parent), m_doc(doc) {
        setHeaderLabels({"State", "Name", "%"});
    }
    void OnUpdate() {
        if (!m_doc.Downloads().TakeListChanged()) {
            return;
        }
        clear();
        const auto& sessions = m_doc.Downloads().Sessions();
        for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
            const TorrentSession& session = **it;
            static const char* const kStates[] = {"Unknown",     "Stop",      "Connect Tracker", "",
                                                  "Downloading", "Uploading", "Paused"};
            addTopLevelItem(new QTreeWidgetItem(
                {kStates[static_cast<int>(session.State())],
                 QString::fromStdString(session.Name() + "/" + session.BaseName()),
                 QString::number(session.PercentDone()) + "%"}));
        }
    }

private:
    CVelbrookDoc& m_doc;
};

template <typename View>
View& Keep(FrameViews& views, std::unique_ptr<QWidget>& slot, std::unique_ptr<View> view) {
    View& kept = *view;
    views.updates.push_back([&kept] { kept.OnUpdate(); });
    slot = std::move(view);
    return kept;
}

}  // namespace

FrameViews MakeFrameViews(CVelbrookDoc& doc) {
    FrameViews views;
    auto status = std::make_unique<StandInDetails>(doc);
    Keep(views, views.left, std::make_unique<StandInTree>(doc, *status));
    Keep(views, views.list, std::make_unique<StandInList>(doc));
    Keep(views, views.tree, std::make_unique<StandInTree>(doc, *status));
    Keep(views, views.status, std::move(status));
    return views;
}

}  // namespace velbrook
