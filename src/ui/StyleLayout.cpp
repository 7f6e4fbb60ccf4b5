#include "ui/StyleLayout.h"

#include <QHeaderView>
#include <QString>
#include <QTreeWidget>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "engine/CVelbrookDoc.h"
#include "engine/UiHost.h"
#include "persist/CXML.h"
#include "persist/PrintableText.h"

namespace velbrook {

namespace {

Qt::Alignment AlignmentOf(const std::string& align) {
    if (align == "right") {
        return Qt::AlignRight | Qt::AlignVCenter;
    }
    if (align == "center") {
        return Qt::AlignHCenter | Qt::AlignVCenter;
    }
    return Qt::AlignLeft | Qt::AlignVCenter;
}

Qt::Alignment ColumnAlignment(const QTreeWidget& list, int column) {
    return qvariant_cast<Qt::Alignment>(list.headerItem()->data(column, Qt::TextAlignmentRole));
}

void AddTreeItems(QTreeWidget& tree, QTreeWidgetItem* parent, CXML& element,
                  std::vector<CXML*>& items) {
    for (CXML* child = element.GetFirstChild(); child; child = element.GetNextChild()) {
        std::string label = child->GetAttribute("name");
        if (label.empty()) {
            label = child->GetName();
        }
        auto owned = std::make_unique<QTreeWidgetItem>();
        QTreeWidgetItem* item = owned.get();
        item->setText(0, QString::fromStdString(label));
        item->setToolTip(0, QString::fromStdString(child->GetAttribute("infotip")));
        item->setData(0, Qt::UserRole, static_cast<qulonglong>(items.size()));
        items.push_back(child);
        // The tree owns its items from here on.
        if (parent) {
            parent->addChild(owned.release());
        } else {
            tree.addTopLevelItem(owned.release());
        }
        AddTreeItems(tree, item, *child, items);
    }
}

}  // namespace

CXML* FindStyleElement(CVelbrookDoc& doc, std::string_view name, std::string_view child) {
    CXML* element = doc.Style().FindChild(name);
    if (element && !child.empty()) {
        element = element->FindChild(child);
    }
    return element;
}

void ShowStyleMessage(CVelbrookDoc& doc, const char* text) {
    doc.Ui().ShowMessage(text, MessageIcon::Warning);
}

void SetUpReportList(QTreeWidget& list) {
    list.setRootIsDecorated(false);
    list.setItemsExpandable(false);
    list.setUniformRowHeights(true);
    list.setAllColumnsShowFocus(true);
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    list.setSelectionBehavior(QAbstractItemView::SelectRows);
    // The widths are the person's: the last column must not follow the window's width.
    list.header()->setStretchLastSection(false);
    // Only widths are kept, by position: a column dragged elsewhere would lose its place at the
    // next start.
    list.header()->setSectionsMovable(false);
    list.setColumnCount(0);
}

void BuildColumns(QTreeWidget& list, CXML& columns) {
    list.clear();
    list.setColumnCount(0);
    QStringList headers;
    std::vector<std::pair<int, Qt::Alignment>> layout;
    for (CXML* column = columns.GetFirstChild(); column; column = columns.GetNextChild()) {
        headers << QString::fromStdString(column->GetAttribute("name"));
        layout.emplace_back(column->GetAttributeInt("size"),
                            AlignmentOf(column->GetAttribute("align")));
    }
    list.setColumnCount(static_cast<int>(layout.size()));
    list.setHeaderLabels(headers);
    for (int i = 0; i < static_cast<int>(layout.size()); ++i) {
        list.headerItem()->setTextAlignment(i, layout[i].second);
        list.header()->resizeSection(i, std::max(0, layout[i].first));
    }
}

void SaveColumnWidths(const QTreeWidget& list, CXML& columns) {
    int i = 0;
    for (CXML* column = columns.GetFirstChild(); column && i < list.columnCount();
         column = columns.GetNextChild(), ++i) {
        column->SetAttribute("size", list.columnWidth(i));
    }
}

void SetRowCount(QTreeWidget& list, int count, bool trim) {
    if (list.topLevelItemCount() < count) {
        // Added in one call: one model notification however many rows a refresh brings.
        QList<QTreeWidgetItem*> rows;
        rows.reserve(count - list.topLevelItemCount());
        for (int row = list.topLevelItemCount(); row < count; ++row) {
            auto item = std::make_unique<QTreeWidgetItem>();
            for (int column = 0; column < list.columnCount(); ++column) {
                item->setTextAlignment(column, ColumnAlignment(list, column));
            }
            rows.append(item.release());
        }
        list.addTopLevelItems(rows);  // takes ownership
    }
    while (trim && list.topLevelItemCount() > count) {
        std::unique_ptr<QTreeWidgetItem> gone(list.takeTopLevelItem(list.topLevelItemCount() - 1));
    }
}

void SetCell(QTreeWidget& list, int row, int column, const std::string& text) {
    QTreeWidgetItem* item = list.topLevelItem(row);
    if (!item || column >= list.columnCount()) {
        return;
    }
    // Cells show what peers, trackers and files say: none of their control characters is drawn,
    // and a log line's "\r\n" does not make a second, empty line.
    const QString value = QString::fromStdString(PrintableLine(text));
    if (item->text(column) != value) {
        item->setText(column, value);
    }
}

int FirstSelectedRow(const QTreeWidget& list) {
    int first = -1;
    for (const QModelIndex& index : list.selectionModel()->selectedRows()) {
        first = first < 0 ? index.row() : std::min(first, index.row());
    }
    return first;
}

std::string FormatText(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return length < 0 ? std::string()
                      : std::string(text, std::min<size_t>(length, sizeof text - 1));
}

void BuildTree(QTreeWidget& tree, CXML* root, std::vector<CXML*>& items) {
    tree.clear();
    items.clear();
    if (root) {
        AddTreeItems(tree, nullptr, *root, items);
    }
}

CXML* TreeItemElement(const QTreeWidgetItem* item, const std::vector<CXML*>& items) {
    if (!item) {
        return nullptr;
    }
    bool ok = false;
    const qulonglong index = item->data(0, Qt::UserRole).toULongLong(&ok);
    return ok && index < items.size() ? items[index] : nullptr;
}

}  // namespace velbrook
