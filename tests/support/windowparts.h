#pragma once

#include <QString>

#include <array>

class MainWindow;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QWidget;

// The main window's controls and menu items, found by their object names, for tests to press and read.
QLineEdit* pathEdit(const MainWindow& window);
QLineEdit* sizeEdit(const MainWindow& window);
QRadioButton* kbButton(const MainWindow& window);
QRadioButton* mbButton(const MainWindow& window);
QPushButton* browseButton(const MainWindow& window);
QPushButton* deleteButton(const MainWindow& window);
QPushButton* startButton(const MainWindow& window);
QPushButton* stopButton(const MainWindow& window);
QPushButton* exitButton(const MainWindow& window);
QLabel* freeSpaceLabel(const MainWindow& window);
QLabel* positionLabel(const MainWindow& window);
QMenu* fileMenu(const MainWindow& window);
QMenu* helpMenu(const MainWindow& window);
QAction* changeOutputAction(const MainWindow& window);
QAction* exitAction(const MainWindow& window);
QAction* usageAction(const MainWindow& window);
QAction* aboutAction(const MainWindow& window);

// Browse, Delete, Start, Stop, Exit: the order the buttons' states are written in ("11101" when idle).
std::array<QPushButton*, 5> buttons(const MainWindow& window);
QString buttonStates(const MainWindow& window);

// Any control of a window by its object name; the test fails when there is none.
QWidget* part(const QWidget& window, const QString& name);
