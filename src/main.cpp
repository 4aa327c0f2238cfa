#include "core/settingsstore.h"
#include "platform/process.h"
#include "productinfo.h"
#include "ui/fontwarmup.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

#include <QApplication>
#include <QIcon>
#include <QSessionManager>

int main(int argc, char* argv[])
{
    platform::prepareProcess();
    platform::FontWarmup fonts;
    QApplication app(argc, argv);
    fonts.wait();
    QApplication::setApplicationName(QString::fromUtf8(ProductInfo::productName));
    QApplication::setOrganizationName(QString::fromUtf8(ProductInfo::productName));
    QApplication::setWindowIcon(MainWindow::icon());
    // Lets docks and task bars put the window under the desktop entry's name and icon.
    QGuiApplication::setDesktopFileName(QString::fromUtf8(ProductInfo::appId));

    // The program ends when the window says so: once it is closed and a run it left has closed its
    // file, not as soon as it is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    platform::QtDesktop desktop;
    platform::SettingsStore settings;
    MainWindow window(desktop, settings);
    QObject::connect(&window, &MainWindow::closed, &app, [](int exitCode) { QCoreApplication::exit(exitCode); });
    // The session manager asks for the settings at log-off, and also when it only saves the session:
    // save them and leave the window (and any run) alone. At log-off it then has the program quit,
    // which closes the window as the close box does (on Windows, it ends the process).
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager&) { window.writeSettings(); });
    window.show();
    return QApplication::exec();
}
