#include "core/sizetext.h"

#include <QTest>

#include <cmath>

class tst_SizeText : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void targets_data();
    void targets();
    void hostileTextsNeverFail_data();
    void hostileTextsNeverFail();
};

void tst_SizeText::reads_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("integer") << "3" << 3.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("letters first") << "abc" << 0.0;
    QTest::newRow("unit after number") << "12KB" << 12.0;
    QTest::newRow("comma ends the number") << "1,000" << 1.0;
    QTest::newRow("blank inside") << "1 2" << 12.0;
    QTest::newRow("tab and line feed inside") << "\t1\n2 " << 12.0;
    QTest::newRow("carriage return ends the number") << "1\r2" << 1.0;
    QTest::newRow("fraction") << "1.5" << 1.5;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("second point ends") << "1.2.3" << 1.2;
    QTest::newRow("plus sign") << "+7" << 7.0;
    QTest::newRow("minus sign") << "-3" << -3.0;
    QTest::newRow("blank after sign") << "- 3" << -3.0;
    QTest::newRow("sign alone") << "-" << 0.0;
    QTest::newRow("point alone") << "." << 0.0;
    QTest::newRow("exponent e") << "1e3" << 1000.0;
    QTest::newRow("exponent E negative") << "25E-1" << 2.5;
    QTest::newRow("exponent D") << "2D2" << 200.0;
    QTest::newRow("exponent d plus") << "2d+1" << 20.0;
    QTest::newRow("exponent without digits") << "4e" << 4.0;
    QTest::newRow("exponent sign without digits") << "4e-x" << 4.0;
    QTest::newRow("hexadecimal") << "&H10" << 16.0;
    QTest::newRow("hexadecimal lower case") << "&hff" << 255.0;
    QTest::newRow("hexadecimal stops at non-digit") << "&H1G" << 1.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("octal stops at 8") << "&O78" << 7.0;
    QTest::newRow("ampersand alone") << "&" << 0.0;
    QTest::newRow("ampersand other letter") << "&X12" << 0.0;
    // Typed with a Japanese input method on.
    QTest::newRow("full-width digits") << QStringLiteral("１２") << 12.0;
    QTest::newRow("full-width sign, point, exponent, blank") << QStringLiteral("－１．５Ｅ\u3000２") << -150.0;
    QTest::newRow("full-width d exponent and plus") << QStringLiteral("＋２ｄ１") << 20.0;
    QTest::newRow("mixed widths") << QStringLiteral("1０.５") << 10.5;
    QTest::newRow("ideographic full stop is no point") << QStringLiteral("１。５") << 1.0;
    QTest::newRow("non-ASCII ends the number") << QStringLiteral("5ＫＢ") << 5.0;
    QTest::newRow("underflow reads as zero") << "1e-400" << 0.0;
    QTest::newRow("zeros with huge exponent") << "0.000e999999999999999999" << 0.0;
    QTest::newRow("many leading zeros") << (QString(5000, u'0') + "42") << 42.0;
}

void tst_SizeText::reads()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(fill::readSizeText(text), value);
}

void tst_SizeText::targets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("unit");
    QTest::addColumn<qint64>("bytes");

    const qint64 kb = fill::kilobyte;
    const qint64 mb = fill::megabyte;
    QTest::newRow("1 KB") << "1" << kb << qint64(1024);
    QTest::newRow("0.5 KB") << "0.5" << kb << qint64(512);
    QTest::newRow("1.5 KB") << "1.5" << kb << qint64(1536);
    QTest::newRow("3 MB") << "3" << mb << qint64(3145728);
    QTest::newRow("2047 MB") << "2047" << mb << qint64(2146435072);
    QTest::newRow("2097151 KB") << "2097151" << kb << qint64(2147482624);
    QTest::newRow("2048 MB is an ordinary size") << "2048" << mb << qint64(2147483648);
    QTest::newRow("2097152 KB is an ordinary size") << "2097152" << kb << qint64(2147483648);
    QTest::newRow("5 TiB") << "5242880" << mb << qint64(5) * 1024 * 1024 * 1024 * 1024;
    QTest::newRow("-3 KB") << "-3" << kb << qint64(-3072);
    QTest::newRow("0.00049 KB rounds to 1") << "0.00049" << kb << qint64(1);
    QTest::newRow("2.5 bytes to 2") << "0.00244140625" << kb << qint64(2);
    QTest::newRow("3.5 bytes to 4") << "0.00341796875" << kb << qint64(4);
    QTest::newRow("empty fills the disk") << "" << kb << fill::fillTheDisk;
    QTest::newRow("0 fills the disk") << "0" << mb << fill::fillTheDisk;
    QTest::newRow("-0 fills the disk") << "-0" << kb << fill::fillTheDisk;
    QTest::newRow("letters fill the disk") << "abc" << kb << fill::fillTheDisk;
    QTest::newRow("0.0004 KB rounds to 0 and fills") << "0.0004" << kb << fill::fillTheDisk;
    QTest::newRow("1e-400 fills the disk") << "1e-400" << kb << fill::fillTheDisk;
    QTest::newRow("12KB") << "12KB" << kb << qint64(12288);
    QTest::newRow("1,000") << "1,000" << kb << qint64(1024);
    QTest::newRow("1 2") << "1 2" << kb << qint64(12288);
    QTest::newRow("1e3") << "1e3" << kb << qint64(1024000);
    QTest::newRow("&H10") << "&H10" << kb << qint64(16384);
    QTest::newRow("largest in MB") << "8796093022207" << mb << qint64(8796093022207) * mb;
}

void tst_SizeText::targets()
{
    QFETCH(QString, text);
    QFETCH(qint64, unit);
    QFETCH(qint64, bytes);
    const auto target = fill::targetBytes(text, unit);
    QVERIFY(target.has_value());
    QCOMPARE(*target, bytes);
}

// Sizes beyond 64 bits or beyond a double are refused, never wrapped, never a crash.
void tst_SizeText::hostileTextsNeverFail_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("unit");
    QTest::addColumn<bool>("fits");

    QTest::newRow("1e400") << "1e400" << fill::kilobyte << false;
    QTest::newRow("-1e400") << "-1e400" << fill::kilobyte << false;
    QTest::newRow("8796093022208 MB is 2^63") << "8796093022208" << fill::megabyte << false;
    QTest::newRow("-8796093022208 MB is -2^63") << "-8796093022208" << fill::megabyte << true;
    QTest::newRow("64-bit hex") << "&HFFFFFFFFFFFFFFFF" << fill::kilobyte << false;
    QTest::newRow("hex of 10000 digits") << ("&H" + QString(10000, u'F')) << fill::kilobyte << false;
    QTest::newRow("10000 digits") << QString(10000, u'9') << fill::kilobyte << false;
    QTest::newRow("10000 fraction digits") << ("0." + QString(10000, u'0') + "1") << fill::kilobyte << true;
    QTest::newRow("huge exponent") << "1e99999999999999999999999999" << fill::kilobyte << false;
    QTest::newRow("NUL and controls") << QString::fromUtf16(u"1\u0000\u0001\u007f2", 5) << fill::kilobyte << true;
    QTest::newRow("surrogate pair") << QStringLiteral("3\U0001F600") << fill::kilobyte << true;
}

void tst_SizeText::hostileTextsNeverFail()
{
    QFETCH(QString, text);
    QFETCH(qint64, unit);
    QFETCH(bool, fits);
    QCOMPARE(fill::targetBytes(text, unit).has_value(), fits);
}

QTEST_APPLESS_MAIN(tst_SizeText)
#include "tst_sizetext.moc"
