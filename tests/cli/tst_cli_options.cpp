#include "clifixture.h"

class tst_CliOptions : public QObject
{
    Q_OBJECT

private slots:
    void sizes_data();
    void sizes();
    void arguments_data();
    void arguments();
    void helpAndVersion();
    void parsedModes_data();
    void parsedModes();
    void verdicts_data();
    void verdicts();
    void progressReports();
};

void tst_CliOptions::sizes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes"); // -1: refused

    QTest::newRow("bytes") << "1500" << qint64(1500);
    QTest::newRow("K") << "3K" << 3 * KiB;
    QTest::newRow("KB") << "3KB" << 3 * KiB;
    QTest::newRow("KiB") << "3KiB" << 3 * KiB;
    QTest::newRow("M") << "3M" << 3 * MiB;
    QTest::newRow("mb lower case") << "3mb" << 3 * MiB;
    QTest::newRow("MiB") << "3MiB" << 3 * MiB;
    QTest::newRow("G") << "2G" << 2 * 1024 * MiB;
    QTest::newRow("T") << "5T" << 5 * 1024 * 1024 * MiB;
    QTest::newRow("TiB") << "1TiB" << 1024 * 1024 * MiB;
    QTest::newRow("fraction") << "1.5M" << 3 * MiB / 2;
    QTest::newRow("blank before unit") << "10 M" << 10 * MiB;
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("negative") << "-1M" << qint64(-1);
    QTest::newRow("unknown unit") << "3X" << qint64(-1);
    QTest::newRow("B alone is no unit") << "3B" << qint64(-1);
    QTest::newRow("unit alone") << "M" << qint64(-1);
    QTest::newRow("two numbers") << "1 2" << qint64(-1);
    QTest::newRow("exponent") << "1e3" << qint64(-1);
    QTest::newRow("beyond 64 bits") << "99999999T" << qint64(-1);
    QTest::newRow("10000 digits") << QString(10000, u'9') << qint64(-1);
}

void tst_CliOptions::sizes()
{
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    const auto size = cli::parseSize(text);
    QCOMPARE(size.has_value(), bytes >= 0);
    if (size) {
        QCOMPARE(*size, bytes);
    }
}

