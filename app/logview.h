#pragma once
// The window's log view. A run writes hundreds of thousands of lines, each added while the
// writing thread waits. A text document lays out and keeps every line as a block, and an
// item view re-lays all its rows whenever rows are added, so either costs more the longer the
// log grows. Here the lines are kept as UTF-8 end to end (a country's log in a fraction of
// the room), new lines are shown in batches, and a paint lays out only the rows in sight,
// keeping the few it has laid out already: adding a line costs the same at the 1st and at
// the 200,000th.

#include <QAbstractScrollArea>
#include <QHash>
#include <QStaticText>
#include <QStringList>
#include <QTimer>
#include <vector>

#include "text/utf8lines.h"

class TLogView : public QAbstractScrollArea {
  Q_OBJECT
  // For tools that look at the window from outside (the install check's probe).
  Q_PROPERTY(QString plainText READ toPlainText)

 public:
  explicit TLogView(QWidget* parent = nullptr);

  // Stores the line at once (LinesFrom() has it when this returns); the view shows it with
  // the next batch.
  void AppendLine(const QString& line);
  void Clear();
  qsizetype LineCount() const { return lines_.Size(); }
  // The stored lines from `first` on, at most `count` of them.
  QStringList LinesFrom(qsizetype first, qsizetype count) const { return lines_.Mid(first, count); }
  // The lines joined by line feeds, as a text view would give them.
  QString toPlainText() const { return lines_.Mid(0, lines_.Size()).join(QLatin1Char('\n')); }

  // Shows the stored lines now instead of at the next batch.
  void Flush();
  int ShownLines() const { return shown_; }
  // Rows of the log in sight: the first (partly) and the last (partly) visible one, -1 when
  // nothing is shown.
  int FirstVisibleRow() const;
  int LastVisibleRow() const;
  int RowHeight() const { return rowHeight_; }

  // The selected lines, a range of rows (the mouse, Shift and Ctrl+A select; Ctrl+C copies).
  void SelectRows(int first, int last);
  QStringList SelectedLines() const;

  // How long new lines may wait before the view shows them.
  static constexpr int kBatchMs = 250;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void UpdateScrollBars();
  void MeasureFont();
  int RowAt(int y) const;  // -1 outside the shown rows
  // A line's width as the sum of its characters' advances: no text shaping, which would cost
  // far more than the rest of adding a line. Kerning makes it differ by a pixel or so.
  int LineWidth(const QString& line);
  bool AtEnd() const;

  Utf8Lines lines_;
  int shown_ = 0;       // lines the view shows; the rest wait for the batch
  int widest_ = 0;      // pixels, of the widest line stored
  int rowHeight_ = 1;
  int textOffset_ = 0;  // from a row's top to the text's
  int selAnchor_ = -1;  // selection: from the anchor row to the current row
  int selCurrent_ = -1;
  // Rows laid out for painting, by row number; only those in sight are kept.
  QHash<int, QStaticText> laidOut_;
  // Advances of the characters met so far, by UTF-16 code unit; 0: not yet measured.
  std::vector<quint16> advances_;
  QTimer batch_;
};
