#pragma once

#include "platform/desktop.h"

#include <QDialog>

#include <array>

class QLabel;
class QPushButton;

// The About window: product, version, comments, maker and contact line, laid out by measuring its
// texts. Every opening builds it afresh.
class ABOUT : public QDialog
{
    Q_OBJECT

public:
    ABOUT(platform::Desktop& desktop, QWidget* mainWindow);

    std::array<QPushButton*, 2> Command1 {}; // 0: ID Copy, 1: OK
    std::array<QLabel*, 4> Label1 {}; // comments, product name, version, company and contact
    QLabel* Picture1 = nullptr;

    void Form_Load();
    void Command1_Click(int Index);
    void Label1_DblClick(int Index);

    // "E-mail:" and the maker's address.
    static QString contactLine();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showIcon();

    platform::Desktop& m_desktop;
};
