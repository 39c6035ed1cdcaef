#include "app/logview.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace {
constexpr int kTextMargin = 3;  // pixels left of the text, and right of the widest line
}  // namespace

TLogView::TLogView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  MeasureFont();
  batch_.setSingleShot(true);
  batch_.setInterval(kBatchMs);
  connect(&batch_, &QTimer::timeout, this, &TLogView::Flush);
  UpdateScrollBars();
}

void TLogView::MeasureFont() {
  const QFontMetrics metrics(font());
  rowHeight_ = std::max(1, metrics.height() + 2);
  textOffset_ = (rowHeight_ - metrics.height()) / 2;
}

void TLogView::AppendLine(const QString& line) {
  // A text with line breaks is several lines, as a text view would take it.
  const QStringList parts =
      line.contains(QLatin1Char('\n')) ? line.split(QLatin1Char('\n')) : QStringList{line};
  for (const QString& part : parts) {
    lines_.Append(part);
    // The widest line sets how far the view scrolls sideways.
    widest_ = std::max(widest_, LineWidth(part));
  }
  if (!batch_.isActive()) batch_.start();
}

int TLogView::LineWidth(const QString& line) {
  if (advances_.empty()) advances_.assign(0x10000, 0);
  int width = 0;
  for (const QChar c : line) {
    quint16& advance = advances_[c.unicode()];
    if (advance == 0) {
      // Surrogates and zero-width characters are taken as one pixel wide: never measured
      // twice, and a line of them still gets some room.
      const int measured = c.isSurrogate() ? 0 : QFontMetrics(font()).horizontalAdvance(c);
      advance = quint16(std::clamp(measured, 1, 0xFFFF));
    }
    width += advance;
  }
  return width;
}

void TLogView::Clear() {
  batch_.stop();
  lines_.Clear();
  shown_ = 0;
  widest_ = 0;
  laidOut_.clear();
  selAnchor_ = selCurrent_ = -1;
  UpdateScrollBars();
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  viewport()->update();
}

bool TLogView::AtEnd() const {
  const QScrollBar* bar = verticalScrollBar();
  return bar->value() >= bar->maximum();
}

void TLogView::Flush() {
  batch_.stop();
  if (shown_ == lines_.Size()) return;
  // Follows the end of the log only while the user is there; someone reading older lines
  // keeps their place.
  const bool atEnd = AtEnd();
  const int firstNew = shown_;
  shown_ = int(lines_.Size());
  UpdateScrollBars();
  if (atEnd && verticalScrollBar()->value() != verticalScrollBar()->maximum()) {
    // Moves what is in sight up and paints only the rows that come in (scrollContentsBy).
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  } else {
    // New rows inside the view's height (a log not yet filling it) need painting.
    const int top = (firstNew - verticalScrollBar()->value()) * rowHeight_;
    if (top < viewport()->height()) viewport()->update(0, top, viewport()->width(), viewport()->height() - top);
  }
}

void TLogView::UpdateScrollBars() {
  const int rowsInSight = std::max(1, viewport()->height() / rowHeight_);
  QScrollBar* vertical = verticalScrollBar();
  vertical->setRange(0, std::max(0, shown_ - rowsInSight));
  vertical->setPageStep(rowsInSight);
  vertical->setSingleStep(1);
  QScrollBar* horizontal = horizontalScrollBar();
  horizontal->setRange(0, std::max(0, widest_ + 2 * kTextMargin - viewport()->width()));
  horizontal->setPageStep(viewport()->width());
  horizontal->setSingleStep(20);
}

int TLogView::RowAt(int y) const {
  if (y < 0) return -1;
  const int row = verticalScrollBar()->value() + y / rowHeight_;
  return row < shown_ ? row : -1;
}

int TLogView::FirstVisibleRow() const { return shown_ > 0 ? verticalScrollBar()->value() : -1; }

int TLogView::LastVisibleRow() const {
  if (shown_ == 0) return -1;
  const int last = verticalScrollBar()->value() + (viewport()->height() - 1) / rowHeight_;
  return std::min(last, shown_ - 1);
}

