#pragma once

#include "ui/mainwindow.h"

#include "fakedesktop.h"
#include "temporarysettings.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

// A main window with a fake desktop and a settings file of its own in a temporary folder.
struct WindowFixture
{
    FakeDesktop desktop;
    TemporarySettings settings;
    MainWindow window { desktop, settings.store };
};

// Gives the window a command and waits until the signal says it is over; false when it was not
// within the time given.
template<class Signal>
bool finish(MainWindow& window, Signal over, const std::function<void()>& command, int milliseconds = 60000)
{
    QSignalSpy spy(&window, over);
    command();
    return !spy.isEmpty() || spy.wait(milliseconds);
}

// Start, a run without Start's question, Delete: each until it is over.
inline bool finishStart(MainWindow& window)
{
    return finish(window, &MainWindow::fillFinished, [&window] { window.startFill(); });
}
inline bool finishRun(MainWindow& window)
{
    return finish(window, &MainWindow::fillFinished, [&window] { window.runFill(); });
}
inline bool finishDelete(MainWindow& window)
{
    return finish(window, &MainWindow::deleteFinished, [&window] { window.deleteFillFile(); });
}

// Waits until every question the window sent to a volume has come back.
inline bool settled(const MainWindow& window)
{
    return QTest::qWaitFor([&window] { return window.volumeCallsOut() == 0; }, 30000);
}
