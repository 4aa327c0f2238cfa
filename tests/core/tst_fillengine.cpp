#include "core/fillengine.h"
#include "core/fillformat.h"
#include "platform/filesystem.h"
#include "productinfo.h"

#include "fakeoutputfile.h"
#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <memory>
#include <sys/stat.h>

using fill::Outcome;

namespace {

// Pass and stop hooks that record the positions and stop on a chosen pass.
struct Recorder
{
    QList<qint64> positions;
    int stopOnPass = 0;
    // Time stands still unless a test moves it: a loaded machine (a sanitizer build beside another
    // build) made single 1 MiB writes to memory take over 20 ms, and runs were halved at random.
    std::function<qint64()> clock = [] { return qint64(0); };

    fill::Hooks hooks()
    {
        return { .pass = [this](qint64 position) { positions.append(position); },
                 .stopRequested = [this] { return stopOnPass > 0 && positions.size() >= stopOnPass; },
                 .clock = clock };
    }
};

QByteArray expectedHeaderBlock()
{
    QByteArray block = fill::headerText();
    block.append(1024 - block.size(), static_cast<char>(0xFF));
    return block;
}

// A real file whose first long write stops inside a block with "no space", as on a file system that
// allocates in units smaller than a block.
class ShortOnce final : public BorrowedOutputFile
{
public:
    using BorrowedOutputFile::BorrowedOutputFile;
    platform::WriteResult write(const char* data, qint64 size) override
    {
        if (m_cut || size < 4 * KiB) {
            return BorrowedOutputFile::write(data, size);
        }
        m_cut = true;
        auto result = BorrowedOutputFile::write(data, 2 * KiB + 512);
        if (!result.error) {
            result.error = std::make_error_code(std::errc::no_space_on_device);
        }
        return result;
    }
    bool cut() const { return m_cut; }

private:
    bool m_cut = false;
};

} // namespace

class tst_FillEngine : public QObject
{
    Q_OBJECT

private slots:
    void headerText();
    void recognisesAFill_data();
    void recognisesAFill();
    void lengthForTarget_data();
    void lengthForTarget();
    void onePassPerRun();
    void slowRunsGetShorter();
    void aDiskCatchingUpGetsPassesMeanwhile();
    void stopEndsBeforeTheNextBlock_data();
    void stopEndsBeforeTheNextBlock();
    void noSpaceAtEveryOffset_data();
    void noSpaceAtEveryOffset();
    void otherWriteErrorsAreReported_data();
    void otherWriteErrorsAreReported();
    void failedClose_data();
    void failedClose();
    void failedTruncateStillEnds();
    void deletedByAnotherProgram();
    void createFailure();
    void headerThatDoesNotFit();

    // Real file systems.
    void writesTheFormatOnDisk();
    void goesOnAfterAWriteCutInsideABlock();
    void createsTheFileALinkPointsTo_data();
    void createsTheFileALinkPointsTo();
    void fillsAVolumeToTheLastBlock_data();
    void fillsAVolumeToTheLastBlock();
    void goesPast4GiB();
    void refusesBeforeTouchingAnything_data();
    void refusesBeforeTouchingAnything();
    void readOnlyVolume();
    void diskFullDuringTheHeaderBlock();
    void existingFileIsEmptiedEvenWhenStoppedAtOnce();
};

// "Maked By Tallowmere 1.3.14" for this version: the numbers in plain decimal, no leading zeros.
void tst_FillEngine::headerText()
{
    const QRegularExpressionMatch match
        = QRegularExpression(
              QStringLiteral("^Maked By Tallowmere (0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$"))
              .match(QString::fromLatin1(fill::headerText()));
    QVERIFY(match.hasMatch());
    QCOMPARE(match.captured(1).toInt(), ProductInfo::major);
    QCOMPARE(match.captured(2).toInt(), ProductInfo::minor);
    QCOMPARE(match.captured(3).toInt(), ProductInfo::revision);
}

