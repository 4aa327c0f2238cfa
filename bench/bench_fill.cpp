// Fills a volume with the window's writer, clicking the real Start button on the offscreen
// platform, and prints what the run did as one line of key=value pairs. Used by fill-bench.sh.
//
//   bench_fill FILE SETTINGS.ini [--size MB] [--stop-after MS]
//
// Printed: bytes, seconds (the Start click, flush and close included), passes (the run's pass points
// and the window's own passes while the run's thread waits on the disk), the longest gap between
// two passes and the time spent in the pump, the resident size of the idle window, its peak during
// the run and samples at 25/50/75/100 % of the fill; with --stop-after, how long after the queued
// click Stop was acknowledged (its pass over, the button disabled) and the buttons were back.

#include "app/mainwindow.h"
#include "platform/desktop/qtdesktop.h"
#include "platform/settingsstore.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

// The real desktop, with every event-pump pass timed and the resident size sampled as the file
// grows. A message box is logged and dismissed at once: offscreen, nobody could answer it.
class TimedDesktop final : public platform::Desktop
{
public:
    TimedDesktop(platform::Desktop& inner, QByteArray path)
        : m_inner(inner)
        , m_path(std::move(path))
    {
    }

    void startRun(qint64 expectedBytes)
    {
        m_expected = expectedBytes;
        m_recording = true;
    }
    void endRun()
    {
        m_recording = false;
        {
            const std::lock_guard lock(m_mutex);
            m_ended = true;
        }
        m_changed.notify_all();
    }

    // Blocks until the first pass of the run, or the end of the run; returns its time, 0 at the end.
    qint64 waitForFirstPass()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_firstPass != 0 || m_ended; });
        return m_firstPass;
    }
    // Sleeps until the given time unless the run ends first; true when it slept the whole time.
    bool sleepUntil(qint64 when)
    {
        std::unique_lock lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when));
        return !m_changed.wait_until(lock, deadline, [this] { return m_ended; });
    }
    void stopQueuedAt(qint64 when) { m_stopQueued.store(when); }
    void watchStopButton(QPushButton* button) { m_stopButton = button; }
    bool stopDisabled() const { return m_stopDisabled; }

    void doEvents() override { timedPass(false); }
    void idlePass() override { timedPass(true); }

    void timedPass(bool idle)
    {
        const qint64 now = nowNs();
        if (m_recording) {
            ++m_passes;
            if (m_lastPass != 0) {
                m_maxGap = std::max(m_maxGap, now - m_lastPass);
            } else {
                {
                    const std::lock_guard lock(m_mutex);
                    m_firstPass = now;
                }
                m_changed.notify_all();
            }
            m_lastPass = now;
            sampleResident();
        }
        if (idle) {
            m_inner.idlePass();
        } else {
            m_inner.doEvents();
        }
        if (m_recording) {
            m_inPump += nowNs() - now;
        }
        // Acknowledged once the pass that handled the click has disabled Stop.
        if (m_stopHandled == 0 && m_stopQueued.load() != 0 && m_stopButton && !m_stopButton->isEnabled()) {
            m_stopHandled = nowNs();
            m_stopDisabled = true;
        }
    }

    int msgBox(const QString& prompt, int code) override
    {
        ++m_messageBoxes;
        std::fprintf(stderr, "bench_fill: message box: %s\n", prompt.toLocal8Bit().constData());
        QTimer::singleShot(0, [] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                box->reject();
            }
        });
        return m_inner.msgBox(prompt, code);
    }
    void beep() override { m_inner.beep(); }
    std::optional<QString> openFileDialog(const QString& initialDir, const QString& fileName, int flags) override
    {
        return m_inner.openFileDialog(initialDir, fileName, flags);
    }
    void setClipboardText(const QString& text) override { m_inner.setClipboardText(text); }
    qint64 diskFree(const QString& drive, const QString& dir) override { return m_inner.diskFree(drive, dir); }
    void showModal(QDialog& window) override { m_inner.showModal(window); }

    qint64 passes() const { return m_passes; }
    qint64 firstPass() const { return m_firstPass; }
    qint64 lastPass() const { return m_lastPass; }
    qint64 maxGap() const { return m_maxGap; }
    qint64 inPump() const { return m_inPump; }
    qint64 stopHandled() const { return m_stopHandled; }
    int messageBoxes() const { return m_messageBoxes; }
    const std::array<long, 4>& residentAt() const { return m_residentAt; }
    long residentSampledMax() const { return m_residentMax; }