void tst_CliOptions::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("size"); // -1: none

    QTest::newRow("path only") << QStringList { "f" } << true << qint64(-1);
    QTest::newRow("size rounds up to blocks") << QStringList { "f", "1500" } << true << 2 * KiB;
    QTest::newRow("zero is no size") << QStringList { "f", "0" } << false << qint64(-1);
    QTest::newRow("zero with a unit is no size") << QStringList { "f", "0K" } << false << qint64(-1);
    QTest::newRow("options anywhere") << QStringList { "--quiet", "f", "--json", "3M", "--force" } << true << 3 * MiB;
    QTest::newRow("leave size") << QStringList { "f", "--leave", "10M" } << true << qint64(-1);
    QTest::newRow("leave percent") << QStringList { "f", "--leave=5%" } << true << qint64(-1);
    QTest::newRow("path after --") << QStringList { "--", "--quiet" } << true << qint64(-1);
    QTest::newRow("dashed path after --") << QStringList { "--", "-h" } << true << qint64(-1);
    QTest::newRow("lone dash is a name") << QStringList { "-", "1K" } << true << KiB;
    QTest::newRow("short option not taken for a path") << QStringList { "-q" } << false << qint64(-1);
    QTest::newRow("negative size") << QStringList { "f", "-3K" } << false << qint64(-1);
    QTest::newRow("no path") << QStringList {} << false << qint64(-1);
    QTest::newRow("empty path") << QStringList { "" } << false << qint64(-1);
    QTest::newRow("three positionals") << QStringList { "f", "1M", "2M" } << false << qint64(-1);
    QTest::newRow("bad size") << QStringList { "f", "lots" } << false << qint64(-1);
    QTest::newRow("unknown option") << QStringList { "f", "--fast" } << false << qint64(-1);
    QTest::newRow("leave without value") << QStringList { "f", "--leave" } << false << qint64(-1);
    QTest::newRow("leave over 100%") << QStringList { "f", "--leave", "101%" } << false << qint64(-1);
    QTest::newRow("leave bad size") << QStringList { "f", "--leave", "-3M" } << false << qint64(-1);
    QTest::newRow("run takes the rest") << QStringList { "f", "1K", "--run", "sh", "-x", "--bogus" } << true << KiB;
    QTest::newRow("run without a command") << QStringList { "f", "--run" } << false << qint64(-1);
    QTest::newRow("hold, then SIZE taken for a duration") << QStringList { "f", "--hold", "90" } << true << qint64(-1);
    QTest::newRow("SIZE before hold") << QStringList { "f", "3M", "--hold" } << true << 3 * MiB;
    QTest::newRow("bad duration") << QStringList { "f", "--hold=5x" } << false << qint64(-1);
    QTest::newRow("duration too long, not a SIZE")
        << QStringList { "f", "--hold", "99999999999" } << false << qint64(-1);
    QTest::newRow("hold and run") << QStringList { "f", "--hold", "--run", "true" } << false << qint64(-1);
    QTest::newRow("keep alone") << QStringList { "f", "--keep" } << false << qint64(-1);
    QTest::newRow("top-up alone") << QStringList { "f", "--top-up" } << false << qint64(-1);
    QTest::newRow("clean") << QStringList { "--clean", "d", "--recursive", "--dry-run", "--inodes" } << true
                           << qint64(-1);
    QTest::newRow("clean with a PATH") << QStringList { "--clean", "d", "f" } << false << qint64(-1);
    QTest::newRow("recursive without clean") << QStringList { "f", "--recursive" } << false << qint64(-1);
    QTest::newRow("inodes with a size") << QStringList { "d", "1M", "--inodes" } << false << qint64(-1);
    QTest::newRow("leave-inodes alone") << QStringList { "f", "--leave-inodes", "3" } << false << qint64(-1);
    QTest::newRow("used") << QStringList { "f", "--used", "40%" } << true << qint64(-1);
    QTest::newRow("used 0%") << QStringList { "f", "--used", "0%" } << false << qint64(-1);
    QTest::newRow("used and leave") << QStringList { "f", "--used", "40", "--leave", "1M" } << false << qint64(-1);
    QTest::newRow("progress json") << QStringList { "f", "--progress", "json" } << true << qint64(-1);
    QTest::newRow("progress bad") << QStringList { "f", "--progress", "loud" } << false << qint64(-1);
    QTest::newRow("data bad") << QStringList { "f", "--data", "zeros" } << false << qint64(-1);
    QTest::newRow("isolate") << QStringList { "--isolate", "d", "--leave", "1M", "--inodes", "--keep", "--run", "true" }
                             << true << qint64(-1);
    QTest::newRow("isolate without run") << QStringList { "--isolate", "d", "--leave", "1M" } << false << qint64(-1);
    QTest::newRow("isolate, hold") << QStringList { "--isolate", "d", "--hold", "--run", "true" } << false
                                   << qint64(-1);
    for (const char* other : { "--top-up", "--allocate", "--used=5%", "--data=ones", "--clean=d", "--leave=5%", "f",
                               "--leave-inodes=1125899906842625" }) {
        QTest::addRow("isolate, %s", other)
            << QStringList { "--isolate", "d", "--inodes", other, "--run", "true" } << false << qint64(-1);
    }
}

void tst_CliOptions::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(qint64, size);
    QString error;
    const auto options = cli::parseArguments(arguments, &error);
    QCOMPARE(options.has_value(), valid);
    if (!options) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(options->size.value_or(-1), size);
}

void tst_CliOptions::helpAndVersion()
{
    // Run on a small volume, so were an option taken for a PATH it could fill nothing else.
    TMPFS(volume, MiB);
    const Outcome help = runFiller({ QStringLiteral("--help") }, volume.path());
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("Usage: tallowmere-fill")));
    const Outcome shortHelp = runFiller({ QStringLiteral("-h") }, volume.path());
    QCOMPARE(shortHelp.code, 0);
    QCOMPARE(shortHelp.out, help.out);
    // The help lists each option of the table once, on a line of its own, and no other.
    static const QRegularExpression optionLine(QStringLiteral("^  (?:-\\w, )?(--[a-z-]+)"),
                                               QRegularExpression::MultilineOption);
    QStringList listed;
    for (auto lines = optionLine.globalMatch(help.out); lines.hasNext();) {
        listed.append(lines.next().captured(1));
    }
    listed.removeOne(QStringLiteral("--help-all")); // Qt's, beside its --help
    QCOMPARE(listed, cli::optionNames());
    const Outcome version = runFiller({ QStringLiteral("--version") }, volume.path());
    QCOMPARE(version.code, 0);
    QCOMPARE(version.out,
             QStringLiteral("tallowmere-fill %1.%2.%3\n")
                 .arg(ProductInfo::major)
                 .arg(ProductInfo::minor)
                 .arg(ProductInfo::revision));
    QVERIFY(QDir(volume.path()).isEmpty());
}