// What a clean-up takes for a fill, from what it reads back: the first block, the size, the blocks
// sampled; and for a folder, its marker.
void tst_FillEngine::recognisesAFill_data()
{
    using fill::Recognised;
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Recognised>("expected");
    const QByteArray header = fill::headerText();
    const QByteArray block = fill::headerBlock();
    const QByteArray ones(KiB, '\xff');
    QByteArray random(KiB, '\0');
    for (int i = 0; i < random.size(); ++i) {
        random[i] = static_cast<char>((i * 167 + (i >> 8) * 13) & 0xFF);
    }
    QTest::newRow("header block alone") << block << Recognised::Fill;
    QTest::newRow("bytes of 255") << block + ones.repeated(40) << Recognised::Fill;
    QTest::newRow("reserved, zeros") << block + QByteArray(40 * KiB, '\0') << Recognised::Fill;
    QTest::newRow("random") << block + random.repeated(40) << Recognised::Fill;
    QTest::newRow("not whole blocks") << block + QByteArray(1, '\xff') << Recognised::NotWholeBlocks;
    QTest::newRow("shorter than a block") << header << Recognised::NotWholeBlocks;
    QTest::newRow("no header") << QByteArray(2048, '\xff') << Recognised::NoHeader;
    QTest::newRow("header line, then text")
        << (header + "\nmy notes\n").leftJustified(2048, 'x') << Recognised::NoHeader;
    QTest::newRow("header line, then zeros") << header + QByteArray(2048 - header.size(), '\0') << Recognised::NoHeader;
    QTest::newRow("header block, then text") << block + QByteArray(KiB, 'x') << Recognised::NotFillData;
    QTest::newRow("last block text") << block + ones.repeated(40) + QByteArray(KiB, 'x') << Recognised::NotFillData;
    QTest::newRow("255 and zeros mixed") << block + ones.left(512) + QByteArray(512, '\0') << Recognised::NotFillData;
}

void tst_FillEngine::recognisesAFill()
{
    QFETCH(QByteArray, content);
    QFETCH(fill::Recognised, expected);
    QList<QByteArray> blocks;
    for (const qint64 index : fill::sampledBlocks(content.size())) {
        blocks.append(content.mid(index * KiB, KiB));
    }
    QCOMPARE(fill::recogniseFile(content.size(), content.left(KiB), blocks), expected);
    const QByteArray marker = fill::markerText();
    QCOMPARE(fill::recogniseMarker(marker.size(), 1, marker), fill::Recognised::Fill);
    QCOMPARE(fill::recogniseMarker(marker.size(), 2, marker), fill::Recognised::NotTheMarker);
    QCOMPARE(fill::recogniseMarker(17, 1, "Maked By Somebody"), fill::Recognised::NotTheMarker);
}

void tst_FillEngine::lengthForTarget_data()
{
    QTest::addColumn<qint64>("target");
    QTest::addColumn<qint64>("length");

    QTest::newRow("negative: header only") << qint64(-3072) << KiB;
    QTest::newRow("1 byte") << qint64(1) << KiB;
    QTest::newRow("512 bytes") << qint64(512) << KiB;
    QTest::newRow("1024 bytes") << qint64(1024) << KiB;
    QTest::newRow("1025 bytes") << qint64(1025) << 2 * KiB;
    QTest::newRow("1536 bytes") << qint64(1536) << 2 * KiB;
    QTest::newRow("2048 bytes") << qint64(2048) << 2 * KiB;
    QTest::newRow("3 MiB") << 3 * MiB << 3 * MiB;
    QTest::newRow("1 MiB + 1 byte") << MiB + 1 << MiB + KiB;
    QTest::newRow("just over a run past the header") << MiB + KiB + 1 << MiB + 2 * KiB;
}

