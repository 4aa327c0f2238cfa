// The Windows platform layer on the Windows file API: the raw output file, free space, names taken
// literally, error codes and the process's error mode. Run under Wine by scripts/check-windows.sh,
// on a drive it maps to a small tmpfs it has just mounted; TALLOWMERE_TEST_DRIVE names the drive and
// TALLOWMERE_TEST_DRIVE_BYTES its size, and nothing is written unless the drive is that small.

#include "cli/fillcommand.h"
#include "core/fillengine.h"
#include "core/numbertext.h"
#include "platform/filesystem.h"
#include "platform/outputfile.h"
#include "platform/process.h"

#include "fillfile.h"
#include "sizes.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <windows.h>

#include <shellapi.h>

namespace platform {
std::error_code win32Error(unsigned long code); // outputfile_win.cpp
std::wstring windowsCommandLine(const QString& program, const QStringList& arguments); // process_win.cpp
} // namespace platform

Q_DECLARE_METATYPE(std::error_condition)
Q_DECLARE_METATYPE(fill::Outcome)

namespace {

qint64 totalBytes(const QString& root)
{
    ULARGE_INTEGER total {};
    if (!GetDiskFreeSpaceExW(root.toStdWString().c_str(), nullptr, &total, nullptr)) {
        return -1;
    }
    return static_cast<qint64>(total.QuadPart);
}

qint64 availableBytes(const QString& root)
{
    ULARGE_INTEGER available {};
    if (!GetDiskFreeSpaceExW(root.toStdWString().c_str(), &available, nullptr, nullptr)) {
        return -1;
    }
    return static_cast<qint64>(available.QuadPart);
}

// A run nobody stops.
fill::Hooks plainRun()
{
    return { .pass = [](qint64) {}, .stopRequested = [] { return false; } };
}

std::error_condition condition(std::errc value)
{
    return std::make_error_condition(value);
}

std::error_condition condition(platform::FileError value)
{
    return platform::make_error_code(value).default_error_condition();
}

} // namespace

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fills_data();
    void fills();
    void refusesBeforeTouchingAnything_data();
    void refusesBeforeTouchingAnything();
    void freeSpace();
    void namesAreTakenLiterally_data();
    void namesAreTakenLiterally();
    void errorCodes_data();
    void errorCodes();
    void criticalErrorsAreNotAsked();
    void cleanRemovesOnlyFills_data();
    void cleanRemovesOnlyFills();
    void commandLineReadsBack_data();
    void commandLineReadsBack();
    void jsonSummaryKeepsTheName_data();
    void jsonSummaryKeepsTheName();
    void numberTextIgnoresTheUsersLocale_data();
    void numberTextIgnoresTheUsersLocale();

private:
    QString at(const QString& name) const { return m_drive + QLatin1Char('\\') + name; }

    QString m_drive; // "T:"
    QString m_root; // "T:\"
};

void tst_Windows::initTestCase()
{
    m_drive = qEnvironmentVariable("TALLOWMERE_TEST_DRIVE");
    if (m_drive.isEmpty()) {
        QSKIP("no test drive: scripts/check-windows.sh maps one to a tmpfs and names it");
    }
    m_root = m_drive + QLatin1Char('\\');
    // A drive that is not the small volume promised may be the machine's own disk: fill nothing.
    const qint64 promised = qEnvironmentVariableIntValue("TALLOWMERE_TEST_DRIVE_BYTES");
    const qint64 total = totalBytes(m_root);
    QVERIFY2(promised > 0 && total == promised,
             qPrintable(QStringLiteral("%1 holds %2 bytes, not the %3 promised").arg(m_root).arg(total).arg(promised)));
}

void tst_Windows::init()
{
    QDir root(m_root);
    for (const QFileInfo& entry :
         root.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (entry.isDir()) {
            QVERIFY(QDir(entry.filePath()).removeRecursively());
        } else {
            SetFileAttributesW(entry.filePath().toStdWString().c_str(), FILE_ATTRIBUTE_NORMAL);
            QVERIFY(root.remove(entry.fileName()));
        }
    }
}

