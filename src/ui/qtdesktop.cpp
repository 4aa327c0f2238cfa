#include "ui/qtdesktop.h"

#include "platform/filesystem.h"
#include "productinfo.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QStringList>
#include <QUrl>

namespace platform {

namespace {

QWidget* dialogParent()
{
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    return QApplication::activeWindow();
}

QMessageBox::Icon boxIcon(Desktop::Icon icon)
{
    switch (icon) {
    case Desktop::Icon::Information:
        return QMessageBox::Information;
    case Desktop::Icon::Warning:
        return QMessageBox::Warning;
    case Desktop::Icon::Critical:
        return QMessageBox::Critical;
    case Desktop::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

int showBox(const QString& text, Desktop::Icon icon, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(boxIcon(icon), QString::fromUtf8(ProductInfo::productName), QString(), buttons, dialogParent());
    box.setTextFormat(Qt::PlainText);
    box.setText(displayedText(text));
    if (buttons & QMessageBox::No) {
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    }
    return box.exec();
}

} // namespace

QString displayedText(const QString& text)
{
    constexpr qsizetype maxLine = 200;
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.size() > maxLine) {
            line = line.left(maxLine / 2) + QChar(0x2026) + line.right(maxLine / 2);
        }
    }
    return lines.join(QLatin1Char('\n'));
}

bool QtDesktop::question(const QString& text, Icon icon)
{
    return showBox(text, icon, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void QtDesktop::message(const QString& text, Icon icon)
{
    showBox(text, icon, QMessageBox::Ok);
}

void QtDesktop::beep()
{
    QApplication::beep();
}

std::optional<QString> QtDesktop::fileDialog(const QString& folder, const QString& lastPicked, bool folderMustExist)
{
    // Qt's open dialog has no read-only box and never asks before overwriting.
    QFileDialog dialog(dialogParent());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The output file usually does not exist yet: the user must be able to type a new name.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!folder.isEmpty()) {
        dialog.setDirectory(folder);
    }
    // Selecting a file in another folder would move the dialog there, away from the folder of the
    // path the user typed, so the last pick is named only where the dialog opens.
    if (!lastPicked.isEmpty() && (folder.isEmpty() || QDir(QFileInfo(lastPicked).absolutePath()) == QDir(folder))) {
        dialog.selectFile(lastPicked);
    }
    for (;;) {
        const int answer = dialog.exec();
        m_lastDialogFolder = dialog.directory().absolutePath();
        if (answer != QDialog::Accepted) {
            return std::nullopt;
        }
        const QStringList files = dialog.selectedFiles();
        if (files.isEmpty()) {
            return std::nullopt;
        }
        const QFileInfo typed(files.first());
        if (!folderMustExist || QFileInfo(typed.absolutePath()).isDir()) {
            return QDir::toNativeSeparators(files.first());
        }
        // Qt's dialog (and a desktop's own) hands back a name in a folder that does not exist: say
        // so and ask again, so such a name never reaches the path box.
        showBox(QDir::toNativeSeparators(typed.absolutePath()) + QStringLiteral("\nフォルダが存在しません。"),
                Icon::Warning, QMessageBox::Ok);
        dialog.selectFile(files.first());
    }
}

QStringList QtDesktop::fileDialogFolders(const QString& folder) const
{
    // Qt's dialog first goes back where it was last, which its own settings remember from one run
    // of the program to the next.
    QString last = m_lastDialogFolder;
    if (last.isEmpty()) {
        const QSettings qt(QSettings::UserScope, QStringLiteral("QtProject"));
        last = qt.value(QStringLiteral("FileDialog/lastVisited")).toUrl().toLocalFile();
    }
    return { folder, last };
}

Desktop::FreeSpaceQuery QtDesktop::freeSpaceQuery() const
{
    return &platform::diskFree;
}

void QtDesktop::modalWindow(QDialog& window)
{
    window.exec();
}

void QtDesktop::setClipboardText(const QString& text)
{
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->setText(text);
    }
}

} // namespace platform
