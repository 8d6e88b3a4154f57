#include "app/QtDialogPrompts.h"

#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStyle>

namespace morvex {

namespace {

QString FromView(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

QtDialogPrompts::QtDialogPrompts(QWidget* ownerWindow) : owner(ownerWindow) {}

void QtDialogPrompts::ShowMessage(const MessageText& message) {
    const QString title = FromView(message.title);
    QMessageBox box(message.icon == MessageIcon::Question ? QMessageBox::Question : QMessageBox::Information, title,
                    FromView(message.text), QMessageBox::Ok, owner);
    box.setWindowModality(Qt::WindowModal);
    // A box only as wide as a short text would clip its title ("C..." for "Canceled"): the title
    // bar needs the title's width plus room for its buttons.
    const QFontMetrics metrics(box.font());
    const int titleWidth = metrics.horizontalAdvance(title) + 4 * box.style()->pixelMetric(QStyle::PM_TitleBarHeight);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(),
                      0, 1, grid->columnCount());
    }
    box.exec();
}

std::optional<QString> QtDialogPrompts::ChooseFile() {
    // Qt's "*.*" would only match names with a dot, so "all files" is spelt "*" here.
    const QString path = QFileDialog::getOpenFileName(owner, FromView(kPickerTitle), QString(),
                                                      QStringLiteral("All Files (*)"), nullptr, QFileDialog::ReadOnly);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return path;
}

}  // namespace morvex