void tst_Windows::fills_data()
{
    QTest::addColumn<qint64>("existing"); // bytes of a file already there, or -1
    QTest::addColumn<qint64>("target");
    QTest::addColumn<fill::Outcome>("outcome");
    QTest::addColumn<qint64>("size"); // of the file afterwards; 0: whatever filled the drive

    QTest::newRow("3 MiB") << qint64(-1) << 3 * MiB << fill::Outcome::TargetReached << 3 * MiB;
    QTest::newRow("1 byte takes the header block") << qint64(-1) << qint64(1) << fill::Outcome::TargetReached << KiB;
    QTest::newRow("half a block more") << qint64(-1) << MiB + 512 << fill::Outcome::TargetReached << MiB + KiB;
    QTest::newRow("fill the drive") << qint64(-1) << fill::fillTheDisk << fill::Outcome::DiskFull << qint64(0);
    QTest::newRow("more than the drive holds") << qint64(-1) << 1024 * MiB << fill::Outcome::DiskFull << qint64(0);
    // The longer file is cut back, not written into.
    QTest::newRow("over a longer file") << 5 * MiB << MiB << fill::Outcome::TargetReached << MiB;
    QTest::newRow("full over a file") << 5 * MiB << fill::fillTheDisk << fill::Outcome::DiskFull << qint64(0);
}

