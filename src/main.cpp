#include "app/mf.h"
#include "platform/fontwarmup.h"
#include "platform/process.h"
#include "platform/qtdesktop.h"
#include "platform/settingsstore.h"
#include "productinfo.h"

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
    QApplication::setWindowIcon(MF::icon());

    platform::QtDesktop desktop;
    platform::SettingsStore settings;
    MF mf(desktop, settings);
    // Logging off closes the window the same way as the close box, so the settings are saved.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &mf, [&mf](QSessionManager&) { mf.close(); });
    mf.show();
    return QApplication::exec();
}
