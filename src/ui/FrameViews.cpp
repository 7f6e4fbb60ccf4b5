#include "ui/FrameViews.h"

#include "ui/CLeftView.h"
#include "ui/CVelbrookView.h"
#include "ui/CView_LeftTree.h"
#include "ui/CView_TorrentList.h"

namespace velbrook {

FrameViews MakeFrameViews(CVelbrookDoc& doc) {
    FrameViews views;
    auto status = std::make_unique<CVelbrookView>(doc);
    auto list = std::make_unique<CView_TorrentList>(doc);
    views.updates = {[view = list.get()] { view->OnUpdate(); },
                     [view = status.get()] { view->OnUpdate(); }};
    views.left = std::make_unique<CLeftView>(doc, *status);
    views.list = std::move(list);
    views.tree = std::make_unique<CView_LeftTree>(doc, *status);
    views.status = std::move(status);
    return views;
}

}  // namespace velbrook
