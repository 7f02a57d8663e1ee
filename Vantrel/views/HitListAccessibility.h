#pragma once
// What a screen reader reads of the hit list: a table laid out as Qt lays out its own (a corner, a header
// cell per column, a header cell before each row, then the row's cells, child by child), with names,
// headers, places and the keyboard's cell as Qt gives them, but whose selection is the model's. Qt's own
// table reads Qt's selection model, which holds none of a selection of many runs of rows (see
// HitsColumnList); here every cell's selected state, the selected rows and cells and isRowSelected are
// read from the model's selection however it is held.

#include <QAccessible>

namespace vantrel {

class HitsColumnList;

namespace HitListAccessibility {

// Installs the interfaces for every hit list (once a process); before the first list is asked for its.
void install();
// The child of the list's interface that stands for the cell (Qt's numbering); -1 for none.
int childOf(const HitsColumnList& list, const QModelIndex& index);
// Most selected rows whose cells selectedCells lists: a screen reader asking for the cells of a million
// rows would have seven million interfaces made. The counts and the list of rows are whole.
inline constexpr int maxListedRows = 1024;

} // namespace HitListAccessibility
} // namespace vantrel
