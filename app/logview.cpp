#include "app/logview.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QKeySequence>
#include <QScrollBar>
#include <algorithm>

namespace {
// Room beside the text in a row, as the item delegate leaves it.
constexpr int kRowTextMargin = 8;
constexpr int kRowVerticalMargin = 2;
}  // namespace

void LogLinesModel::Append(const QString& line) {
  lines_.append(line);
  // Every row has the width of the widest line, so the view can scroll to its end without
  // measuring every row.
  if (!line.isEmpty()) widest_ = std::max(widest_, QFontMetrics(font_).horizontalAdvance(line));
}

void LogLinesModel::Clear() {
  beginResetModel();
  lines_.clear();
  shown_ = 0;
  widest_ = 0;
  endResetModel();
}

bool LogLinesModel::Publish() {
  if (!HasUnpublished()) return false;
  const bool wider = shown_ > 0;
  beginInsertRows(QModelIndex(), shown_, int(lines_.size()) - 1);
  shown_ = int(lines_.size());
  endInsertRows();
  // The rows share one size: a wider new line changes it for the rows already shown.
  if (wider) emit dataChanged(index(0), index(0), {Qt::SizeHintRole});
  return true;
}

void LogLinesModel::SetFont(const QFont& font) {
  font_ = font;
  lineHeight_ = QFontMetrics(font_).height() + kRowVerticalMargin;
  widest_ = 0;
  for (const QString& line : std::as_const(lines_))
    if (!line.isEmpty()) widest_ = std::max(widest_, QFontMetrics(font_).horizontalAdvance(line));
}

int LogLinesModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shown_;
}

QVariant LogLinesModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shown_) return {};
  switch (role) {
    case Qt::DisplayRole:
      return lines_.at(index.row());
    case Qt::SizeHintRole:
      return QSize(widest_ + kRowTextMargin, lineHeight_);
    default:
      return {};
  }
}

// ---------------------------------------------------------------------------------------------

TLogView::TLogView(QWidget* parent) : QListView(parent), model_(new LogLinesModel(this)) {
  model_->SetFont(font());
  setModel(model_);
  setUniformItemSizes(true);
  setWordWrap(false);
  setTextElideMode(Qt::ElideNone);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  batch_.setSingleShot(true);
  batch_.setInterval(kBatchMs);
  connect(&batch_, &QTimer::timeout, this, &TLogView::Flush);
}

void TLogView::AppendLine(const QString& line) {
  model_->Append(line);
  if (!batch_.isActive()) batch_.start();
}

void TLogView::Clear() {
  batch_.stop();
  model_->Clear();
}

void TLogView::Flush() {
  batch_.stop();
  // Follows the end of the log only while the user is there; someone reading older lines
  // keeps their place.
  const QScrollBar* bar = verticalScrollBar();
  const bool atEnd = model_->rowCount() == 0 || bar->value() >= bar->maximum();
  if (!model_->Publish()) return;
  if (atEnd) scrollToBottom();
}

void TLogView::changeEvent(QEvent* event) {
  QListView::changeEvent(event);
  if (event->type() == QEvent::FontChange) model_->SetFont(font());
}

void TLogView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    // The selected lines, in log order, one per line.
    QModelIndexList selected = selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList text;
    text.reserve(selected.size());
    for (const QModelIndex& index : std::as_const(selected)) text.append(Lines().at(index.row()));
    if (!text.isEmpty()) QApplication::clipboard()->setText(text.join(QLatin1Char('\n')));
    event->accept();
    return;
  }
  QListView::keyPressEvent(event);
}
