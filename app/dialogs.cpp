#include "app/dialogs.h"

#include <QApplication>
#include <QMessageBox>

namespace {

QString Caption() { return QApplication::applicationDisplayName(); }

// A hidden parent (the window during its deferred close) must not hide the box with it.
QWidget* VisibleParent(QWidget* parent) {
  return parent != nullptr && parent->isVisible() ? parent : nullptr;
}

}  // namespace

void MessageBoxDialogs::Error(const QString& text) {
  QMessageBox::critical(VisibleParent(parent_), Caption(), text, QMessageBox::Ok);
}

void MessageBoxDialogs::Info(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, Caption(), text, QMessageBox::Ok, VisibleParent(parent_));
  box.exec();
}

bool MessageBoxDialogs::Ask(const QString& text) {
  return QMessageBox::question(VisibleParent(parent_), Caption(), text,
                               QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::Yes) == QMessageBox::Yes;
}
