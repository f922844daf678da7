// The progress bar through a long wait for one book: it counts from the fifth second, its value
// creeps towards the end of the book's share without reaching it, and it shows its caption again
// when the wait is over; tick by tick, without waiting real seconds.
#include "app/BarAnimation.h"
#include "app/ProgressDisplay.h"

#include "support/RunTimeErrorOf.h"
#include "support/TestMain.h"

#include <QTest>

using namespace bq;

namespace {

// A bar that records every change made to it.
class RecordingBar : public ProgressDisplay {
  public:
    explicit RecordingBar(QString text = QStringLiteral("before"), double value = 0)
        : m_text(std::move(text)), m_value(value) {}
    QString Text() const override { return m_text; }
    void SetText(const QString& text) override {
        m_text = text;
        texts.append(text);
    }
    double Value() const override { return m_value; }
    void SetValue(double value) override {
        m_value = value;
        values.append(value);
    }
    QStringList texts;
    QList<double> values;

  private:
    QString m_text;
    double m_value;
};

// A wait of `passes` polls, as the run tells it: ticks 1 to passes, then 0.
void Wait(BarAnimation& animation, int passes, std::int32_t itemCount) {
    for (int tick = 1; tick <= passes; ++tick) {
        animation.Tick(tick, itemCount);
    }
    animation.Tick(0, itemCount);
}

}  // namespace

class BarAnimationTest : public QObject {
    Q_OBJECT

  private slots:
    void textCountsFromTheFifthSecond() {
        QCOMPARE(BarTextAt(QString(), 50), QStringLiteral("Please wait.. 0"));
        QCOMPARE(BarTextAt(QStringLiteral("Processing: a b.epub"), 51),
                 QStringLiteral("Processing: a b.epub, Please wait.. 1"));
        QCOMPARE(BarTextAt(QStringLiteral("x"), 1234), QStringLiteral("x, Please wait.. 1184"));
    }

    // Values at ticks 50, 200, 350, ... for one item's share of the batch.
    void valueCreepsTowardsTheItemsShare_data() {
        QTest::addColumn<int>("itemCount");
        QTest::addColumn<int>("startValue");
        QTest::addColumn<QList<double>>("values");
        QTest::newRow("1 item: step 10, cap 90")
            << 1 << 0 << QList<double>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 90, 90};
        QTest::newRow("3 items: step 3, cap 30")
            << 3 << 0 << QList<double>{0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 30};
        QTest::newRow("4 items: step 2 (2.5 to even), cap 23")
            << 4 << 0 << QList<double>{0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 23, 23};
        QTest::newRow("15 items: step 1, cap 6")
            << 15 << 0 << QList<double>{0, 1, 2, 3, 4, 5, 6, 6};
        QTest::newRow("20 items: step 0") << 20 << 0 << QList<double>{0, 0, 0};
        QTest::newRow("3 items from 33")
            << 3 << 33 << QList<double>{33, 36, 39, 42, 45, 48, 51, 54, 57, 60, 63, 63};
    }
    void valueCreepsTowardsTheItemsShare() {
        QFETCH(int, itemCount);
        QFETCH(int, startValue);
        QFETCH(QList<double>, values);
        for (qsizetype k = 0; k < values.size(); ++k) {
            const std::int64_t ticks = 50 + 150 * k;
            QCOMPARE(BarValueAt(ticks, startValue, itemCount), std::optional<double>(values[k]));
            QCOMPARE(BarValueAt(ticks + 1, startValue, itemCount), std::nullopt);
            QCOMPARE(BarValueAt(ticks - 1, startValue, itemCount), std::nullopt);
        }
    }

    // A wait of a given number of polls.
    void waitAnimatesTheBarTickByTick_data() {
        QTest::addColumn<int>("passes");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<double>>("values");
        QTest::newRow("one pass") << 1 << QStringLiteral("Processing: a.epub")
                                  << QStringList{"Processing: a.epub"} << QList<double>{};
        QTest::newRow("two passes, empty caption")
            << 2 << QString() << QStringList{"Progress Bar"} << QList<double>{};
        QTest::newRow("50 ticks") << 50 << QString()
                                  << QStringList{"Please wait.. 0", "Progress Bar"}
                                  << QList<double>{33};
        QTest::newRow("51 ticks") << 51 << QStringLiteral("c")
                                  << QStringList{"c, Please wait.. 0", "c, Please wait.. 1", "c"}
                                  << QList<double>{33};
    }
    void waitAnimatesTheBarTickByTick() {
        QFETCH(int, passes);
        QFETCH(QString, caption);
        QFETCH(QStringList, texts);
        QFETCH(QList<double>, values);
        RecordingBar bar(caption, 33);
        BarAnimation animation(bar);
        Wait(animation, passes, 3);
        QCOMPARE(bar.texts, texts);
        QCOMPARE(bar.values, values);
    }

    void longWaitMovesTheValueEvery150Ticks() {
        RecordingBar bar(QString(), 0);
        BarAnimation animation(bar);
        Wait(animation, 500, 4);
        QCOMPARE(bar.values, (QList<double>{0, 2, 4, 6}));  // ticks 50, 200, 350, 500
        QCOMPARE(bar.texts.size(), 500 - 50 + 1 + 1);
        QCOMPARE(bar.texts.at(bar.texts.size() - 2), QStringLiteral("Please wait.. 450"));
    }

    void noItemsRaisesAfterTheFirstCountedText() {
        RecordingBar bar(QString(), 0);
        BarAnimation animation(bar);
        int ticks = 0;
        const int error = RunTimeErrorOf([&] {
            while (ticks < 100) {
                animation.Tick(++ticks, 0);
            }
        });
        QCOMPARE(error, int(ErrDivisionByZero));
        QCOMPARE(ticks, 50);
        QCOMPARE(bar.texts.last(), QStringLiteral("Please wait.. 0"));
    }
};

BQ_TEST_MAIN(BarAnimationTest)
#include "tst_bar_animation.moc"