void tst_Windows::fills()
{
    QFETCH(qint64, existing);
    QFETCH(qint64, target);
    QFETCH(fill::Outcome, outcome);
    QFETCH(qint64, size);
    const QString path = at(QStringLiteral("fill.dat"));
    if (existing >= 0) {
        QVERIFY(writeFile(path, QByteArray(existing, 'x')));
    }
    const auto file = platform::makeOutputFile();
    fill::Engine engine(*file, plainRun());
    const auto result = engine.run(path, target);
    QCOMPARE(result.outcome, outcome);
    QVERIFY2(!result.error, qPrintable(platform::errorText(result.error)));
    QCOMPARE(fileSize(path), result.bytesWritten);
    if (size == 0) {
        // To the last block: less than one block left, whatever the drive's cluster size.
        QVERIFY2(availableBytes(m_root) < 4 * KiB, qPrintable(QString::number(availableBytes(m_root))));
        QVERIFY(result.bytesWritten > totalBytes(m_root) - 64 * KiB);
        size = result.bytesWritten;
    }
    const QString problem = checkFillFile(path, size);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Windows::refusesBeforeTouchingAnything_data()
{
    QTest::addColumn<QString>("name"); // on the drive, unless it starts with "\\" or names a device
    QTest::addColumn<bool>("mayReplace");
    QTest::addColumn<std::error_condition>("reason");

    QTest::newRow("missing folder") << "missing\\fill.dat" << true << condition(std::errc::no_such_file_or_directory);
    QTest::newRow("a folder") << "folder" << true << condition(std::errc::is_a_directory);
    QTest::newRow("a folder taken for no file") << "folder" << false << condition(std::errc::is_a_directory);
    QTest::newRow("a folder with a trailing backslash") << "folder\\" << true << condition(std::errc::is_a_directory);
    QTest::newRow("a file nobody agreed to replace") << "plain" << false << condition(std::errc::file_exists);
    QTest::newRow("a file another program writes") << "held" << true << condition(platform::FileError::InUse);
    QTest::newRow("the null device") << "NUL" << true << condition(platform::FileError::NotRegularFile);
    QTest::newRow("the drive's device") << "\\\\.\\@" << true << condition(platform::FileError::NotRegularFile);
    QTest::newRow("NUL in the name") << QString::fromUtf16(u"fill\u0000.dat", 9) << true
                                     << platform::win32Error(ERROR_INVALID_NAME).default_error_condition();
}

void tst_Windows::refusesBeforeTouchingAnything()
{
    QFETCH(QString, name);
    QFETCH(bool, mayReplace);
    QFETCH(std::error_condition, reason);
    QVERIFY(QDir(m_root).mkdir(QStringLiteral("folder")));
    QVERIFY(writeFile(at(QStringLiteral("plain")), "keep me"));
    QVERIFY(writeFile(at(QStringLiteral("held")), "keep me too"));
    // A real second process, as another copy of the program filling the same file would be.
    QProcess holder;
    holder.start(QStringLiteral(TALLOWMERE_HOLDOPEN), { at(QStringLiteral("held")), QStringLiteral("60") });
    QVERIFY(holder.waitForReadyRead(30000));
    QCOMPARE(holder.readAllStandardOutput().trimmed(), QByteArray("held"));
    const QStringList before = QDir(m_root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    name.replace(u'@', m_drive);
    const QString path = name.startsWith(QLatin1String("\\\\")) || name == QLatin1String("NUL") ? name : at(name);
    const auto file = platform::makeOutputFile();
    fill::Engine engine(*file, plainRun());
    const auto result
        = engine.run(path, 4 * KiB, mayReplace ? platform::Existing::Replace : platform::Existing::Refuse);
    holder.kill();
    holder.waitForFinished();
    QCOMPARE(result.outcome, fill::Outcome::CreateFailed);
    QVERIFY2(result.error == reason,
             qPrintable(QStringLiteral("%1 (%2 %3)")
                            .arg(platform::errorText(result.error), QString::fromLatin1(result.error.category().name()))
                            .arg(result.error.value())));
    QCOMPARE(QDir(m_root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), before);
    QCOMPARE(readFile(at(QStringLiteral("plain"))), QByteArray("keep me"));
    QCOMPARE(readFile(at(QStringLiteral("held"))), QByteArray("keep me too"));
}

void tst_Windows::freeSpace()
{
    const qint64 before = platform::diskFree(m_drive, QStringLiteral("\\"));
    QCOMPARE(before, availableBytes(m_root));
    QVERIFY(writeFile(at(QStringLiteral("taken")), QByteArray(MiB, 'x')));
    QCOMPARE(platform::diskFree(m_drive, QStringLiteral("\\")), before - MiB);
    // A folder that is not there yet counts where it would be made.
    const auto space = platform::volumeSpace(m_drive, QStringLiteral("\\not\\made\\yet\\"));
    QVERIFY(space.has_value());
    QCOMPARE(space->available, before - MiB);
    QCOMPARE(space->total, totalBytes(m_root));
    QVERIFY(space->blockSize > 0 && space->blockSize % 512 == 0);

    // A drive letter with nothing behind it has no space, and no question to the user.
    const DWORD drives = GetLogicalDrives();
    char letter = 'Z';
    while (letter > 'D' && (drives & (1u << (letter - 'A')))) {
        --letter;
    }
    QVERIFY(letter > 'D');
    const QString none = QString(QLatin1Char(letter)) + QLatin1Char(':');
    QCOMPARE(platform::diskFree(none, QStringLiteral("\\")), qint64(0));
    QVERIFY(!platform::volumeSpace(none, QStringLiteral("\\x\\")).has_value());
}

void tst_Windows::namesAreTakenLiterally_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");

    QTest::newRow("the file") << "fill1.dat" << true;
    QTest::newRow("'?' is no pattern") << "fill?.dat" << false;
    QTest::newRow("'*' is no pattern") << "*.dat" << false;
    QTest::newRow("a hidden system file") << "secret.dat" << true;
    QTest::newRow("a folder is no file") << "folder" << false;
    QTest::newRow("nothing") << "" << false;
}

void tst_Windows::namesAreTakenLiterally()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    QVERIFY(writeFile(at(QStringLiteral("fill1.dat")), "1"));
    QVERIFY(writeFile(at(QStringLiteral("secret.dat")), "2"));
    QVERIFY(SetFileAttributesW(at(QStringLiteral("secret.dat")).toStdWString().c_str(),
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    QVERIFY(QDir(m_root).mkdir(QStringLiteral("folder")));
    const QString path = name.isEmpty() ? QString() : at(name);

    QCOMPARE(platform::fileExists(path), exists);
    const std::error_code removed = platform::removeFile(path);
    QCOMPARE(!removed, exists);
    QCOMPARE(platform::fileExists(path), false);
    // Only the one named file went.
    QCOMPARE(fileSize(at(QStringLiteral("fill1.dat"))), name == QLatin1String("fill1.dat") ? -1 : 1);
    QCOMPARE(QFileInfo(at(QStringLiteral("folder"))).isDir(), true);
}

void tst_Windows::errorCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("outOfSpace");
    QTest::addColumn<bool>("worded"); // Wine has no text for some codes Windows words

    QTest::newRow("disk full") << int(ERROR_DISK_FULL) << true << true;
    QTest::newRow("handle disk full") << int(ERROR_HANDLE_DISK_FULL) << true << true;
    QTest::newRow("quota exceeded") << 1295 << true << false;
    // FAT's file-size limit is reported as such, never taken for a full disk.
    QTest::newRow("file too large") << int(ERROR_FILE_TOO_LARGE) << false << false;
    QTest::newRow("access denied") << int(ERROR_ACCESS_DENIED) << false << true;
    QTest::newRow("sharing violation") << int(ERROR_SHARING_VIOLATION) << false << true;
    QTest::newRow("device not ready") << int(ERROR_NOT_READY) << false << true;
}

void tst_Windows::errorCodes()
{
    QFETCH(int, code);
    QFETCH(bool, outOfSpace);
    QFETCH(bool, worded);
    const std::error_code error = platform::win32Error(static_cast<unsigned long>(code));
    QCOMPARE(platform::isOutOfSpace(error), outOfSpace);
    const QString text = platform::errorText(error);
    QVERIFY(!text.trimmed().isEmpty());
    if (worded) { // the system's own words, not a number
        QVERIFY2(!text.contains(QString::number(code)), qPrintable(text));
    }
}

void tst_Windows::criticalErrorsAreNotAsked()
{
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    platform::prepareProcess();
    // Added to what the process had, not in its place.
    QCOMPARE(GetErrorMode() & (SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX),
             UINT(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX));
}

void tst_Windows::cleanRemovesOnlyFills_data()
{
    QTest::addColumn<bool>("removeWhenClosed"); // the live run's file, as --run and --hold open it

    QTest::newRow("a --keep run's file") << false;
    QTest::newRow("a file removed at its close") << true;
}

// A script reads the path back from the JSON summary: every character of it, whatever the code page.
// --clean removes a fill, keeps a file that only begins with the header text, and leaves one a live
// run holds open as in use.
void tst_Windows::cleanRemovesOnlyFills()
{
    QFETCH(bool, removeWhenClosed);
    {
        const auto file = platform::makeOutputFile();
        fill::Engine engine(*file, plainRun());
        QCOMPARE(engine.run(at(QStringLiteral("old.dat")), 4 * KiB).outcome, fill::Outcome::TargetReached);
    }
    QVERIFY(writeFile(at(QStringLiteral("lookalike.dat")), fill::headerText() + QByteArray(1024, 'x')));
    const auto heldFile = platform::makeOutputFile();
    heldFile->setRemoveWhenClosed(removeWhenClosed);
    fill::Engine held(*heldFile, plainRun());
    QCOMPARE(held.start(at(QStringLiteral("live.dat")), platform::Existing::Refuse).outcome,
             fill::Outcome::TargetReached);
    QCOMPARE(held.fill(4 * KiB).outcome, fill::Outcome::TargetReached);

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    QVERIFY(out && err);
    auto closeBoth = qScopeGuard([&] {
        std::fclose(out);
        std::fclose(err);
    });
    QString error;
    const auto options = cli::parseArguments({ QStringLiteral("--json"), QStringLiteral("--clean"), m_root }, &error);
    QVERIFY2(options, qPrintable(error));
    fill::SignalState stop;
    QCOMPARE(cli::run(*options, stop, false, out, err), int(cli::ExitWriteError)); // one left in use
    std::rewind(out);
    QByteArray bytes(4096, '\0');
    bytes.truncate(static_cast<qsizetype>(std::fread(bytes.data(), 1, bytes.size(), out)));
    const QJsonObject summary = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(summary.value(QStringLiteral("removed")).toArray().size(), 1);
    QCOMPARE(summary.value(QStringLiteral("in_use")).toArray().size(), 1);
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("old.dat"))));
    QVERIFY(QFileInfo::exists(at(QStringLiteral("lookalike.dat"))));
    QCOMPARE(fileSize(at(QStringLiteral("live.dat"))), 4 * KiB);
    QVERIFY(!heldFile->remove());
    QCOMPARE(QFileInfo::exists(at(QStringLiteral("live.dat"))), false);
}

