// The tree beside the detail list: chooses which of the five displays the detail list shows.
#pragma once

#include "ui/CStyleTree.h"

namespace velbrook {

class CView_LeftTree : public CStyleTree {
    Q_OBJECT

public:
    CView_LeftTree(CVelbrookDoc& doc, CVelbrookView& status, QWidget* parent = nullptr);

protected:
    void OnChoose(const std::string& type, const std::string& value) override;
};

}  // namespace velbrook
