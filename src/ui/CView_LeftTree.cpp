#include "ui/CView_LeftTree.h"

#include "ui/CVelbrookView.h"

namespace velbrook {

CView_LeftTree::CView_LeftTree(CVelbrookDoc& doc, CVelbrookView& status, QWidget* parent)
    : CStyleTree(doc, status, "StatusLeftTree", parent) {}

void CView_LeftTree::OnChoose(const std::string& type, const std::string& value) {
    const int mode = CVelbrookView::ModeFromName(value);
    if (type == "view" && mode != CVelbrookView::kNone) {
        m_status.SetMode(mode);
    }
}

}  // namespace velbrook