void tst_Windows::commandLineReadsBack_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("plain") << QStringList { "a", "b" };
    QTest::newRow("blanks and nothing") << QStringList { "two words", "", "tab\there" };
    QTest::newRow("quotes") << QStringList { "say \"hi\"", "\"", "a\"b" };
    QTest::newRow("backslashes") << QStringList { "C:\\dir\\", "C:\\two words\\", "a\\\\\"b", "\\\\server" };
}

// What CreateProcessW is given is read back into the very arguments, as the command's runtime reads it.
void tst_Windows::commandLineReadsBack()
{
    QFETCH(QStringList, arguments);
    const QString program = QStringLiteral("C:\\Program Files\\x.exe");
    const std::wstring line = platform::windowsCommandLine(program, arguments);
    int count = 0;
    wchar_t** read = CommandLineToArgvW(line.c_str(), &count);
    QVERIFY(read);
    QStringList back;
    for (int i = 0; i < count; ++i) {
        back.append(QString::fromWCharArray(read[i]));
    }
    LocalFree(read);
    QCOMPARE(back, QStringList { program } + arguments);
}

void tst_Windows::jsonSummaryKeepsTheName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("size");

    QTest::newRow("Japanese") << QStringLiteral("日本語.bin") << "2K";
    QTest::newRow("accents") << QStringLiteral("résumé.bin") << "2K";
    QTest::newRow("beyond the BMP") << QStringLiteral("\U0001F600.bin") << "2K";
}

