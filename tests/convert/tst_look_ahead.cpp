// The look-ahead of a conversion run, over simulated entries: converters start longest first,
// never more than allowed at once, never far ahead of the loop, not at all with one converter,
// and an entry that must wait holds back the ones after it. Also how many converters a run
// allows: the cores, at most four, or the "Jobs" setting.
#include "convert/ConverterSlots.h"
#include "convert/LookAhead.h"

#include "platform/SettingsStore.h"
#include "support/TestMain.h"

#include <QRegularExpression>
#include <QTest>

#include <sched.h>
#include <algorithm>
#include <map>
#include <set>

using namespace bq;

namespace {

// Entries whose converters run until the test ends them; records the order of the starts and
// the most that ran at once.
struct Entries {
    std::set<int> running;
    std::set<int> withoutConverter;   // entries that fail before a converter starts
    std::set<int> held;               // entries that may not start yet
    std::map<int, double> estimates;  // when given: how long each entry is expected to take
    QList<int> started;
    int peak = 0;

    // One turn of the message loop, as the run takes it: the ended converters are noted, then
    // the chosen entries start.
    void Fill(LookAhead& ahead) {
        const std::vector<int> seen = ahead.RunningEntries();
        for (const int index : seen) {
            if (running.count(index) == 0) {
                ahead.Ended(index);
            }
        }
        ahead.BeginTurn();
        const auto mayStart = [this](int index) { return held.count(index) == 0; };
        std::function<double(int)> expected;
        if (!estimates.empty()) {
            expected = [this](int index) {
                const auto found = estimates.find(index);
                return found == estimates.end() ? 1.0 : found->second;
            };
        }
        while (const int index = ahead.Choose(mayStart, expected)) {
            started << index;
            const bool runs = withoutConverter.count(index) == 0;
            if (runs) {
                running.insert(index);
                peak = std::max(peak, static_cast<int>(running.size()));
            }
            ahead.Started(index, runs);
        }
    }
};

// Walks `count` entries as the run's loop does with `converters` at once; each entry's
// converter ends when the loop waits for it, and `alsoEnd(i)` names a later entry to end while
// the loop is on entry i (0: none).
QList<int> Walk(Entries& entries, int converters, int count,
                const std::function<int(int)>& alsoEnd = {}) {
    LookAhead ahead(converters, count);
    // Turns of the message loop while the loop waits.
    const auto turns = [&ahead, &entries, converters] {
        for (int turn = 0; turn < converters; ++turn) {
            entries.Fill(ahead);
        }
    };
    QList<int> loopStarted;
    for (int i = 1; i <= count; ++i) {
        ahead.Reached(i);
        if (!ahead.WasStarted(i)) {
            loopStarted << i;
            entries.started << i;
            const bool runs = entries.withoutConverter.count(i) == 0;
            if (runs) {
                entries.running.insert(i);
            }
            ahead.Started(i, runs);
            entries.peak = std::max(entries.peak, static_cast<int>(entries.running.size()));
        }
        turns();
        if (alsoEnd) {
            entries.running.erase(alsoEnd(i));
            turns();
        }
        entries.running.erase(i);  // the loop's wait
        turns();
    }
    return loopStarted;
}

QList<int> OneTo(int count) {
    QList<int> all;
    for (int i = 1; i <= count; ++i) {
        all << i;
    }
    return all;
}

}  // namespace

class LookAheadTest : public QObject {
    Q_OBJECT

  private slots:
    void convertersStartInListOrderAndNeverMoreThanAllowed_data() {
        QTest::addColumn<int>("converters");
        QTest::addColumn<int>("count");
        QTest::newRow("two over ten") << 2 << 10;
        QTest::newRow("three over a thousand") << 3 << 1000;
        QTest::newRow("four over one") << 4 << 1;
        QTest::newRow("sixteen over five") << 16 << 5;
    }
    void convertersStartInListOrderAndNeverMoreThanAllowed() {
        QFETCH(int, converters);
        QFETCH(int, count);
        Entries entries;
        // A later converter ends while the loop waits for the current one: its place is taken
        // by the next entry at once.
        Walk(entries, converters, count, [](int i) { return i + 1; });
        QCOMPARE(entries.started, OneTo(count));
        QCOMPARE(entries.peak, std::min(converters, count));
        QVERIFY(entries.running.empty());
    }

    // The spare converters take the longest entries within reach, one fewer than allowed
    // besides the loop's own entry, which always runs; ties go in list order.
    void spareConvertersTakeTheLongest_data() {
        QTest::addColumn<int>("converters");
        QTest::addColumn<QList<int>>("started");
        QTest::newRow("two: the longest, last in the list, starts second")
            << 2 << QList<int>{1, 10, 2, 3, 4, 5, 6, 7, 8, 9};
        QTest::newRow("three: the two longest first")
            << 3 << QList<int>{1, 10, 6, 2, 3, 4, 5, 7, 8, 9};
    }
    void spareConvertersTakeTheLongest() {
        QFETCH(int, converters);
        QFETCH(QList<int>, started);
        Entries entries;
        entries.estimates = {{10, 60.0}, {6, 30.0}};
        Walk(entries, converters, 10);
        QCOMPARE(entries.started, started);
        QCOMPARE(entries.peak, converters);
    }