void tst_CliOptions::parsedModes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("parsed");
    QTest::newRow("hold 5m") << QStringList { "f", "--hold", "5m" } << "hold=300";
    QTest::newRow("hold=2h") << QStringList { "--hold=2h", "f" } << "hold=7200";
    QTest::newRow("hold alone") << QStringList { "--hold", "f" } << "hold=until a signal";
    QTest::newRow("a SIZE is no duration") << QStringList { "f", "--hold", "3M" } << "hold=until a signal size=3145728";
    QTest::newRow("the command keeps its options")
        << QStringList { "--top-up", "f", "--run", "cmd", "--json", "--", "x" } << "top-up command=cmd|--json|--|x";
    QTest::newRow("used, data, allocate")
        << QStringList { "f", "--used=40", "--data", "random", "--allocate" } << "used=40 random allocate";
}

void tst_CliOptions::parsedModes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, parsed);
    QString error;
    const auto options = cli::parseArguments(arguments, &error);
    QVERIFY2(options, qPrintable(error));
    QStringList seen;
    if (options->hold) {
        seen << QStringLiteral("hold=")
                + (options->holdSeconds ? QString::number(*options->holdSeconds) : QStringLiteral("until a signal"));
    }
    if (options->size) {
        seen << QStringLiteral("size=%1").arg(*options->size);
    }
    if (options->topUp) {
        seen << QStringLiteral("top-up");
    }
    if (!options->command.isEmpty()) {
        seen << QStringLiteral("command=") + options->command.join(u'|');
    }
    if (options->usedPercent) {
        seen << QStringLiteral("used=%1").arg(*options->usedPercent);
    }
    if (options->data == fill::Data::Random) {
        seen << QStringLiteral("random");
    }
    if (options->allocate) {
        seen << QStringLiteral("allocate");
    }
    QCOMPARE(seen.join(u' '), parsed);
}

void tst_CliOptions::verdicts_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("quota");
    QTest::addColumn<qint64>("size"); // -1: none
    QTest::addColumn<qint64>("leave"); // -1: none
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("settled"); // available at the run's own last settled reading; -1: not known
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("code");
    const int full = int(fill::Outcome::DiskFull);
    const int reached = int(fill::Outcome::TargetReached);
    QTest::newRow("volume full, as asked")
        << full << false << qint64(-1) << qint64(-1) << qint64(0) << qint64(-1) << 0 << "disk full" << 0;
    QTest::newRow("volume full before the size")
        << full << false << MiB << qint64(-1) << qint64(0) << qint64(-1) << 0 << "disk full" << 3;
    QTest::newRow("quota full, as asked")
        << full << true << qint64(-1) << qint64(-1) << MiB << qint64(-1) << 0 << "quota" << 0;
    QTest::newRow("quota full before the size")
        << full << true << MiB << qint64(-1) << MiB << qint64(-1) << 0 << "quota" << 3;
    QTest::newRow("quota full above the floor")
        << full << true << qint64(-1) << KiB << MiB << qint64(-1) << 0 << "quota" << 3;
    QTest::newRow("target") << reached << false << MiB << qint64(-1) << MiB << qint64(-1) << 0 << "target reached" << 0;
    QTest::newRow("floor before the size") << reached << false << 4 * MiB << MiB << MiB << qint64(-1) << 0
                                           << "space to leave reached before the size" << 3;
    QTest::newRow("floor broken") << reached << false << qint64(-1) << MiB << KiB << qint64(-1) << 0
                                  << "space to leave not kept" << 3;
    // Another program freed space after the run had met the floor.
    QTest::newRow("floor met, then space freed")
        << reached << false << qint64(-1) << MiB << 2 * MiB << MiB + KiB << 0 << "target reached" << 0;
    QTest::newRow("floor missed by more than a unit")
        << reached << false << qint64(-1) << MiB << MiB + 64 * KiB << qint64(-1) << 0 << "space to leave missed" << 3;
    QTest::newRow("SIGINT") << int(fill::Outcome::Stopped) << false << qint64(-1) << qint64(-1) << MiB << qint64(-1)
                            << SIGINT << "interrupted" << 130;
    QTest::newRow("SIGHUP") << int(fill::Outcome::Stopped) << false << qint64(-1) << qint64(-1) << MiB << qint64(-1)
                            << SIGHUP << "interrupted" << 129;
    QTest::newRow("write failed") << int(fill::Outcome::WriteFailed) << false << qint64(-1) << qint64(-1) << MiB
                                  << qint64(-1) << 0 << "error" << 4;
    QTest::newRow("header failed") << int(fill::Outcome::HeaderFailed) << false << qint64(-1) << qint64(-1) << MiB
                                   << qint64(-1) << 0 << "error" << 2;
}

