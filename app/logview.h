#pragma once
// The window's log view. A run writes hundreds of thousands of lines, each added while the
// writing thread waits: a text document would lay out and keep every line as a block, so
// each line would cost more the longer the log grew. Here the lines are a plain list and the
// view lays out only the rows in sight; adding a line costs the same at any length of the log.

#include <QAbstractListModel>
#include <QFont>
#include <QListView>
#include <QStringList>
#include <QTimer>

// The lines of the log. A line is stored at once (Lines() has it as soon as Append returns);
// views learn about new rows in batches (Publish), because a view re-lays its rows on every
// insertion it is told of.
class LogLinesModel : public QAbstractListModel {
 public:
  explicit LogLinesModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

  void Append(const QString& line);
  void Clear();
  // Tells the views about the lines stored since the last call; false when there were none.
  bool Publish();
  bool HasUnpublished() const { return shown_ < lines_.size(); }
  const QStringList& Lines() const { return lines_; }
  // The font the rows are drawn in, for their width.
  void SetFont(const QFont& font);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  QStringList lines_;
  int shown_ = 0;       // rows the views know of
  int widest_ = 0;      // pixels, of the widest line stored
  int lineHeight_ = 0;  // pixels
  QFont font_;
};

class TLogView : public QListView {
  Q_OBJECT

 public:
  explicit TLogView(QWidget* parent = nullptr);

  void AppendLine(const QString& line);
  void Clear();
  const QStringList& Lines() const { return model_->Lines(); }
  // The lines joined by line feeds, as a text view would give them.
  QString toPlainText() const { return model_->Lines().join(QLatin1Char('\n')); }
  // Makes the stored lines visible now instead of at the next batch.
  void Flush();

  // How long new lines may wait before the view shows them.
  static constexpr int kBatchMs = 100;

 protected:
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  LogLinesModel* model_;
  QTimer batch_;
};