void tst_Windows::jsonSummaryKeepsTheName()
{
    QFETCH(QString, name);
    QFETCH(QString, size);
    const QString path = at(name);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    QVERIFY(out && err);
    auto closeBoth = qScopeGuard([&] {
        std::fclose(out);
        std::fclose(err);
    });
    QString error;
    const auto options = cli::parseArguments({ QStringLiteral("--json"), path, size }, &error);
    QVERIFY2(options, qPrintable(error));
    fill::SignalState stop;
    QCOMPARE(cli::run(*options, stop, false, out, err), int(cli::ExitDone));

    std::rewind(out);
    QByteArray bytes(4096, '\0');
    bytes.truncate(static_cast<qsizetype>(std::fread(bytes.data(), 1, bytes.size(), out)));
    QJsonParseError parse {};
    const QJsonDocument summary = QJsonDocument::fromJson(bytes, &parse);
    QVERIFY2(parse.error == QJsonParseError::NoError, bytes.constData());
    QCOMPARE(summary.object().value(QStringLiteral("path")).toString(), path);
    QCOMPARE(fileSize(path), 2 * KiB);
}

// The free-space display on a system whose locale writes "," for the point and groups thousands.
void tst_Windows::numberTextIgnoresTheUsersLocale_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("fraction") << 1171.875 << "1171.875";
    QTest::newRow("rounded to 15 digits") << 2147483647.0 / 1024 << "2097151.99902344";
    QTest::newRow("beyond 2^31") << 5368709120.0 << "5368709120";
    QTest::newRow("small quotient") << 1.0 / 1048576 << "0.00000095367431640625";
}

void tst_Windows::numberTextIgnoresTheUsersLocale()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString shown = fill::numberText(value);
    QLocale::setDefault(before);
    QCOMPARE(shown, text);
}

QTEST_GUILESS_MAIN(tst_Windows)
#include "tst_windows.moc"