void tst_CliOptions::verdicts()
{
    QFETCH(int, outcome);
    QFETCH(bool, quota);
    QFETCH(qint64, size);
    QFETCH(qint64, leave);
    QFETCH(qint64, available);
    QFETCH(qint64, settled);
    QFETCH(int, signal);
    QFETCH(QString, reason);
    QFETCH(int, code);
    const cli::Verdict verdict
        = cli::verdictFor({ fill::Outcome(outcome), quota, signal, 2 * MiB,
                            size >= 0 ? std::optional(size) : std::nullopt, leave, available, 4 * KiB, settled });
    QCOMPARE(verdict.reason, reason);
    QCOMPARE(verdict.code, code);
}

// About four reports a second, each one JSON object, with a rate and an estimate a program can use.
void tst_CliOptions::progressReports()
{
    std::FILE* stream = std::tmpfile();
    QVERIFY(stream);
    cli::Progress progress(cli::Progress::Style::Json, 1000 * MiB, stream);
    QVERIFY(!progress.update(100 * MiB, 0.1));
    QVERIFY(progress.update(250 * MiB, 0.3));
    QVERIFY(!progress.update(300 * MiB, 0.4));
    QVERIFY(progress.update(500 * MiB, 0.55));
    progress.finish(600 * MiB, 0.6); // the final count, though the last report is recent
    std::rewind(stream);
    QByteArray text(4096, '\0');
    text.truncate(static_cast<qsizetype>(std::fread(text.data(), 1, static_cast<size_t>(text.size()), stream)));
    std::fclose(stream);
    const QList<QByteArray> lines = text.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(second.value(QStringLiteral("bytes_written")).toInteger(), 500 * MiB);
    QCOMPARE(second.value(QStringLiteral("goal_bytes")).toInteger(), 1000 * MiB);
    QCOMPARE(second.value(QStringLiteral("bytes_per_second")).toDouble(), 1000.0 * MiB); // 250 MiB in 0.25 s
    QVERIFY(qAbs(second.value(QStringLiteral("eta_seconds")).toDouble() - 0.55) < 0.06); // at the average rate
    QCOMPARE(QJsonDocument::fromJson(lines[2]).object().value(QStringLiteral("bytes_written")).toInteger(), 600 * MiB);

    cli::Progress unknown(cli::Progress::Style::Json, 0, stdout);
    QVERIFY(unknown.json(MiB, 1).contains(QStringLiteral("\"eta_seconds\":null")));
    cli::Progress files(cli::Progress::Style::Json, 0, stdout, cli::Progress::Unit::Files);
    QVERIFY(files.json(300, 1).contains(QStringLiteral("\"files_made\":300,")));
    cli::Progress shown(cli::Progress::Style::Text, 4 * MiB, stdout);
    QVERIFY2(shown.text(MiB, 1).contains(QStringLiteral("1.0 MiB written  25.0 %")), qPrintable(shown.text(MiB, 1)));
}

QTEST_MAIN(tst_CliOptions)
#include "tst_cli_options.moc"
