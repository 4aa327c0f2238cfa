#include "app/mf.h"

#include "fill/landing.h"
#include "fill/numbertext.h"
#include "fill/sizetext.h"

#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

void MF::wireFreeSpace()
{
    for (int i = 0; i < static_cast<int>(Text1.size()); ++i) {
        connect(Text1[i], &QLineEdit::textChanged, this, [this, i] { Text1_Change(i); });
    }
    for (int i = 0; i < static_cast<int>(Option1.size()); ++i) {
        QRadioButton* option = Option1[i];
        // A selection by click, key or program raises the click; so does a click on the button
        // that is already selected, which changes nothing else.
        connect(option, &QRadioButton::toggled, this, [this, i](bool checked) {
            if (checked) {
                Option1_Click(i);
            }
        });
        connect(option, &QRadioButton::pressed, this, [this, option] { m_optionWasChecked = option->isChecked(); });
        connect(option, &QRadioButton::clicked, this, [this, i] {
            if (m_optionWasChecked) {
                Option1_Click(i);
            }
            m_optionWasChecked = false;
        });
    }
}

qint64 MF::DISK_FREE()
{
    // Through a symbolic link the data lands on the volume of the file it points to.
    const auto landing = fill::landingFolder(Text1[0]->text());
    return landing ? m_desktop.diskFree(landing->drive, landing->dir) : 0;
}

QString MF::freeSpaceText(bool withUnit)
{
    return freeSpaceText(withUnit, DISK_FREE());
}

QString MF::freeSpaceText(bool withUnit, qint64 freeBytes)
{
    const bool kilobytes = Option1[0]->isChecked();
    const double free = static_cast<double>(freeBytes);
    QString text = fill::numberText(free / static_cast<double>(kilobytes ? fill::kilobyte : fill::megabyte));
    if (withUnit) {
        text += kilobytes ? QStringLiteral(" KB") : QStringLiteral(" MB");
    }
    return text;
}

void MF::setFreeSpaceCaption(const QString& caption)
{
    // The label sizes itself to its caption and grows to the right of its fixed left edge.
    Label1[2]->setText(caption);
    Label1[2]->adjustSize();
}

void MF::Text1_Change(int Index)
{
    if (Index != 0) {
        return;
    }
    setFreeSpaceCaption(freeSpaceText(false));
}

void MF::Option1_Click(int Index)
{
    Q_UNUSED(Index);
    setFreeSpaceCaption(freeSpaceText(true));
}

void MF::showProgress(qint64 position, qint64 freeBytes)
{
    setFreeSpaceCaption(freeSpaceText(true, freeBytes));
    Label1[3]->setText(QString::number(position, 16).toUpper());
    // Past 16 MiB the number outgrows its place: the label grows to the right rather than lose digits.
    const int needed = Label1[3]->sizeHint().width();
    if (needed > Label1[3]->width()) {
        Label1[3]->resize(needed, Label1[3]->height());
    }
}
