// One conversion run through the real window, headless, for the look-ahead benchmark: lists the
// books, presses "Start Converting" with the given number of converters at once, and prints
// the run's wall time, its provisioning time (until the first "Processing: "), the longest gap
// between two turns of the message loop, and the last box's first line.
//
// With --stop, it presses "Stop Converting" (and answers Yes) once K converters run, and prints how
// long the run took from Yes to the idle window (stop_ms). With --hanging-check too, the reader
// of each new MOBI hangs (a stand-in that sleeps), and the stop comes once one read-back runs.
//
// --archive FILE carries that converter archive instead of the built-in runtime (a converter
// that takes no time shows what the program itself costs per book). --list FILE reads the books
// from FILE, one path per line. --marks N,M,... also prints, as the loop reaches entry N, the
// program's resident memory and open descriptors (mark_N=KIB/FDS). The program's peak resident
// memory is printed at the end (peak_kib).
//
// --estimate BOOK... prints, for each book, how long the run expects it to take (the order in
// which spare converters take books), a line "SECONDS<TAB>PATH" each, and converts nothing.
//
// Usage: lookahead_driver --jobs K --out FOLDER [--stop] [--archive FILE] [--list FILE]
//                         [--marks N,...] [BOOK...]
//        lookahead_driver --estimate BOOK...
// The settings store and TEMP are the caller's (point XDG_CONFIG_HOME and TEMP elsewhere).
#include "app/Form1.h"
#include "app/ProgressBarDisplay.h"
#include "convert/ConversionCost.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "support/ScriptedDialogs.h"
#include "unzip/mUnzip.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

namespace {

// The converters this program runs: its children that run the runtime's ebook-convert.
int ConvertersRunning() {
    int running = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!stat.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] != "Z" &&
            fields[1].toLongLong() == QCoreApplication::applicationPid() &&
            cmdline.readAll().contains("/ebook-convert")) {
            ++running;
        }
    }
    return running;
}

// The program's resident memory now, in KiB.
long ResidentKib() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