    // Only entries within reach of the loop are started ahead, however long the ones beyond.
    void theReachBoundsTheChoice() {
        Entries entries;
        const int beyond = 2 + LookAhead::kAheadPerConverter;
        entries.estimates = {{beyond, 1000.0}, {5, 2.0}};
        LookAhead ahead(2, beyond);
        ahead.Reached(1);
        ahead.Started(1, true);
        entries.running.insert(1);
        entries.Fill(ahead);
        QCOMPARE(entries.started, QList<int>{5});  // the longest lies just beyond the reach
        entries.Fill(ahead);
        QCOMPARE(entries.started.size(), 1);  // one spare converter only
    }

    void oneConverterNeverStartsAhead() {
        Entries entries;
        const QList<int> byLoop = Walk(entries, 1, 6, [](int i) { return i + 1; });
        QCOMPARE(byLoop, OneTo(6));
        QCOMPARE(entries.peak, 1);
    }

    void entriesWithoutAConverterDoNotRunFarAheadOfTheLoop() {
        // Missing files take no converter; the look-ahead still stops a few entries on.
        Entries entries;
        for (int i = 1; i <= 100; ++i) {
            entries.withoutConverter.insert(i);
        }
        LookAhead ahead(2, 100);
        ahead.Reached(1);
        ahead.Started(1, false);
        entries.Fill(ahead);  // entries without a converter cost no start
        QCOMPARE(entries.started.size(), LookAhead::kAheadPerConverter);
        QCOMPARE(entries.started.last(), 1 + LookAhead::kAheadPerConverter);
        ahead.Reached(2);
        entries.Fill(ahead);
        QCOMPARE(entries.started.last(), 2 + LookAhead::kAheadPerConverter);
    }

    void aHeldEntryHoldsBackTheRest() {
        Entries entries;
        entries.held.insert(3);
        LookAhead ahead(4, 10);
        ahead.Reached(1);
        entries.running.insert(1);
        ahead.Started(1, true);
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{2}));
        entries.held.clear();
        entries.Fill(ahead);  // quick starts all in one turn
        QCOMPARE(entries.started, (QList<int>{2, 3, 4}));
        QCOMPARE(ahead.Running(), 4);
        QCOMPARE(ahead.PeakRunning(), 4);
    }

    // The loop's own converter ends before the loop notices: its place goes to the loop's next
    // entry, not to a longer one, so the loop never starts one more than allowed; while that
    // entry may not start, the place stays free.
    void theLoopsFreedPlaceGoesToItsNextEntry() {
        Entries entries;
        entries.estimates = {{9, 50.0}, {8, 40.0}};
        entries.held.insert(2);
        LookAhead ahead(2, 10);
        ahead.Reached(1);
        entries.running.insert(1);
        ahead.Started(1, true);
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{9}));
        entries.running.erase(1);
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{9}));  // 2 is held: its place stays free
        entries.held.clear();
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{9, 2}));
        ahead.Reached(2);
        QVERIFY(ahead.WasStarted(2));
        entries.Fill(ahead);
        QCOMPARE(entries.peak, 2);
        entries.running.erase(9);
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{9, 2, 8}));
    }

    void aStoppedLookAheadChoosesNothing() {
        Entries entries;
        LookAhead ahead(2, 5);
        ahead.Reached(1);
        entries.running.insert(1);
        ahead.Started(1, true);
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{2}));
        ahead.Stop();
        entries.running.erase(2);
        entries.Fill(ahead);
        QCOMPARE(entries.started, (QList<int>{2}));
    }

    void converterCountFromText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");  // 0: ignored
        QTest::newRow("one") << "1" << 1;
        QTest::newRow("sixteen") << "16" << 16;
        QTest::newRow("blanks around") << " 3 " << 3;
        QTest::newRow("leading zero") << "04" << 4;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("seventeen") << "17" << 0;
        QTest::newRow("negative") << "-2" << 0;
        QTest::newRow("plus sign") << "+2" << 0;
        QTest::newRow("fraction") << "2.5" << 0;
        QTest::newRow("word") << "many" << 0;
        QTest::newRow("huge") << "99999999999" << 0;
        QTest::newRow("arabic-indic digit") << QString(QChar(0x0663)) << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void converterCountFromText() {
        QFETCH(QString, text);
        QFETCH(int, count);
        QCOMPARE(ConverterCountFromText(text).value_or(0), count);
    }

    void theDefaultIsTheCoresThisProgramMayUseAtMostFour() {
        cpu_set_t cores;
        CPU_ZERO(&cores);
        QCOMPARE(sched_getaffinity(0, sizeof cores, &cores), 0);
        const int expected = std::clamp(CPU_COUNT(&cores), 1, kMostDefaultConverters);
        QCOMPARE(DefaultConverterCount(), expected);

        // Only one core allowed: one converter.
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &cores)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        QCOMPARE(sched_setaffinity(0, sizeof one, &one), 0);
        const int withOne = DefaultConverterCount();
        QCOMPARE(sched_setaffinity(0, sizeof cores, &cores), 0);
        QCOMPARE(withOne, 1);
    }

    void theJobsSettingOverridesTheDefaultWhenItHoldsACount() {
        SaveSetting(Setting::Jobs, QStringLiteral("7"));
        QCOMPARE(ConverterCount(), 7);
        SaveSetting(Setting::Jobs, QStringLiteral("0"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("Jobs=\"0\".*ignored")));
        QCOMPARE(ConverterCount(), DefaultConverterCount());
        SaveSetting(Setting::Jobs, QString());
        QCOMPARE(ConverterCount(), DefaultConverterCount());
    }
};

BQ_TEST_MAIN(LookAheadTest)
#include "tst_look_ahead.moc"
