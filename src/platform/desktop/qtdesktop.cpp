#include "platform/desktop/qtdesktop.h"

#include "platform/filesystem.h"
#include "productinfo.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

namespace platform {

namespace {

QWidget* dialogParent()
{
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    return QApplication::activeWindow();
}

constexpr int pathMustExist = 2048; // OFN_PATHMUSTEXIST

} // namespace

QString displayedPrompt(const QString& prompt)
{
    constexpr qsizetype maxLine = 200;
    QStringList lines = QString(prompt).replace(QLatin1String("\r\n"), QLatin1String("\n")).split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.size() > maxLine) {
            line = line.left(maxLine / 2) + QChar(0x2026) + line.right(maxLine / 2);
        }
    }
    return lines.join(QLatin1Char('\n'));
}

int QtDesktop::msgBox(const QString& prompt, int code)
{
    QMessageBox box(dialogParent());
    box.setWindowTitle(QString::fromUtf8(ProductInfo::productName));
    box.setTextFormat(Qt::PlainText);
    box.setText(displayedPrompt(prompt));
    switch (code & 0x70) {
    case MbCritical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MbExclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MbInformation:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    const bool yesNo = (code & 0x0F) == MbYesNo;
    if (yesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int answer = box.exec();
    if (!yesNo) {
        return AnswerOk;
    }
    // Anything but an explicit Yes (the close box included) counts as No: nothing is overwritten
    // or deleted unless the user said so.
    return answer == QMessageBox::Yes ? AnswerYes : AnswerNo;
}

void QtDesktop::beep()
{
    QApplication::beep();
}

void QtDesktop::doEvents()
{
    QCoreApplication::processEvents();
}

std::optional<QString> QtDesktop::openFileDialog(const QString& initialDir, const QString& fileName, int flags)
{
    // Of the other flags, Qt's open dialog has no read-only box and never asks before overwriting.
    QFileDialog dialog(dialogParent());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The output file usually does not exist yet: the user must be able to type a new name.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!initialDir.isEmpty()) {
        dialog.setDirectory(initialDir);
    }
    // Selecting a file in another folder would move the dialog there, away from the folder of the
    // path the user typed, so the last pick is named only where the dialog opens.
    if (!fileName.isEmpty() && (initialDir.isEmpty() || QDir(QFileInfo(fileName).absolutePath()) == QDir(initialDir))) {
        dialog.selectFile(fileName);
    }
    for (;;) {
        if (dialog.exec() != QDialog::Accepted) {
            return std::nullopt;
        }
        const QStringList files = dialog.selectedFiles();
        if (files.isEmpty()) {
            return std::nullopt;
        }
        const QFileInfo typed(files.first());
        if (!(flags & pathMustExist) || QFileInfo(typed.absolutePath()).isDir()) {
            return QDir::toNativeSeparators(files.first());
        }
        // Qt's dialog (and a desktop's own) hands back a name in a folder that does not exist: say
        // so and ask again, so such a name never reaches the path box.
        QMessageBox box(QMessageBox::Warning, QString::fromUtf8(ProductInfo::productName),
                        displayedPrompt(QDir::toNativeSeparators(typed.absolutePath())
                                        + QStringLiteral("\r\nフォルダが存在しません。")),
                        QMessageBox::Ok, dialogParent());
        box.setTextFormat(Qt::PlainText);
        box.exec();
        dialog.selectFile(files.first());
    }
}

qint64 QtDesktop::diskFree(const QString& drive, const QString& dir)
{
    return platform::diskFree(drive, dir);
}

void QtDesktop::showModal(QDialog& window)
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
