// Drives the main window on the offscreen platform, clicking its real buttons, and prints what it
// saw as one line of key=value pairs. Used by fill-bench.sh.
//
//   bench_fill FILE SETTINGS.ini [--size MB] [--stop-after MS]
//   bench_fill FILE SETTINGS.ini --unanswering PID [--for MS]
//
// A fill: bytes, seconds (the Start click until the buttons are back: the file flushed and closed),
// the longest gap between two turns of the window's event loop and their count, the resident size
// of the idle window, its peak during the run and samples at 25/50/75/100 % of the fill; with
// --stop-after, how long after the queued click Stop was acknowledged (Stop disabled) and the
// buttons were back.
//
// --unanswering: the volume of FILE stops answering (PID, its daemon, gets SIGSTOP) for MS
// milliseconds (3000) from before the window is made, with FILE as the saved path: the window is
// shown, the units are clicked and the path edited every 100 ms, Start is clicked and then Stop.
// Printed: how long the window took to show, the longest gap between two turns of its event loop
// meanwhile, whether Start showed the running state at once and Stop called it off, and how long the
// answers took to come back once the volume answered again (PID gets SIGCONT).

#include "core/settingsstore.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ms(qint64 ns)
{
    return static_cast<double>(ns) / 1e6;
}

// VmRSS and VmHWM in KiB, read without allocating so the reading does not move them.
struct Resident
{
    long rss = -1;
    long hwm = -1;
};

Resident readResident()
{
    Resident r;
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return r;
    }
    char text[8192];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) {
        return r;
    }
    text[n] = '\0';
    if (const char* p = std::strstr(text, "VmRSS:")) {
        r.rss = std::strtol(p + 6, nullptr, 10);
    }
    if (const char* p = std::strstr(text, "VmHWM:")) {
        r.hwm = std::strtol(p + 6, nullptr, 10);
    }
    return r;
}

// Sets VmHWM back to the current resident size, so the peak read later belongs to the run alone.
bool resetPeakResident()
{
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return ok;
}

qint64 fileSize(const QByteArray& path)
{
    struct stat st = {};
    return ::stat(path.constData(), &st) == 0 ? static_cast<qint64>(st.st_size) : 0;
}

// The real desktop; a message box is logged and dismissed at once: offscreen, nobody could answer it.
class BenchDesktop final : public platform::Desktop
{
public:
    void beep() override { m_inner.beep(); }
    void setClipboardText(const QString& text) override { m_inner.setClipboardText(text); }
    FreeSpaceQuery freeSpaceQuery() const override { return m_inner.freeSpaceQuery(); }
    int messageBoxes() const { return m_messageBoxes; }

protected:
    bool question(const QString& text, Icon icon) override
    {
        dismiss(text);
        return m_inner.ask(text, icon);
    }
    void message(const QString& text, Icon icon) override
    {
        dismiss(text);
        m_inner.tell(text, icon);
    }
    std::optional<QString> fileDialog(const QString& folder, const QString& lastPicked, bool folderMustExist) override
    {
        return m_inner.chooseFile(folder, lastPicked, folderMustExist);
    }
    void modalWindow(QDialog& window) override { m_inner.showModal(window); }

private:
    void dismiss(const QString& text)
    {
        ++m_messageBoxes;
        std::fprintf(stderr, "bench_fill: message box: %s\n", text.toLocal8Bit().constData());
        QTimer::singleShot(0, [] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                box->reject();
            }
        });
    }

    platform::QtDesktop m_inner;
    int m_messageBoxes = 0;
};

// Ticks on the window's thread as fast as a precise timer goes: the longest time between two ticks is
// the longest the window's event loop was kept from its events (a click, a repaint).
class EventLoopWatch
{
public:
    EventLoopWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }
    void start()
    {
        m_last = nowNs();
        m_maxGap = 0;
        m_ticks = 0;
        m_timer.start();
    }
    void stop()
    {
        tick();
        m_timer.stop();
    }
    std::function<void()> onTick;
    qint64 maxGap() const { return m_maxGap; }
    qint64 ticks() const { return m_ticks; }

private:
    void tick()
    {
        const qint64 now = nowNs();
        m_maxGap = std::max(m_maxGap, now - m_last);
        m_last = now;
        ++m_ticks;
        if (onTick) {
            onTick();
        }
    }

    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_maxGap = 0;
    qint64 m_ticks = 0;
};

template<class T> T* part(const MainWindow& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found) {
        std::fprintf(stderr, "bench_fill: the window has no %s\n", name);
        std::exit(2);
    }
    return found;
}

// Runs the event loop until done() or the timeout; false on the timeout.
bool runUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || clock.elapsed() > timeoutMs) {
            QCoreApplication::exit(0);
        }
    });
    check.start(1);
    if (!done()) {
        QApplication::exec();
    }
    return done();
}

