#pragma once

#include "ui/desktop.h"

#include <QDialog>

class QLabel;
class QPushButton;

// The About window: product, version, comments, maker and contact line, laid out by measuring its
// texts, centred over the main window. Every opening builds it afresh.
class AboutWindow : public QDialog
{
    Q_OBJECT

public:
    AboutWindow(platform::Desktop& desktop, QWidget* mainWindow);

    // "E-mail:" and the maker's address.
    static QString contactLine();

public slots:
    // Asks, then puts the contact line on the clipboard.
    void copyContact();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void layOut();
    void showIcon();

    platform::Desktop& m_desktop;
    QLabel* m_iconLabel = nullptr;
    QLabel* m_commentsLabel = nullptr;
    QLabel* m_productLabel = nullptr;
    QLabel* m_versionLabel = nullptr;
    QLabel* m_companyLabel = nullptr; // company and contact line
    QPushButton* m_idCopyButton = nullptr;
    QPushButton* m_okButton = nullptr;
};
