#include "ui/CStyleTree.h"

#include <QMouseEvent>

#include "persist/CXML.h"
#include "ui/StyleLayout.h"

namespace velbrook {

CStyleTree::CStyleTree(CVelbrookDoc& doc, CVelbrookView& status, const char* rootName,
                       QWidget* parent)
    : QTreeWidget(parent), m_doc(doc), m_status(status), m_rootName(rootName) {
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] {
        const QList<QTreeWidgetItem*> selected = selectedItems();
        if (!selected.isEmpty()) {
            Act(selected.front());
        }
    });
    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        if (item == m_pressedSelected) {
            Act(item);
        }
    });
    OnInitialUpdate();
}

void CStyleTree::OnInitialUpdate() {
    const QSignalBlocker quiet(this);  // rebuilding chooses nothing
    BuildTree(*this, FindStyleElement(m_doc, m_rootName), m_items);
    expandAll();
}

// A click on the item already selected acts again: the detail list may have been switched
// elsewhere since (a double click into a peer's log).
void CStyleTree::mousePressEvent(QMouseEvent* event) {
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    m_pressedSelected = item && item->isSelected() ? item : nullptr;
    QTreeWidget::mousePressEvent(event);
}

void CStyleTree::Act(const QTreeWidgetItem* item) {
    if (CXML* element = TreeItemElement(item, m_items)) {
        OnChoose(element->GetAttribute("type"), element->GetAttribute("value"));
    }
}

}  // namespace velbrook
