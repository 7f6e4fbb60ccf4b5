// The four views of the main window, made in one place so that each pane's class is named once.
#pragma once

#include <QWidget>

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
    // Each view's update from the document, in the order above the panes' creation order.
    std::vector<std::function<void()>> updates;
};

FrameViews MakeFrameViews(CVelbrookDoc& doc);

}  // namespace velbrook