int OpenDescriptors() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::NoDotAndDotDot | QDir::System)
                                .size());
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QLatin1String(bq::kSettingsAppName));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.value(0) == QStringLiteral("--estimate")) {
        for (const QString& book : arguments.mid(1)) {
            std::printf("%.3f\t%s\n", bq::ExpectedConversionSeconds(book), qPrintable(book));
        }
        return 0;
    }
    QString jobs = QStringLiteral("1");
    QString out;
    bool stop = false;
    bool hangingCheck = false;
    QString archive;
    QStringList books;
    std::map<int, QString> marks;  // entry -> what was seen when the loop reached it
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QStringLiteral("--jobs") && !arguments.isEmpty()) {
            jobs = arguments.takeFirst();
        } else if (argument == QStringLiteral("--out") && !arguments.isEmpty()) {
            out = arguments.takeFirst();
        } else if (argument == QStringLiteral("--stop")) {
            stop = true;
        } else if (argument == QStringLiteral("--hanging-check")) {
            hangingCheck = true;
        } else if (argument == QStringLiteral("--archive") && !arguments.isEmpty()) {
            archive = arguments.takeFirst();
        } else if (argument == QStringLiteral("--list") && !arguments.isEmpty()) {
            QFile list(arguments.takeFirst());
            if (!list.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(list.fileName()));
                return 2;
            }
            for (const QByteArray& line : list.readAll().split('\n')) {
                if (!line.isEmpty()) {
                    books << QFile::decodeName(line);
                }
            }
        } else if (argument == QStringLiteral("--marks") && !arguments.isEmpty()) {
            for (const QString& mark : arguments.takeFirst().split(QLatin1Char(','))) {
                marks[mark.toInt()];
            }
        } else {
            books << argument;
        }
    }
    if (out.isEmpty() || books.isEmpty()) {
        std::fputs(
            "usage: lookahead_driver --jobs K --out FOLDER [--stop [--hanging-check]] [--archive "
            "FILE] "
            "[--list FILE] [--marks N,...] [BOOK...]\n",
            stderr);
        return 2;
    }
    bq::mUnzip::SetEngineLibraryPath(QStringLiteral(BQ_ENGINE_LIBRARY));
    bq::SetMobiCheckerPath(QStringLiteral(BQ_MOBI_CHECKER));
    // A reader that hangs: it says it has started, then sleeps until it is ended.
    QTemporaryDir checkerFolder;
    const QString checkStarted = checkerFolder.filePath(QStringLiteral("started"));
    if (hangingCheck) {
        const QString checker = checkerFolder.filePath(QStringLiteral("hanging-check"));
        QFile script(checker);
        if (!script.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(checker));
            return 2;
        }
        script.write("#!/bin/sh\n: > '" + QFile::encodeName(checkStarted) + "'\nexec sleep 1000\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        bq::SetMobiCheckerPath(checker);
    }
    bq::SaveSetting(bq::Setting::Option1, QStringLiteral("True"));
    bq::SaveSetting(bq::Setting::Option2, QStringLiteral("False"));
    bq::SaveSetting(bq::Setting::Text1, out + QLatin1Char('/'));
    bq::SaveSetting(bq::Setting::Jobs, jobs);

    auto dialogs = std::make_unique<ScriptedDialogs>();
    ScriptedDialogs* boxes = dialogs.get();
    bq::Form1 form(std::move(dialogs));
    if (!archive.isEmpty()) {
        QFile file(archive);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(archive));
            return 2;
        }
        bq::ConversionSetup setup;
        setup.archive = [content = file.readAll()] { return content; };
        form.SetRunSetup(setup);
    }
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
    // The marks: the loop shows entry i of n as the bar's value i / n × 100.
    QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged, [&](int value) {
        for (auto& [entry, seen] : marks) {
            if (seen.isEmpty() && value >= 100.0 * entry / books.size() - 0.5 && value < 100) {
                seen = QStringLiteral("%1/%2").arg(ResidentKib()).arg(OpenDescriptors());
            }
        }
    });
    // Stop: once K converters run, "Stop Converting", answered Yes.
    qint64 stoppedAt = -1;
    QTimer stopper;
    stopper.setInterval(20);
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        // (A click within half a second of the start is taken for the second half of a
        // double-click, not for Stop.)
        if (stoppedAt >= 0 || clock.elapsed() < 600 ||
            (hangingCheck ? !QFileInfo::exists(checkStarted)
                          : ConvertersRunning() < jobs.toInt())) {
            return;
        }
        boxes->boxAnswers << bq::MbResultYes;
        stoppedAt = clock.elapsed();
        form.PushButton2->click();
    });
    clock.start();
    turns.start();
    if (stop) {
        stopper.start();
    }
    form.PushButton2->click();
    const qint64 wall = clock.elapsed();
    stopper.stop();
    longestGap = std::max(longestGap, wall - lastTurn);
    turns.stop();

    const QString box = boxes->boxes.isEmpty()
                            ? QStringLiteral("(no box)")
                            : boxes->boxes.last().prompt.section(QStringLiteral("\r\n"), 0, 0);
    if (stop) {
        std::printf("stop_ms=%lld ", static_cast<long long>(stoppedAt < 0 ? -1 : wall - stoppedAt));
    }
    for (auto& [entry, seen] : marks) {
        if (seen.isEmpty()) {  // the last entry: the bar is reset before the turn is seen
            seen = QStringLiteral("%1/%2").arg(ResidentKib()).arg(OpenDescriptors());
        }
        std::printf("mark_%d=%s ", entry, qPrintable(seen));
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak_kib=%ld ", usage.ru_maxrss);
    std::printf("wall_ms=%lld provisioning_ms=%lld gap_ms=%lld box=%s\n",
                static_cast<long long>(wall), static_cast<long long>(provisioning),
                static_cast<long long>(longestGap), box.toUtf8().constData());
    return 0;
}
