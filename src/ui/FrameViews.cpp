#include "ui/FrameViews.h"

#include "ui/CLeftView.h"
#include "ui/CVelbrookView.h"
#include "ui/CView_LeftTree.h"
#include "ui/CView_TorrentList.h"

namespace velbrook {

namespace {

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
    auto status = std::make_unique<CVelbrookView>(doc);
    Keep(views, views.left, std::make_unique<CLeftView>(doc, *status));
    Keep(views, views.list, std::make_unique<CView_TorrentList>(doc));
    Keep(views, views.tree, std::make_unique<CView_LeftTree>(doc, *status));
    Keep(views, views.status, std::move(status));
    return views;
}

}  // namespace velbrook
