#include "windowparts.h"

#include "ui/mainwindow.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>

namespace {

template<class T> T* named(const QWidget& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found) {
        qFatal("the window has no %s", name);
    }
    return found;
}

} // namespace

QLineEdit* pathEdit(const MainWindow& window)
{
    return named<QLineEdit>(window, "pathEdit");
}

QLineEdit* sizeEdit(const MainWindow& window)
{
    return named<QLineEdit>(window, "sizeEdit");
}

QRadioButton* kbButton(const MainWindow& window)
{
    return named<QRadioButton>(window, "kbButton");
}

QRadioButton* mbButton(const MainWindow& window)
{
    return named<QRadioButton>(window, "mbButton");
}

QPushButton* browseButton(const MainWindow& window)
{
    return named<QPushButton>(window, "browseButton");
}

QPushButton* deleteButton(const MainWindow& window)
{
    return named<QPushButton>(window, "deleteButton");
}

QPushButton* startButton(const MainWindow& window)
{
    return named<QPushButton>(window, "startButton");
}

QPushButton* stopButton(const MainWindow& window)
{
    return named<QPushButton>(window, "stopButton");
}

QPushButton* exitButton(const MainWindow& window)
{
    return named<QPushButton>(window, "exitButton");
}

QLabel* freeSpaceLabel(const MainWindow& window)
{
    return named<QLabel>(window, "freeSpaceLabel");
}

QLabel* positionLabel(const MainWindow& window)
{
    return named<QLabel>(window, "positionLabel");
}

QMenu* fileMenu(const MainWindow& window)
{
    return named<QMenu>(window, "fileMenu");
}

QMenu* helpMenu(const MainWindow& window)
{
    return named<QMenu>(window, "helpMenu");
}

QAction* changeOutputAction(const MainWindow& window)
{
    return named<QAction>(window, "changeOutputAction");
}

QAction* exitAction(const MainWindow& window)
{
    return named<QAction>(window, "exitAction");
}

QAction* usageAction(const MainWindow& window)
{
    return named<QAction>(window, "usageAction");
}

QAction* aboutAction(const MainWindow& window)
{
    return named<QAction>(window, "aboutAction");
}

std::array<QPushButton*, 5> buttons(const MainWindow& window)
{
    return { browseButton(window), deleteButton(window), startButton(window), stopButton(window), exitButton(window) };
}

QString buttonStates(const MainWindow& window)
{
    QString states;
    for (const QPushButton* button : buttons(window)) {
        states += button->isEnabled() ? u'1' : u'0';
    }
    return states;
}

QWidget* part(const QWidget& window, const QString& name)
{
    return named<QWidget>(window, name.toLatin1().constData());
}
