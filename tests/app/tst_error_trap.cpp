// The error report: the exact text of the box, statements that go on after a failure, and a
// failing If test counting as passed.
#include "platform/ErrorTrap.h"
#include "support/ScriptedDialogs.h"

#include <QTest>

#include <filesystem>
#include <new>

using namespace bq;

class ErrorTrapTest : public QObject {
    Q_OBJECT

  private slots:
    void reportTextIsJoinedExactly() {
        QCOMPARE(
            ErrorTrap::ReportText(QStringLiteral("File not found"),
                                  QStringLiteral("Quorvane2021/08/31"),
                                  QStringLiteral("Form1.PushButton2_Click"), 116),
            QStringLiteral("File not found\r\nin Quorvane2021/08/31.Form1.PushButton2_Click at "
                           "line 116\r\rPlease email screenshot of this message to "
                           "support@brindlequill.org"));
        QCOMPARE(ErrorTrap::ReportText(QStringLiteral("Permission denied"),
                                       QStringLiteral("Ornaby2021/08/31"),
                                       QStringLiteral("AddFolder.GetSubDirectories2016"), 104),
                 QStringLiteral("Permission denied\r\nin Ornaby2021/08/31.AddFolder."
                                "GetSubDirectories2016 at line 104\r\rPlease email screenshot of "
                                "this message to support@brindlequill.org"));
    }

    void aFailingStatementIsReportedAndTheHandlerGoesOn() {
        ScriptedDialogs dialogs;
        QStringList ran;
        {
            ErrorTrap trap(dialogs, QStringLiteral("Form1.Form_Load"));
            QVERIFY(ErrorTrap::IsActive());
            trap.Line(100, [&] { ran << "100"; });
            trap.Line(102, [&] {
                RaiseError(ErrTypeMismatch);
                ran << "never";
            });
            trap.Line(104, [&] { ran << "104"; });
            QCOMPARE(trap.reportsShown(), 1);
        }
        QVERIFY(!ErrorTrap::IsActive());
        QCOMPARE(ran, (QStringList{"100", "104"}));
        QCOMPARE(dialogs.boxes.size(), 1);
        QCOMPARE(dialogs.boxes[0].title, QStringLiteral("Application Error"));
        QCOMPARE(dialogs.boxes[0].style, 48);
        QVERIFY(dialogs.boxes[0].prompt.startsWith(QStringLiteral(
            "Type mismatch\r\nin Quorvane2021/08/31.Form1.Form_Load at line 102\r\r")));
    }

    void aFailingTestCountsAsPassed() {
        ScriptedDialogs dialogs;
        ErrorTrap trap(dialogs, QStringLiteral("Form1.PushButton2_Click"));
        QVERIFY(trap.Test(104, [] { return true; }));
        QVERIFY(!trap.Test(106, [] { return false; }));
        QVERIFY(trap.Test(108, []() -> bool { RaiseError(ErrOverflow); }));
        QCOMPARE(dialogs.boxes.size(), 1);
        QVERIFY(dialogs.boxes[0].prompt.contains(QStringLiteral("Overflow\r\n")));
        QVERIFY(dialogs.boxes[0].prompt.contains(QStringLiteral(" at line 108\r\r")));
    }

    void otherExceptionsBecomeRunTimeErrors_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("description");
        QTest::newRow("out of memory") << 0 << 7 << "Out of memory";
        QTest::newRow("a file-system error") << 1 << 70 << "Permission denied";
        QTest::newRow("a library error") << 2 << 5 << "bad thing";
        QTest::newRow("anything else") << 3 << 5 << "Invalid procedure call or argument";
    }
    void otherExceptionsBecomeRunTimeErrors() {
        QFETCH(int, kind);
        QFETCH(int, number);
        QFETCH(QString, description);
        ScriptedDialogs dialogs;
        ErrorTrap trap(dialogs, QStringLiteral("Form1.Form_Load"));
        trap.Line(100, [kind] {
            switch (kind) {
                case 0:
                    throw std::bad_alloc();
                case 1:
                    throw std::filesystem::filesystem_error(
                        "x", std::make_error_code(std::errc::permission_denied));
                case 2:
                    throw std::runtime_error("bad thing");
                default:
                    throw 42;
            }
        });
        QCOMPARE(dialogs.boxes.size(), 1);
        QVERIFY(dialogs.boxes[0].prompt.startsWith(description + QStringLiteral("\r\n")));
        QCOMPARE(ErrorTrap::ToRunTimeError(std::make_exception_ptr(RunTimeError(number))).number(),
                 number);
    }
};

QTEST_APPLESS_MAIN(ErrorTrapTest)
#include "tst_error_trap.moc"
