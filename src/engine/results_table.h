// The results list as the engine sees it, and the rest of the window that the engine reaches.
//
// Every operation may be called from any thread; the window carries it out on its own thread
// while the caller waits. Rows have identity: an update names the row it was inserted as, so
// once the list has been cleared an update for a former row vanishes instead of landing on
// whatever row now holds that position.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/text.h"

namespace ostrevan {

enum Column : int { kColumnIndex = 0, kColumnNumber = 1, kColumnNickname = 2, kColumnStatus = 3 };
inline constexpr int kColumnCount = 4;

struct Cell {
  int column;
  Text text;
};
using Cells = std::vector<Cell>;

using RowId = std::int64_t;
inline constexpr RowId kNoRow = -1;

class ResultsTable {
 public:
  virtual ~ResultsTable() = default;

  // Appends one row per entry, each already holding its cells, in one round trip. Returns the id
  // of the first new row; the others follow it in order (first + 1, ...). kNoRow when refused.
  virtual RowId InsertRows(const std::vector<Cells>& rows) = 0;
  // Replaces the given cells of a row in one round trip; a row that no longer exists is ignored.
  virtual void SetCells(RowId row, const Cells& cells) = 0;
  virtual void ClearRows() = 0;

  RowId InsertRow(const Cells& cells = {}) { return InsertRows({cells}); }
  void SetCell(RowId row, int column, const Text& text) { SetCells(row, {{column, text}}); }
};

// Hands out row ids and maps them to the positions of the rows that are in the list now. Rows
// are only appended, and removed all at once, so a range of ids describes them.
class RowIds {
 public:
  // Ids for count new rows at the end; returns the first.
  RowId Append(int count) {
    RowId first = next_;
    next_ += count;
    return first;
  }
  // The zero-based position of the row, or -1 when it is not in the list any more.
  int PositionOf(RowId row) const {
    return row >= base_ && row < next_ ? static_cast<int>(row - base_) : -1;
  }
  void Clear() { base_ = next_; }
  int Count() const { return static_cast<int>(next_ - base_); }

 private:
  RowId base_ = 0;
  RowId next_ = 0;
};

enum class ModeBox { Nickname, Avatar };

// The window, as far as the engine and the output commands need it.
class WindowPort : public ResultsTable {
 public:
  // 1 when the box is ticked, else 0. Window thread only.
  virtual int ReadChecked(ModeBox box) = 0;
  // The whole content of the input box in GBK, line breaks as "\r\n". Any thread.
  virtual Text ReadInputText() = 0;
};

}  // namespace ostrevan
