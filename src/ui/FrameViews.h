// The four views of the main window, made in one place so that each pane's class is named once.
#pragma once

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

namespace velbrook {

class CVelbrookDoc;

struct FrameViews {
    // The detail list comes first and goes last: the two trees beside it refer to it.
    std::unique_ptr<QWidget> status;  // the detail list (bottom right)
    std::unique_ptr<QWidget> left;    // the category tree (left)
    std::unique_ptr<QWidget> list;    // the torrent list (top right)
    std::unique_ptr<QWidget> tree;    // the detail selector (bottom, beside the detail list)
    // The updates from the document of the views that show torrents (the trees show the
    // layout only).
    std::vector<std::function<void()>> updates;

    // In the order F6 walks them, which is also how scripts name them.
    static constexpr const char* kPaneNames[] = {"left", "list", "tree", "status"};
    std::array<QWidget*, 4> Panes() const {
        return {left.get(), list.get(), tree.get(), status.get()};
    }
};

FrameViews MakeFrameViews(CVelbrookDoc& doc);

}  // namespace velbrook