int unanswering(const QString& path, const QString& settingsFile, pid_t daemon, int deadMs)
{
    {
        platform::SettingsStore settings(settingsFile);
        settings.write({ { QStringLiteral("OUTFILE"), path }, { QStringLiteral("SIZESCALE"), QStringLiteral("1") } });
    }
    BenchDesktop desktop;
    platform::SettingsStore settings(settingsFile);
    EventLoopWatch watch;

    if (::kill(daemon, SIGSTOP) != 0) {
        std::perror("bench_fill: SIGSTOP");
        return 2;
    }
    const qint64 stopped = nowNs();
    MainWindow window(desktop, settings);
    window.show();
    const qint64 shown = nowNs();
    watch.start();

    auto* pathEdit = part<QLineEdit>(window, "pathEdit");
    auto* kb = part<QRadioButton>(window, "kbButton");
    auto* mb = part<QRadioButton>(window, "mbButton");
    auto* start = part<QPushButton>(window, "startButton");
    auto* stop = part<QPushButton>(window, "stopButton");
    int pokes = 0;
    bool runningAtOnce = false;
    bool calledOff = false;
    QTimer poker;
    QObject::connect(&poker, &QTimer::timeout, [&] {
        ++pokes;
        switch (pokes % 3) {
        case 0:
            kb->click();
            break;
        case 1:
            mb->click();
            break;
        case 2:
            pathEdit->setText(pokes % 2 ? path + QLatin1Char('x') : path);
            break;
        }
        if (pokes == 10) {
            start->click();
            runningAtOnce = stop->isEnabled() && !start->isEnabled();
        } else if (pokes == 15) {
            stop->click();
            calledOff = start->isEnabled() && !stop->isEnabled();
        }
    });
    poker.start(100);
    runUntil([&] { return nowNs() - stopped >= qint64(deadMs) * 1'000'000; }, deadMs + 1000);
    poker.stop();
    watch.stop();
    const qint64 deadGap = watch.maxGap();
    const qint64 ticks = watch.ticks();

    ::kill(daemon, SIGCONT);
    const qint64 answering = nowNs();
    const bool drained = runUntil([&] { return window.volumeCallsOut() == 0; }, 30000);
    const qint64 answered = nowNs();
    std::printf("dead_ms=%d shown_ms=%.3f dead_max_gap_ms=%.3f dead_ticks=%lld pokes=%d start_running_state=%d "
                "stop_called_off=%d answers_back_ms=%.3f drained=%d created=%d message_boxes=%d\n",
                deadMs, ms(shown - stopped), ms(deadGap), static_cast<long long>(ticks), pokes, runningAtOnce ? 1 : 0,
                calledOff ? 1 : 0, ms(answered - answering), drained ? 1 : 0, QFile::exists(path) ? 1 : 0,
                desktop.messageBoxes());
    return drained && runningAtOnce && calledOff && desktop.messageBoxes() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    QString sizeText;
    long stopAfterMs = -1;
    long daemon = -1;
    int deadMs = 3000;
    QStringList positional;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--size") && i + 1 < args.size()) {
            sizeText = args[++i];
        } else if (args[i] == QLatin1String("--stop-after") && i + 1 < args.size()) {
            stopAfterMs = args[++i].toLong();
        } else if (args[i] == QLatin1String("--unanswering") && i + 1 < args.size()) {
            daemon = args[++i].toLong();
        } else if (args[i] == QLatin1String("--for") && i + 1 < args.size()) {
            deadMs = args[++i].toInt();
        } else {
            positional.append(args[i]);
        }
    }
    if (positional.size() != 2) {
        std::fprintf(stderr,
                     "usage: bench_fill FILE SETTINGS.ini [--size MB] [--stop-after MS]\n"
                     "       bench_fill FILE SETTINGS.ini --unanswering PID [--for MS]\n");
        return 2;
    }
    const QString path = positional[0];
    if (daemon > 0) {
        return unanswering(path, positional[1], static_cast<pid_t>(daemon), deadMs);
    }
    const QByteArray nativePath = QFile::encodeName(path);
    // An existing file would bring up the overwrite question, which nobody answers offscreen.
    if (::access(nativePath.constData(), F_OK) == 0) {
        std::fprintf(stderr, "bench_fill: %s exists; give a path on a fresh volume\n", nativePath.constData());
        return 2;
    }

    BenchDesktop desktop;
    platform::SettingsStore settings(positional[1]);
    MainWindow window(desktop, settings);
    window.show();
    part<QLineEdit>(window, "pathEdit")->setText(path);
    part<QLineEdit>(window, "sizeEdit")->setText(sizeText);
    part<QRadioButton>(window, "mbButton")->setChecked(true);
    runUntil([&window] { return window.volumeCallsOut() == 0; }, 10000);

    qint64 expected = 0;
    if (!sizeText.isEmpty()) {
        expected = sizeText.toLongLong() * 1024 * 1024;
    } else {
        const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
        struct statvfs vfs = {};
        if (::statvfs(dir.constData(), &vfs) == 0) {
            expected = static_cast<qint64>(vfs.f_bavail) * static_cast<qint64>(vfs.f_frsize);
        }
    }

    // The resident size as the file grows, sampled on the window's thread.
    std::array<long, 4> residentAt { -1, -1, -1, -1 };
    long residentMax = -1;
    qint64 lastResidentSample = 0;
    EventLoopWatch watch;
    watch.onTick = [&] {
        if (expected <= 0) {
            return;
        }
        const double done = static_cast<double>(fileSize(nativePath)) / static_cast<double>(expected);
        for (size_t i = 0; i < 3; ++i) {
            if (residentAt[i] < 0 && done >= 0.25 * static_cast<double>(i + 1)) {
                residentAt[i] = readResident().rss;
                residentMax = std::max(residentMax, residentAt[i]);
            }
        }
        const qint64 now = nowNs();
        if (done >= 0.99) {
            residentAt[3] = readResident().rss;
            residentMax = std::max(residentMax, residentAt[3]);
        } else if (now - lastResidentSample > 50'000'000) {
            residentMax = std::max(residentMax, readResident().rss);
            lastResidentSample = now;
        }
    };

    const Resident idle = readResident();
    const bool peakReset = resetPeakResident();

    // Stop comes from another thread, as from a user: queued on the window's thread. It is counted
    // from the first block after the header block on.
    auto* stopButton = part<QPushButton>(window, "stopButton");
    std::atomic<qint64> stopQueued = 0;
    std::atomic<bool> ended = false;
    qint64 stopHandled = 0;
    bool stopDisabled = false;
    QObject::connect(stopButton, &QPushButton::clicked, [&] {
        // After the window's own handler: Stop is acknowledged once it is disabled.
        if (stopHandled == 0 && stopQueued != 0) {
            stopHandled = nowNs();
            stopDisabled = !stopButton->isEnabled();
        }
    });
    std::thread stopper;
    if (stopAfterMs >= 0) {
        stopper = std::thread([&] {
            while (!ended && fileSize(nativePath) <= 1024) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const qint64 until = nowNs() + stopAfterMs * 1'000'000;
            while (!ended && nowNs() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (ended) {
                return;
            }
            stopQueued = nowNs();
            QMetaObject::invokeMethod(stopButton, "click", Qt::QueuedConnection);
        });
    }

    qint64 returned = 0;
    QObject::connect(&window, &MainWindow::fillFinished, [&] {
        returned = nowNs();
        QCoreApplication::exit(0);
    });
    watch.start();
    const qint64 started = nowNs();
    part<QPushButton>(window, "startButton")->click();
    if (returned == 0) {
        QApplication::exec();
    }
    watch.stop();
    ended = true;
    if (stopper.joinable()) {
        stopper.join();
    }
    const Resident after = readResident();

    const qint64 bytes = fileSize(nativePath);
    std::printf("bytes=%lld seconds=%.6f expected=%lld ticks=%lld max_gap_ms=%.3f idle_rss_kb=%ld peak_rss_kb=%ld "
                "peak_reset=%d sampled_max_rss_kb=%ld rss25_kb=%ld rss50_kb=%ld rss75_kb=%ld rss100_kb=%ld "
                "message_boxes=%d",
                static_cast<long long>(bytes), ms(returned - started) / 1e3, static_cast<long long>(expected),
                static_cast<long long>(watch.ticks()), ms(watch.maxGap()), idle.rss, after.hwm, peakReset ? 1 : 0,
                residentMax, residentAt[0], residentAt[1], residentAt[2], residentAt[3], desktop.messageBoxes());
    if (stopAfterMs >= 0) {
        const bool stopped = stopQueued != 0;
        // Acknowledged: Stop is disabled and no further block will be started. Buttons back: the
        // Start is over, the file closed.
        std::printf(
            " stop_after_ms=%ld stopped=%d stop_disabled=%d buttons_back_ms=%.3f stop_ack_ms=%.3f close_ms=%.3f",
            stopAfterMs, stopped ? 1 : 0, stopDisabled ? 1 : 0, stopped ? ms(returned - stopQueued) : -1.0,
            stopped && stopHandled ? ms(stopHandled - stopQueued) : -1.0,
            stopped && stopHandled ? ms(returned - stopHandled) : -1.0);
    }
    std::printf("\n");
    return desktop.messageBoxes() == 0 ? 0 : 1;
}
