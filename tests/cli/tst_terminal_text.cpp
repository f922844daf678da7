// Names as the command line shows them: every control character and every byte that is not
// UTF-8 visible, everything else as it is; and arguments that keep their bytes.
#include "platform/ByteText.h"
#include "platform/TerminalText.h"
#include "support/TestMain.h"

#include <QTest>

using namespace bq;

class TerminalTextTest : public QObject {
    Q_OBJECT

  private slots:
    void shown_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << QByteArray("Emma.epub") << QStringLiteral("Emma.epub");
        QTest::newRow("letters and signs")
            << QByteArray("Caf\xc3\xa9 ?*\\ \xe2\x86\x92 \xf0\x9f\x93\x96")
            << QStringLiteral("Café ?*\\ → 📖");
        QTest::newRow("escape sequence, bell, line feed")
            << QByteArray("\x1b[31mred\a\n[9:9] x") << QStringLiteral("\\e[31mred\\a\\n[9:9] x");
        QTest::newRow("other C0") << QByteArray("\x01\b\t\v\f\r\x1f")
                                  << QStringLiteral("\\x01\\b\\t\\v\\f\\r\\x1f");
        QTest::newRow("DEL and C1 characters") << QByteArray(
                                                      "a\x7f"
                                                      "b\xc2\x9b"
                                                      "c\xc2\x85"
                                                      "d\xc2\xa0")
                                               << QStringLiteral("a\\x7fb\\x9bc\\x85d\u00a0");
        QTest::newRow("bytes that are not UTF-8") << QByteArray(
                                                         "a\xff"
                                                         "b\x9b"
                                                         "c\xc3")
                                                  << QStringLiteral("a\\xFFb\\x9Bc\\xC3");
        QTest::newRow("overlong, surrogate, beyond U+10FFFF")
            << QByteArray("\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80")
            << QStringLiteral("\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80");
        QTest::newRow("a character whose second half is like an escaped byte")
            << QByteArray("\xf0\x90\x82\x80") << QString::fromUtf8("\xf0\x90\x82\x80");
    }
    void shown() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QCOMPARE(TerminalSafeBytes(bytes), shown);
        QCOMPARE(BytesOfText(TextKeepingBytes(bytes)), bytes);
        if (QString::fromUtf8(bytes).toUtf8() == bytes) {
            QCOMPARE(TextKeepingBytes(bytes), QString::fromUtf8(bytes));
            QCOMPARE(TerminalSafe(QString::fromUtf8(bytes)), shown);
        }
        for (const QChar c : TerminalSafeBytes(bytes)) {
            QVERIFY(c.unicode() >= 0x20 && (c.unicode() < 0x7f || c.unicode() > 0x9f));
        }
    }
};

BQ_TEST_MAIN(TerminalTextTest)
#include "tst_terminal_text.moc"
