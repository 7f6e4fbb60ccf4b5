#include "ui/CLeftView.h"

#include "engine/CVelbrookDoc.h"
#include "engine/UiHost.h"
#include "ui/CVelbrookView.h"

namespace velbrook {

CLeftView::CLeftView(CVelbrookDoc& doc, CVelbrookView& status, QWidget* parent)
    : CStyleTree(doc, status, "LeftTree", parent) {}

void CLeftView::OnChoose(const std::string& type, const std::string& value) {
    if (type == "url") {
        m_doc.SetCurrentAddress(value);
        m_doc.Ui().PostUpdateAllViews();
    } else if (type == "view") {
        // This tree offers only the two lists of the shown torrent.
        const int mode = CVelbrookView::ModeFromName(value);
        if (mode == CVelbrookView::kPeerList || mode == CVelbrookView::kFileList) {
            m_status.SetMode(mode);
        }
    }
}

}  // namespace velbrook
