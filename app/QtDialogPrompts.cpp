#include "app/QtDialogPrompts.h"

#include <QFileDialog>
#include <QMessageBox>

namespace morvex {

QtDialogPrompts::QtDialogPrompts(QWidget* ownerWindow) : owner(ownerWindow) {}

void QtDialogPrompts::ShowMessage(const QString& text, const QString& title, MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Question ? QMessageBox::Question : QMessageBox::Information,
                    title, text, QMessageBox::Ok, owner);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

std::optional<QString> QtDialogPrompts::ChooseFile(const QString& title) {
    // Qt's "*.*" would only match names with a dot, so "all files" is spelt "*" here.
    const QString path = QFileDialog::getOpenFileName(owner, title, QString(), QStringLiteral("All Files (*)"),
                                                      nullptr, QFileDialog::ReadOnly);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return path;
}

}  // namespace morvex
