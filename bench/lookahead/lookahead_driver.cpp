// One conversion run through the real window, headless, for the look-ahead benchmark: lists the
// books, presses "Start Converting" with the given number of converters at once, and prints
// the run's wall time, its provisioning time (until the first "Processing: "), the longest gap
// between two turns of the message loop, and the last box's first line.
//
// Usage: lookahead_driver --jobs K --out FOLDER BOOK...
// The settings store and TEMP are the caller's (point XDG_CONFIG_HOME and TEMP elsewhere).
#include "app/Form1.h"
#include "app/ProgressBarDisplay.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "support/ScriptedDialogs.h"
#include "unzip/mUnzip.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QLatin1String(bq::kSettingsAppName));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QString jobs = QStringLiteral("1");
    QString out;
    QStringList books;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QStringLiteral("--jobs") && !arguments.isEmpty()) {
            jobs = arguments.takeFirst();
        } else if (argument == QStringLiteral("--out") && !arguments.isEmpty()) {
            out = arguments.takeFirst();
        } else {
            books << argument;
        }
    }
    if (out.isEmpty() || books.isEmpty()) {
        std::fputs("usage: lookahead_driver --jobs K --out FOLDER BOOK...\n", stderr);
        return 2;
    }
    bq::mUnzip::SetEngineLibraryPath(QStringLiteral(BQ_ENGINE_LIBRARY));
    bq::SetMobiCheckerPath(QStringLiteral(BQ_MOBI_CHECKER));
    bq::SaveSetting(bq::Setting::Option1, QStringLiteral("True"));
    bq::SaveSetting(bq::Setting::Option2, QStringLiteral("False"));
    bq::SaveSetting(bq::Setting::Text1, out + QLatin1Char('/'));
    bq::SaveSetting(bq::Setting::Jobs, jobs);

    auto dialogs = std::make_unique<ScriptedDialogs>();
    ScriptedDialogs* boxes = dialogs.get();
    bq::Form1 form(std::move(dialogs));
    form.show();
    form.List().Append(books);

    // A timer that fires whenever the message loop turns (at most every 10 ms): the longest
    // time between two firings is the longest the window went without answering.
    QElapsedTimer clock;
    qint64 lastTurn = 0;
    qint64 longestGap = 0;
    qint64 provisioning = -1;
    QTimer turns;
    turns.setTimerType(Qt::PreciseTimer);
    turns.setInterval(10);
    QObject::connect(&turns, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestGap = std::max(longestGap, now - lastTurn);
        lastTurn = now;
        if (provisioning < 0 && bq::ProgressBarDisplay::TextOf(form.ProgressBar1->format())
                                    .startsWith(QStringLiteral("Processing: "))) {
            provisioning = now;
        }
    });
    clock.start();
    turns.start();
    form.PushButton2->click();
    const qint64 wall = clock.elapsed();
    longestGap = std::max(longestGap, wall - lastTurn);
    turns.stop();

    const QString box = boxes->boxes.isEmpty()
                            ? QStringLiteral("(no box)")
                            : boxes->boxes.first().prompt.section(QStringLiteral("\r\n"), 0, 0);
    std::printf("wall_ms=%lld provisioning_ms=%lld gap_ms=%lld box=%s\n",
                static_cast<long long>(wall), static_cast<long long>(provisioning),
                static_cast<long long>(longestGap), box.toUtf8().constData());
    return 0;
}