private:
    void sampleResident()
    {
        if (m_expected <= 0) {
            return;
        }
        const double done = static_cast<double>(fileSize(m_path)) / static_cast<double>(m_expected);
        for (int i = 0; i < 3; ++i) {
            if (m_residentAt[i] < 0 && done >= 0.25 * (i + 1)) {
                m_residentAt[i] = readResident().rss;
                m_residentMax = std::max(m_residentMax, m_residentAt[i]);
            }
        }
        // Near the end every pass counts, so the last one before the disk is full is the 100 % sample.
        if (done >= 0.99) {
            m_residentAt[3] = readResident().rss;
            m_residentMax = std::max(m_residentMax, m_residentAt[3]);
        } else if (m_lastResidentSample == 0 || m_lastPass - m_lastResidentSample > 50'000'000) {
            m_residentMax = std::max(m_residentMax, readResident().rss);
            m_lastResidentSample = m_lastPass;
        }
    }

    platform::Desktop& m_inner;
    QByteArray m_path;
    qint64 m_expected = 0;
    bool m_recording = false;
    qint64 m_passes = 0;
    qint64 m_lastPass = 0;
    qint64 m_maxGap = 0;
    qint64 m_inPump = 0; // time spent inside the real pump during the run
    qint64 m_stopHandled = 0;
    QPushButton* m_stopButton = nullptr;
    bool m_stopDisabled = false;
    int m_messageBoxes = 0;
    std::array<long, 4> m_residentAt { -1, -1, -1, -1 };
    long m_residentMax = -1;
    qint64 m_lastResidentSample = 0;
    std::atomic<qint64> m_stopQueued { 0 };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_firstPass = 0; // guarded by m_mutex while the run lasts
    bool m_ended = false;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    QString sizeText;
    long stopAfterMs = -1;
    QStringList positional;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--size") && i + 1 < args.size()) {
            sizeText = args[++i];
        } else if (args[i] == QLatin1String("--stop-after") && i + 1 < args.size()) {
            stopAfterMs = args[++i].toLong();
        } else {
            positional.append(args[i]);
        }
    }
    if (positional.size() != 2) {
        std::fprintf(stderr, "usage: bench_fill FILE SETTINGS.ini [--size MB] [--stop-after MS]\n");
        return 2;
    }
    const QString path = positional[0];
    const QByteArray nativePath = QFile::encodeName(path);
    // An existing file would bring up the overwrite question, which nobody answers offscreen.
    if (::access(nativePath.constData(), F_OK) == 0) {
        std::fprintf(stderr, "bench_fill: %s exists; give a path on a fresh volume\n", nativePath.constData());
        return 2;
    }

    platform::QtDesktop realDesktop;
    TimedDesktop desktop(realDesktop, nativePath);
    platform::SettingsStore settings(positional[1]);
    MainWindow window(desktop, settings);
    window.show();
    window.findChild<QLineEdit*>(QStringLiteral("pathEdit"))->setText(path);
    window.findChild<QLineEdit*>(QStringLiteral("sizeEdit"))->setText(sizeText);
    window.findChild<QRadioButton*>(QStringLiteral("mbButton"))->setChecked(true);
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
    }

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

    const Resident idle = readResident();
    const bool peakReset = resetPeakResident();

    // Stop comes from another thread, as from a user: queued on the GUI thread, handled in a pass.
    qint64 stopQueued = 0;
    std::thread stopper;
    if (stopAfterMs >= 0) {
        stopper = std::thread([&] {
            const qint64 first = desktop.waitForFirstPass();
            if (first == 0 || !desktop.sleepUntil(first + stopAfterMs * 1'000'000)) {
                return;
            }
            stopQueued = nowNs();
            desktop.stopQueuedAt(stopQueued);
            QMetaObject::invokeMethod(window.findChild<QPushButton*>(QStringLiteral("stopButton")), "click",
                                      Qt::QueuedConnection);
        });
    }

    desktop.watchStopButton(window.findChild<QPushButton*>(QStringLiteral("stopButton")));
    desktop.startRun(expected);
    const qint64 started = nowNs();
    window.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    const qint64 returned = nowNs();
    desktop.endRun();
    if (stopper.joinable()) {
        stopper.join();
    }
    const Resident after = readResident();

    const qint64 bytes = fileSize(nativePath);
    const auto& at = desktop.residentAt();
    std::printf("bytes=%lld seconds=%.6f expected=%lld passes=%lld max_gap_ms=%.3f pump_ms=%.3f first_pass_ms=%.3f "
                "after_last_pass_ms=%.3f idle_rss_kb=%ld peak_rss_kb=%ld peak_reset=%d sampled_max_rss_kb=%ld "
                "rss25_kb=%ld rss50_kb=%ld rss75_kb=%ld rss100_kb=%ld message_boxes=%d",
                static_cast<long long>(bytes), ms(returned - started) / 1e3, static_cast<long long>(expected),
                static_cast<long long>(desktop.passes()), ms(desktop.maxGap()), ms(desktop.inPump()),
                ms(desktop.firstPass() ? desktop.firstPass() - started : 0),
                ms(desktop.lastPass() ? returned - desktop.lastPass() : 0), idle.rss, after.hwm, peakReset ? 1 : 0,
                desktop.residentSampledMax(), at[0], at[1], at[2], at[3], desktop.messageBoxes());
    if (stopAfterMs >= 0) {
        const bool stopped = stopQueued != 0;
        // Acknowledged: the pass that handled the click is over, Stop is disabled and no further block
        // will be started. Buttons back: the Start click returned, the file closed.
        std::printf(
            " stop_after_ms=%ld stopped=%d stop_disabled=%d buttons_back_ms=%.3f stop_ack_ms=%.3f close_ms=%.3f",
            stopAfterMs, stopped ? 1 : 0, desktop.stopDisabled() ? 1 : 0, stopped ? ms(returned - stopQueued) : -1.0,
            stopped && desktop.stopHandled() ? ms(desktop.stopHandled() - stopQueued) : -1.0,
            stopped && desktop.stopHandled() ? ms(returned - desktop.stopHandled()) : -1.0);
    }
    std::printf("\n");
    return desktop.messageBoxes() == 0 ? 0 : 1;
}
