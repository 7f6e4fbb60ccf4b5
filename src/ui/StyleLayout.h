// The views' side of Style.xml: finding their elements, building columns and trees from them,
// writing column widths back, and filling rows without redrawing cells that did not change.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

namespace velbrook {

class CVelbrookDoc;
class CXML;

inline constexpr char kNoTorrentListMessage[] = "can't find TorrentList in Style XML file!";
inline constexpr char kNoTorrentListPopUpMessage[] =
    "Can't find TorrentListPopUp in Style XML file!";
inline constexpr char kNoStatusListItemsMessage[] =
    "can't find some items for BTView in Style XML file!";

// The root's first direct child named `name` and, when `child` is given, that element's first
// child named `child`. Null when either is missing (or the file could not be read at all).
CXML* FindStyleElement(CVelbrookDoc& doc, std::string_view name, std::string_view child = {});
// One of the messages above, as a plain box with an OK button.
void ShowStyleMessage(CVelbrookDoc& doc, const char* text);

// A flat list of rows with one column per field: whole rows selected, several at once, and no
// columns until BuildColumns.
void SetUpReportList(QTreeWidget& list);
// Deletes every row and column, then adds one column per child of `columns`: header `name`,
// width `size`, alignment `align` ("right" and "center" exactly; anything else is left).
void BuildColumns(QTreeWidget& list, CXML& columns);
// Writes the width of column i into the `size` of the i-th child of `columns`.
void SaveColumnWidths(const QTreeWidget& list, CXML& columns);

// Adds empty rows up to `count` (each cell aligned as its column); with `trim`, deletes the rows
// from `count` on.
void SetRowCount(QTreeWidget& list, int count, bool trim);
// Sets the text of a cell of an existing row, as one line with its control characters replaced;
// a cell that already shows it is left alone, so a refresh that changes nothing costs no redraw.
void SetCell(QTreeWidget& list, int row, int column, const std::string& text);

// The lowest selected row, -1 when none is.
int FirstSelectedRow(const QTreeWidget& list);

// printf into a std::string, for the cells' fixed formats.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Deletes every item and rebuilds the tree from the children of `root`, depth first: the label is
// `name`, or the element's own name when that is empty; `infotip` is the tooltip; the item's data
// is its index in `items`, which receives each item's element in insertion order. A null `root`
// leaves the tree empty.
void BuildTree(QTreeWidget& tree, CXML* root, std::vector<CXML*>& items);
// The element of a tree item built by BuildTree; null for an item it did not make.
CXML* TreeItemElement(const QTreeWidgetItem* item, const std::vector<CXML*>& items);

}  // namespace velbrook
