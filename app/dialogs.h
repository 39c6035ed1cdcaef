#pragma once
// Message boxes and questions of the window behind a small interface, so that tests answer
// them without a modal loop.

#include <QString>

class QWidget;

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // An error report with an OK button.
  virtual void Error(const QString& text) = 0;
  // A plain message with an OK button.
  virtual void Info(const QString& text) = 0;
  // A question with Yes and No, Yes being the default; true for Yes.
  virtual bool Ask(const QString& text) = 0;
};

// The real message boxes, captioned with the application's title.
class MessageBoxDialogs : public Dialogs {
 public:
  explicit MessageBoxDialogs(QWidget* parent = nullptr) : parent_(parent) {}

  void Error(const QString& text) override;
  void Info(const QString& text) override;
  bool Ask(const QString& text) override;

 private:
  QWidget* parent_;
};