void TLogView::paintEvent(QPaintEvent* event) {
  if (shown_ == 0) return;
  QPainter painter(viewport());
  const QRect area = event->rect();
  const int first = verticalScrollBar()->value();
  const int from = first + std::max(0, area.top()) / rowHeight_;
  const int to = std::min(shown_ - 1, first + area.bottom() / rowHeight_);
  const int x = kTextMargin - horizontalScrollBar()->value();
  const int selFirst = std::min(selAnchor_, selCurrent_);
  const int selLast = std::max(selAnchor_, selCurrent_);
  const QPalette& colours = palette();
  for (int row = from; row <= to; ++row) {
    const int y = (row - first) * rowHeight_;
    const bool selected = selAnchor_ >= 0 && row >= selFirst && row <= selLast;
    if (selected) painter.fillRect(QRect(0, y, viewport()->width(), rowHeight_), colours.highlight());
    painter.setPen(colours.color(selected ? QPalette::HighlightedText : QPalette::Text));
    auto it = laidOut_.find(row);
    if (it == laidOut_.end()) {
      QStaticText text(lines_.At(row));
      text.setTextFormat(Qt::PlainText);
      text.prepare(QTransform(), font());
      it = laidOut_.insert(row, text);
    }
    painter.drawStaticText(x, y + textOffset_, *it);
  }
  // Only the rows in sight (and about a screen around them) stay laid out.
  const int rowsInSight = viewport()->height() / rowHeight_ + 1;
  if (laidOut_.size() > 3 * rowsInSight + 16) {
    for (auto it = laidOut_.begin(); it != laidOut_.end();) {
      if (it.key() < first - rowsInSight || it.key() > first + 2 * rowsInSight)
        it = laidOut_.erase(it);
      else
        ++it;
    }
  }
}

void TLogView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  const bool atEnd = AtEnd();
  UpdateScrollBars();
  if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TLogView::scrollContentsBy(int dx, int dy) {
  // Vertical steps are rows; the pixels in sight move and only what comes in is painted.
  viewport()->scroll(dx, dy * rowHeight_);
}

void TLogView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() != QEvent::FontChange) return;
  MeasureFont();
  laidOut_.clear();
  advances_.clear();
  widest_ = 0;
  for (qsizetype i = 0; i < lines_.Size(); ++i) widest_ = std::max(widest_, LineWidth(lines_.At(i)));
  UpdateScrollBars();
  viewport()->update();
}

void TLogView::SelectRows(int first, int last) {
  if (shown_ == 0 || first < 0) {
    selAnchor_ = selCurrent_ = -1;
  } else {
    selAnchor_ = std::clamp(first, 0, shown_ - 1);
    selCurrent_ = std::clamp(last, 0, shown_ - 1);
  }
  viewport()->update();
}

QStringList TLogView::SelectedLines() const {
  if (selAnchor_ < 0) return {};
  const int first = std::min(selAnchor_, selCurrent_);
  const int last = std::max(selAnchor_, selCurrent_);
  return lines_.Mid(first, last - first + 1);
}

void TLogView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    const QStringList selected = SelectedLines();
    if (!selected.isEmpty()) QApplication::clipboard()->setText(selected.join(QLatin1Char('\n')));
    event->accept();
    return;
  }
  if (event->matches(QKeySequence::SelectAll)) {
    SelectRows(0, shown_ - 1);
    event->accept();
    return;
  }
  if (event->matches(QKeySequence::MoveToStartOfDocument)) {
    verticalScrollBar()->setValue(0);
    event->accept();
    return;
  }
  if (event->matches(QKeySequence::MoveToEndOfDocument)) {
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    event->accept();
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

void TLogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  const int row = RowAt(event->position().toPoint().y());
  if (row < 0) {
    SelectRows(-1, -1);
    return;
  }
  if ((event->modifiers() & Qt::ShiftModifier) && selAnchor_ >= 0)
    SelectRows(selAnchor_, row);
  else
    SelectRows(row, row);
}

void TLogView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || selAnchor_ < 0)
    return QAbstractScrollArea::mouseMoveEvent(event);
  const int y = std::clamp(int(event->position().y()), 0, viewport()->height() - 1);
  const int row = RowAt(y);
  SelectRows(selAnchor_, row < 0 ? shown_ - 1 : row);
}
