#include "app/mf.h"

#include "about/about.h"

#include <QAction>
#include <QStringList>

void MF::wireMenus()
{
    for (int i = 0; i < static_cast<int>(HLP.size()); ++i) {
        connect(HLP[i], &QAction::triggered, this, [this, i] { HLP_Click(i); });
    }
}

QString MF::usageText()
{
    return QStringList {
        QStringLiteral("指定ドライブに指定サイズのファイルを作成するプログラムです。"),
        QStringLiteral("ディスクスペースが足りない場合のプログラムの動作を検査する場"),
        QStringLiteral("合に便利です｡ "),
        QStringLiteral("サイズを入力しないか、または０か、またはディスク以上の場合は"),
        QStringLiteral("ディスクスペースいっぱいのファイルを作成します。"),
        QStringLiteral("ただし、１０２４バイト単位でそれ以下サイズのファイルは作成で"),
        QStringLiteral("きません。"),
    }
        .join(QStringLiteral("\r\n"));
}

void MF::HLP_Click(int Index)
{
    switch (Index) {
    case 0:
        m_desktop.msgBox(usageText(), platform::MbInformation);
        break;
    case 1: {
        // Built afresh at every opening; a run in progress waits until it closes.
        ABOUT about(m_desktop, this);
        m_desktop.showModal(about);
        break;
    }
    default:
        break;
    }
}