void tst_FillEngine::lengthForTarget()
{
    QFETCH(qint64, target);
    QFETCH(qint64, length);
    FakeOutputFile file;
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("fill.dat"), target);
    QCOMPARE(result.outcome, Outcome::TargetReached);
    QCOMPARE(result.bytesWritten, length);
    QCOMPARE(file.size, length);
    QCOMPARE(file.head, expectedHeaderBlock());
    QVERIFY(file.tailAllFill);
    QVERIFY(!file.open);
    // No run ever goes past the block that reaches the target.
    for (const qint64 size : file.writeSizes) {
        QVERIFY(size % KiB == 0);
        QVERIFY(size <= fill::Engine::defaultRunBytes);
    }
}

void tst_FillEngine::onePassPerRun()
{
    FakeOutputFile file;
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    QCOMPARE(engine.run(QStringLiteral("f"), 3 * MiB).outcome, Outcome::TargetReached);
    // Header block, then runs of 1 MiB: the last run stops at the target.
    const QList<qint64> positions { KiB + 1, KiB + MiB + 1, KiB + 2 * MiB + 1 };
    QCOMPARE(recorder.positions, positions);
    const QList<qint64> writes { KiB, MiB, MiB, MiB - KiB };
    QCOMPARE(file.writeSizes, writes);
}

// A slow device gets shorter runs, so a run still reaches its stop test every few tens of
// milliseconds; a fast one goes back to full runs.
void tst_FillEngine::slowRunsGetShorter()
{
    FakeOutputFile file;
    file.nanosecondsPerKiB = 400'000; // 400 ms per MiB
    Recorder recorder;
    recorder.clock = [&file] { return file.clock; };
    fill::Engine engine(file, recorder.hooks());
    engine.run(QStringLiteral("f"), KiB + 4 * MiB);
    const QList<qint64> slow { KiB, MiB, MiB / 2, MiB / 4, MiB / 8, MiB / 16, MiB / 16, MiB / 16 };
    QCOMPARE(file.writeSizes.mid(0, slow.size()), slow);
    QVERIFY(file.writeSizes.size() > 8);
    QVERIFY(file.writeSizes.back() <= MiB / 16); // never below 64 KiB but for the last one

    FakeOutputFile fast;
    fast.nanosecondsPerKiB = 1'000; // 1 ms per MiB
    recorder.clock = [&fast] { return fast.clock; };
    fill::Engine engine2(fast, recorder.hooks(), MiB / 4);
    engine2.run(QStringLiteral("f"), KiB + 2 * MiB);
    QCOMPARE(fast.writeSizes.mid(1).toVector(), QList<qint64>(8, MiB / 4).toVector());
}

// While the disk catches up the file takes nothing; the run keeps reaching its passes, Stop still
// ends it, and nothing is lost or doubled.
void tst_FillEngine::aDiskCatchingUpGetsPassesMeanwhile()
{
    FakeOutputFile file;
    file.busyWrites = 3; // the header block waits for the disk too, without a pass
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    QCOMPARE(engine.run(QStringLiteral("f"), 3 * MiB).outcome, Outcome::TargetReached);
    QCOMPARE(recorder.positions.size(), 3);

    file.busyWrites = 5;
    file.busyFrom = KiB + MiB;
    recorder.positions.clear();
    QCOMPARE(engine.run(QStringLiteral("f"), 3 * MiB).outcome, Outcome::TargetReached);
    QCOMPARE(file.size, 3 * MiB);
    QVERIFY(file.tailAllFill);
    const QList<qint64> positions { KiB + 1,       KiB + MiB + 1, KiB + MiB + 1, KiB + MiB + 1,
                                    KiB + MiB + 1, KiB + MiB + 1, KiB + MiB + 1, KiB + 2 * MiB + 1 };
    QCOMPARE(recorder.positions, positions);

    file.busyWrites = 1000;
    recorder.positions.clear();
    recorder.stopOnPass = 10;
    QCOMPARE(engine.run(QStringLiteral("f"), fill::fillTheDisk).outcome, Outcome::Stopped);
    QCOMPARE(file.size, KiB + MiB);
}

