// What both navigation trees share: items built from one element of the layout, with their
// tooltips, and a choice made by selecting an item.
#pragma once

#include <QTreeWidget>

#include <string>
#include <vector>

namespace velbrook {

class CVelbrookDoc;
class CVelbrookView;
class CXML;

class CStyleTree : public QTreeWidget {
    Q_OBJECT

public:
    // Built at once from the root's child `rootName`; without one the tree stays empty.
    CStyleTree(CVelbrookDoc& doc, CVelbrookView& status, const char* rootName, QWidget* parent);

    // Rebuilds the items from the layout.
    void OnInitialUpdate();

protected:
    // The selected item's `type` and `value`.
    virtual void OnChoose(const std::string& type, const std::string& value) = 0;

    void mousePressEvent(QMouseEvent* event) override;

    CVelbrookDoc& m_doc;
    CVelbrookView& m_status;

private:
    void Act(const QTreeWidgetItem* item);

    const char* m_rootName;
    std::vector<CXML*> m_items;
    const QTreeWidgetItem* m_pressedSelected = nullptr;
};

}  // namespace velbrook
