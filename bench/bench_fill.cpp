// Fills a volume with the window's writer, through the real Qt event pump, and prints
// "<bytes written> <seconds>" on stdout. Used by fill-rate.sh.

#include "app/mf.h"
#include "platform/qtdesktop.h"
#include "platform/settingsstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_fill FILE SETTINGS.ini [SIZE_MB]\n");
        return 2;
    }
    platform::QtDesktop desktop;
    platform::SettingsStore settings(args[2]);
    MF mf(desktop, settings);
    mf.show();
    QApplication::processEvents();
    mf.Text1[0]->setText(args[1]);
    mf.Text1[1]->setText(args.size() > 3 ? args[3] : QString());
    mf.Option1[1]->setChecked(true);

    QElapsedTimer timer;
    timer.start();
    mf.MK_FILE();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf("%lld %.6f\n", static_cast<long long>(QFileInfo(args[1]).size()), seconds);
    return 0;
}