void tst_FillEngine::stopEndsBeforeTheNextBlock_data()
{
    QTest::addColumn<int>("stopOnPass");
    QTest::addColumn<qint64>("length");

    QTest::newRow("first pass") << 1 << KiB;
    QTest::newRow("second pass") << 2 << KiB + MiB;
    QTest::newRow("fifth pass") << 5 << KiB + 4 * MiB;
}

void tst_FillEngine::stopEndsBeforeTheNextBlock()
{
    QFETCH(int, stopOnPass);
    QFETCH(qint64, length);
    FakeOutputFile file;
    Recorder recorder;
    recorder.stopOnPass = stopOnPass;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::Stopped);
    QCOMPARE(recorder.positions.size(), stopOnPass);
    QCOMPARE(file.size, length);
    QCOMPARE(file.writeSizes.size(), stopOnPass); // header, then one run per pass before the stop
    QVERIFY(!file.open);
    QVERIFY(!file.discarded);
}

namespace {

// Windows has no errno for a full quota: its own code is tested in tests/windows.
#ifdef EDQUOT
constexpr int noSpaceAndOtherErrors[] = { ENOSPC, EDQUOT, EIO };
#else
constexpr int noSpaceAndOtherErrors[] = { ENOSPC, EIO };
#endif

const char* errorName(int error)
{
    return error == ENOSPC ? "ENOSPC" : error == EIO ? "EIO" : "EDQUOT";
}

} // namespace

// Every failure point of a run: the volume gives out at each block boundary and in the middle of
// each block, whether the system writes what fits (Linux) or refuses the whole write (Windows).
// "No space" ends silently after the last block that fits; another error is reported; either way
// the file is kept, closed and cut back to whole blocks.
void tst_FillEngine::noSpaceAtEveryOffset_data()
{
    QTest::addColumn<bool>("atomic");
    QTest::addColumn<int>("error");
    QTest::addColumn<qint64>("capacity");
    QTest::addColumn<qint64>("target");

    const qint64 run = 8 * KiB;
    for (const bool atomic : { false, true }) {
        for (const int error : noSpaceAndOtherErrors) {
            for (qint64 capacity = KiB; capacity <= KiB + 2 * run; capacity += KiB / 2) {
                QTest::addRow("%s, %s at %lld", atomic ? "atomic" : "partial", errorName(error), capacity)
                    << atomic << error << capacity << fill::fillTheDisk;
            }
        }
        QTest::addRow("%s, target beyond capacity", atomic ? "atomic" : "partial")
            << atomic << ENOSPC << KiB + run + 5 * KiB + 100 << KiB + 3 * run;
    }
}

void tst_FillEngine::noSpaceAtEveryOffset()
{
    QFETCH(bool, atomic);
    QFETCH(int, error);
    QFETCH(qint64, capacity);
    QFETCH(qint64, target);
    const qint64 run = 8 * KiB;
    FakeOutputFile file;
    file.capacity = capacity;
    file.atomicWrites = atomic;
    file.fullError = { error, std::generic_category() };
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks(), run);
    const auto result = engine.run(QStringLiteral("f"), target);

    qint64 kept = capacity / KiB * KiB;
    if (error == EIO) {
        QCOMPARE(result.outcome, Outcome::WriteFailed);
        QCOMPARE(result.error.value(), EIO);
        if (atomic) { // the failed run wrote nothing, and nothing is retried after a real error
            kept = KiB + (capacity - KiB) / run * run;
        }
    } else {
        QCOMPARE(result.outcome, Outcome::DiskFull);
        QVERIFY(!result.error);
    }
    QCOMPARE(file.size, kept);
    QCOMPARE(result.bytesWritten, kept);
    QVERIFY(file.tailAllFill);
    QVERIFY(!file.open);
    QVERIFY(!file.discarded);
}

void tst_FillEngine::otherWriteErrorsAreReported_data()
{
    QTest::addColumn<int>("error");
    QTest::newRow("device error") << EIO;
    QTest::newRow("file-size limit") << EFBIG;
}

