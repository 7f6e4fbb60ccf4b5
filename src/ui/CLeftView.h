// The tree in the left pane: the program's main sections. Its items can switch the detail list
// between the peers and the files of the shown torrent, or name an address.
#pragma once

#include "ui/CStyleTree.h"

namespace velbrook {

class CLeftView : public CStyleTree {
    Q_OBJECT

public:
    CLeftView(CVelbrookDoc& doc, CVelbrookView& status, QWidget* parent = nullptr);

protected:
    void OnChoose(const std::string& type, const std::string& value) override;
};

}  // namespace velbrook