void tst_FillEngine::otherWriteErrorsAreReported()
{
    QFETCH(int, error);
    FakeOutputFile file;
    file.capacity = KiB + MiB + 4000; // fails inside the second run, in the middle of a block
    file.fullError = { error, std::generic_category() };
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::WriteFailed);
    QCOMPARE(result.error.value(), error);
    // Kept, closed, cut back to whole blocks, and no retry after a real error.
    QCOMPARE(file.size, KiB + MiB + 3 * KiB);
    QVERIFY(!file.open);
    QVERIFY(!file.discarded);
    QCOMPARE(recorder.positions.size(), 2);
}

void tst_FillEngine::failedClose_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<Outcome>("outcome");
    QTest::newRow("device error") << EIO << Outcome::WriteFailed;
    QTest::newRow("no space at close") << ENOSPC << Outcome::DiskFull;
}

void tst_FillEngine::failedClose()
{
    QFETCH(int, error);
    QFETCH(Outcome, outcome);
    FakeOutputFile file;
    file.closeError = { error, std::generic_category() };
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), 4 * KiB);
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(file.size, 4 * KiB);
    QVERIFY(!file.discarded);
}

void tst_FillEngine::failedTruncateStillEnds()
{
    FakeOutputFile file;
    file.capacity = KiB + MiB + 100;
    file.truncateError = std::make_error_code(std::errc::io_error);
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::DiskFull);
    QCOMPARE(result.bytesWritten, file.size); // says what is really there
    QVERIFY(!file.open);
}

void tst_FillEngine::deletedByAnotherProgram()
{
    FakeOutputFile file;
    file.deletedAt = KiB + 2 * MiB;
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::WriteFailed);
    QVERIFY(result.error == make_error_code(platform::FileError::Deleted));
    QCOMPARE(file.size, KiB + 2 * MiB); // nothing more is poured into a file nobody can see
    QVERIFY(!file.open);
}

void tst_FillEngine::createFailure()
{
    FakeOutputFile file;
    file.createError = std::make_error_code(std::errc::permission_denied);
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), 4 * KiB);
    QCOMPARE(result.outcome, Outcome::CreateFailed);
    QCOMPARE(result.error, std::make_error_code(std::errc::permission_denied));
    QVERIFY(file.writeSizes.isEmpty());
    QVERIFY(recorder.positions.isEmpty());
}

void tst_FillEngine::headerThatDoesNotFit()
{
    FakeOutputFile file;
    file.capacity = 1000;
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(QStringLiteral("f"), fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::HeaderFailed);
    QVERIFY(platform::isOutOfSpace(result.error));
    QVERIFY(file.discarded);
    QVERIFY(recorder.positions.isEmpty());
}

void tst_FillEngine::writesTheFormatOnDisk()
{
    TMPFS(volume, 16 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const auto file = platform::makeOutputFile();
    Recorder recorder;
    fill::Engine engine(*file, recorder.hooks());
    const auto result = engine.run(path, 3 * MiB);
    QCOMPARE(result.outcome, Outcome::TargetReached);
    const QString problem = checkFillFile(path, 3 * MiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_FillEngine::goesOnAfterAWriteCutInsideABlock()
{
    TMPFS(volume, 4 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const auto real = platform::makeOutputFile();
    ShortOnce file(*real);
    Recorder recorder;
    fill::Engine engine(file, recorder.hooks());
    const auto result = engine.run(path, 64 * KiB);
    QVERIFY(file.cut());
    QCOMPARE(result.outcome, Outcome::TargetReached);
    QCOMPARE(result.bytesWritten, 64 * KiB);
    // The half block is cut off and the blocks after it follow on without a gap.
    const QString problem = checkFillFile(path, 64 * KiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_FillEngine::createsTheFileALinkPointsTo_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("links"); // name, target, name, target, ...
    QTest::addColumn<QString>("landing");
    QTest::addColumn<bool>("mayReplace");
    QTest::newRow("relative") << "link" << QStringList { "link", "sub/fill.dat" } << "sub/fill.dat" << false;
    QTest::newRow("absolute") << "link" << QStringList { "link", "@/sub/fill.dat" } << "sub/fill.dat" << false;
    QTest::newRow("through a second link")
        << "link" << QStringList { "link", "sub/next", "sub/next", "fill.dat" } << "sub/fill.dat" << false;
    QTest::newRow("replace agreed") << "link" << QStringList { "link", "sub/fill.dat" } << "sub/fill.dat" << true;
    // ".." goes up from the folder the link is really in, not from the folder link's name.
    QTest::newRow("'..' after a linked folder")
        << "d/link" << QStringList { "d", "sub/inner", "sub/inner/link", "../fill.dat" } << "sub/fill.dat" << false;
}

void tst_FillEngine::createsTheFileALinkPointsTo()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, links);
    QFETCH(QString, landing);
    QFETCH(bool, mayReplace);
    TMPFS(volume, 4 * MiB);
    QVERIFY(QDir(volume.path()).mkpath(QStringLiteral("sub/inner")));
    for (qsizetype i = 0; i + 1 < links.size(); i += 2) {
        QString target = links[i + 1];
        target.replace(u'@', volume.path());
        QVERIFY(QFile::link(target, volume.filePath(links[i])));
    }
    // The free space is counted where the file is going to be made.
    QCOMPARE(platform::landingPath(volume.filePath(typed)).value_or(QStringLiteral("(nothing)")),
             volume.filePath(landing));

    const auto file = platform::makeOutputFile();
    Recorder recorder;
    fill::Engine engine(*file, recorder.hooks());
    const auto result = engine.run(volume.filePath(typed), 8 * KiB,
                                   mayReplace ? platform::Existing::Replace : platform::Existing::Refuse);
    QCOMPARE(result.outcome, Outcome::TargetReached);
    QVERIFY(QFileInfo(volume.filePath(typed)).isSymLink());
    const QString problem = checkFillFile(volume.filePath(landing), 8 * KiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(platform::landingPath(volume.filePath(typed)).value_or(QStringLiteral("(nothing)")),
             volume.filePath(landing));
}

// A memory file system, and a disk file system with block allocation, a journal and write-behind.
void tst_FillEngine::fillsAVolumeToTheLastBlock_data()
{
    QTest::addColumn<bool>("disk");
    QTest::newRow("tmpfs") << false;
    QTest::newRow("ext4") << true;
}

void tst_FillEngine::fillsAVolumeToTheLastBlock()
{
    QFETCH(bool, disk);
    std::unique_ptr<Tmpfs> memory;
    std::unique_ptr<Ext4Volume> ext4;
    if (disk) {
        DISK_IMAGES_OR_SKIP();
        ext4 = std::make_unique<Ext4Volume>(96 * MiB);
        QVERIFY2(ext4->isMounted(), qPrintable(ext4->error()));
    } else {
        if (const QString why = mountingUnavailable(); !why.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        memory = std::make_unique<Tmpfs>(4 * MiB + 12 * KiB);
        QVERIFY2(memory->isMounted(), qPrintable(memory->error()));
    }
    const QString path
        = disk ? ext4->filePath(QStringLiteral("fill.dat")) : memory->filePath(QStringLiteral("fill.dat"));
    const auto file = platform::makeOutputFile();
    Recorder recorder;
    fill::Engine engine(*file, recorder.hooks());
    const auto result = engine.run(path, fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::DiskFull);
    const qint64 left = disk ? ext4->available() : memory->available();
    QVERIFY2(left < KiB, qPrintable(QString::number(left)));
    QCOMPARE(fileSize(path), result.bytesWritten);
    QVERIFY(result.bytesWritten >= (disk ? 80 * MiB : 4 * MiB));
    const QString problem = checkFillFile(path, result.bytesWritten);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_FillEngine::goesPast4GiB()
{
    const qint64 target = 4 * 1024 * MiB + 2 * MiB + 3 * KiB + 1;
    TMPFS(volume, 4 * 1024 * MiB + 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("big.dat"));
    const auto file = platform::makeOutputFile();
    Recorder recorder;
    fill::Engine engine(*file, recorder.hooks());
    const auto result = engine.run(path, target);
    QCOMPARE(result.outcome, Outcome::TargetReached);
    QCOMPARE(result.bytesWritten, 4 * 1024 * MiB + 2 * MiB + 4 * KiB);
    // Positions handed to the pass hook go on past both 32-bit limits (runs are at most 1 MiB).
    QVERIFY(recorder.positions.last() > (qint64(1) << 32));
    const QString problem = checkFillFile(path, 4 * 1024 * MiB + 2 * MiB + 4 * KiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_FillEngine::refusesBeforeTouchingAnything_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("mayReplace");
    QTest::addColumn<std::error_condition>("reason");
    QTest::newRow("missing folder") << "missing/fill.dat" << true
                                    << std::make_error_condition(std::errc::no_such_file_or_directory);
    QTest::newRow("a directory") << "folder" << true << std::make_error_condition(std::errc::is_a_directory);
    // The window asks to replace only files, so a directory reaches the writer as "no file here".
    QTest::newRow("a directory taken for no file")
        << "folder" << false << std::make_error_condition(std::errc::is_a_directory);
    QTest::newRow("a directory with a trailing slash")
        << "folder/" << true << std::make_error_condition(std::errc::is_a_directory);
    QTest::newRow("a pipe without a reader")
        << "pipe" << true << platform::make_error_code(platform::FileError::NotRegularFile).default_error_condition();
    QTest::newRow("a file in a file") << "plain/fill.dat" << true
                                      << std::make_error_condition(std::errc::not_a_directory);
    QTest::newRow("NUL in the name") << QString::fromUtf16(u"fill\u0000.dat", 9) << true
                                     << std::make_error_condition(std::errc::invalid_argument);
    QTest::newRow("a file nobody agreed to replace")
        << "plain" << false << std::make_error_condition(std::errc::file_exists);
    QTest::newRow("a link to a file nobody agreed to replace")
        << "to-plain" << false << std::make_error_condition(std::errc::file_exists);
    QTest::newRow("a link into a missing folder")
        << "nowhere" << true << std::make_error_condition(std::errc::no_such_file_or_directory);
    QTest::newRow("a loop of links") << "loop-a" << false
                                     << std::make_error_condition(std::errc::too_many_symbolic_link_levels);
}

void tst_FillEngine::refusesBeforeTouchingAnything()
{
    QFETCH(QString, name);
    QFETCH(bool, mayReplace);
    QFETCH(std::error_condition, reason);
    TMPFS(volume, 4 * MiB);
    QVERIFY(QDir(volume.path()).mkdir(QStringLiteral("folder")));
#ifndef Q_OS_WIN // no tmpfs there, so the test is skipped; Windows has no named pipes in folders
    QVERIFY(::mkfifo(volume.filePath(QStringLiteral("pipe")).toLocal8Bit().constData(), 0644) == 0);
#endif
    QFile plain(volume.filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("keep me");
    plain.close();
    QVERIFY(QFile::link(QStringLiteral("plain"), volume.filePath(QStringLiteral("to-plain"))));
    QVERIFY(QFile::link(QStringLiteral("missing/fill.dat"), volume.filePath(QStringLiteral("nowhere"))));
    QVERIFY(QFile::link(QStringLiteral("loop-b"), volume.filePath(QStringLiteral("loop-a"))));
    QVERIFY(QFile::link(QStringLiteral("loop-a"), volume.filePath(QStringLiteral("loop-b"))));
    const QStringList before = QDir(volume.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    const auto file = platform::makeOutputFile();
    Recorder recorder;
    fill::Engine engine(*file, recorder.hooks());
    const auto result = engine.run(volume.filePath(name), 4 * KiB,
                                   mayReplace ? platform::Existing::Replace : platform::Existing::Refuse);
    QCOMPARE(result.outcome, Outcome::CreateFailed);
    QVERIFY2(result.error == reason, qPrintable(platform::errorText(result.error)));
    QVERIFY(recorder.positions.isEmpty());
    QCOMPARE(QDir(volume.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), before);
    QCOMPARE(fileSize(volume.filePath(QStringLiteral("plain"))), qint64(7));
}

void tst_FillEngine::readOnlyVolume()
{
    TMPFS(volume, 4 * MiB);
    QFile existing(volume.filePath(QStringLiteral("old.dat")));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("precious");
    existing.close();
    QVERIFY(volume.remountReadOnly());

    for (const QString& name : { QStringLiteral("new.dat"), QStringLiteral("old.dat") }) {
        const auto file = platform::makeOutputFile();
        Recorder recorder;
        fill::Engine engine(*file, recorder.hooks());
        const auto result = engine.run(volume.filePath(name), 4 * KiB);
        QCOMPARE(result.outcome, Outcome::CreateFailed);
        QVERIFY(result.error == std::errc::read_only_file_system);
    }
    QCOMPARE(fileSize(volume.filePath(QStringLiteral("new.dat"))), qint64(-1));
    QCOMPARE(fileSize(volume.filePath(QStringLiteral("old.dat"))), qint64(8));
}

void tst_FillEngine::diskFullDuringTheHeaderBlock()
{
    TMPFS(volume, 64 * KiB);
    // Take every page of the volume first.
    QFile hog(volume.filePath(QStringLiteral("hog")));
    QVERIFY(hog.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray page(4096, 'h');
    while (hog.write(page) == page.size()) { }
    hog.close();
    QVERIFY(volume.available() < KiB);

    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const auto file = platform::makeOutputFile();
    Recorder recorder;
    fill::Engine engine(*file, recorder.hooks());
    const auto result = engine.run(path, fill::fillTheDisk);
    QCOMPARE(result.outcome, Outcome::HeaderFailed);
    QVERIFY(platform::isOutOfSpace(result.error));
    QCOMPARE(fileSize(path), qint64(-1)); // the file this run created is taken back

    // Renamed while its header was written, and another file put at its name: that one stays.
    struct SwappedDuringTheHeader final : BorrowedOutputFile
    {
        using BorrowedOutputFile::BorrowedOutputFile;
        platform::WriteResult write(const char*, qint64) override
        {
            QFile::rename(path, moved);
            writeFile(path, "user");
            return { 0, std::make_error_code(std::errc::no_space_on_device) };
        }
        QString path, moved;
    };
    const auto real = platform::makeOutputFile();
    SwappedDuringTheHeader swapped(*real);
    swapped.path = path;
    swapped.moved = volume.filePath(QStringLiteral("moved"));
    QVERIFY(QFile::remove(volume.filePath(QStringLiteral("hog"))));
    fill::Engine swappedEngine(swapped, recorder.hooks());
    QCOMPARE(swappedEngine.run(path, fill::fillTheDisk).outcome, Outcome::HeaderFailed);
    QCOMPARE(readFile(path), QByteArray("user"));
}

void tst_FillEngine::existingFileIsEmptiedEvenWhenStoppedAtOnce()
{
    TMPFS(volume, 4 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(100000, 'x'));
    old.close();

    const auto file = platform::makeOutputFile();
    Recorder recorder;
    recorder.stopOnPass = 1;
    fill::Engine engine(*file, recorder.hooks());
    QCOMPARE(engine.run(path, fill::fillTheDisk).outcome, Outcome::Stopped);
    const QString problem = checkFillFile(path, KiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QTEST_GUILESS_MAIN(tst_FillEngine)
#include "tst_fillengine.moc"
