// "Start Converting" at speed: provisioning of the carried runtime against copying and unpacking
// the untrimmed calibre trees with the system's tools, and a batch of 12 books through the real
// window (headless) against a plain shell loop of the installed ebook-convert over the same files.
//
// Usage: bqconvert_bench --temp FOLDER --untrimmed ZIP --samples FOLDER [--runs N (5)]
//                        [--converter /usr/bin/ebook-convert]
// FOLDER becomes TEMP for the whole run (on disk, or on tmpfs: /dev/shm/...). Prints medians,
// the batch and loop times, their ratio, and the longest gap between two turns of the message
// loop during the window's batch. Targets: provisioning at most 0.15 x the untrimmed baseline;
// the batch at most (loop + provisioning) x 1.05; the longest gap under 250 ms.
#include "app/Form1.h"
#include "convert/ConverterRuntime.h"
#include "convert/MobiCheck.h"
#include "convert/RuntimeResource.h"
#include "list/ConversionList.h"
#include "support/ScriptedDialogs.h"
#include "unzip/mUnzip.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// CPU seconds (user and system) of the children this process has reaped so far.
double ChildrenCpu() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Seconds(const QElapsedTimer& clock) {
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

bool Shell(const QString& script, const QStringList& arguments = {}) {
    QProcess shell;
    shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    shell.setStandardOutputFile(QProcess::nullDevice());
    shell.start(QStringLiteral("/bin/sh"),
                QStringList{QStringLiteral("-c"), script, QStringLiteral("sh")} + arguments);
    return shell.waitForFinished(-1) && shell.exitStatus() == QProcess::NormalExit &&
           shell.exitCode() == 0;
}

// Provisioning as a run does it: resource read, archive write, unpack, archive and runtime
// removed. Seconds.
double ProgramProvisioning() {
    QElapsedTimer clock;
    clock.start();
    bq::ConverterRuntime runtime;
    const QByteArray archive = bq::LoadCustomResource(bq::kRuntimeResourceId);
    runtime.Prepare();
    runtime.PlaceArchive(archive);
    runtime.Unpack();
    runtime.RemoveArchive();
    runtime.Remove();
    return Seconds(clock);
}

double UntrimmedBaseline(const QString& untrimmed, const QString& temp) {
    QElapsedTimer clock;
    clock.start();
    const bool ok = Shell(QStringLiteral("cp \"$1\" \"$2/base.zip\" && unzip -q \"$2/base.zip\" -d "
                                         "\"$2/base\" && rm -rf \"$2/base\" \"$2/base.zip\""),
                          {untrimmed, temp});
    return ok ? Seconds(clock) : -1;
}

struct Batch {
    double seconds = 0;
    double longestGap = 0;
    double windowCpu = 0;
    double loopCpu = 0;
    QString lastBox;
};

// The 12 books through the window: Option1 into out, "Start Converting", until the last box.
Batch WindowBatch(const QStringList& books, const QString& out) {
    auto dialogs = std::make_unique<ScriptedDialogs>();
    ScriptedDialogs* seen = dialogs.get();
    bq::Form1 form(std::move(dialogs));
    form.show();
    form.List().Append(books);
    form.Option1->click();
    form.Text1->setText(out);
    QCoreApplication::processEvents();

    Batch batch;
    QElapsedTimer sinceTurn;
    QTimer pulse;
    pulse.setInterval(5);
    QObject::connect(&pulse, &QTimer::timeout, [&] {
        batch.longestGap = std::max(batch.longestGap, Seconds(sinceTurn));
        sinceTurn.restart();
    });
    QElapsedTimer clock;
    QTimer::singleShot(0, [&] {
        sinceTurn.start();
        pulse.start();
        clock.start();
        form.PushButton2->click();
        batch.seconds = Seconds(clock);
        pulse.stop();
        QCoreApplication::exit(0);
    });
    QCoreApplication::exec();
    batch.lastBox = seen->boxes.isEmpty() ? QString() : seen->boxes.last().prompt;
    return batch;
}

double ShellLoop(const QString& converter, const QStringList& books, const QString& out) {
    QElapsedTimer clock;
    clock.start();
    const bool ok = Shell(QStringLiteral("c=$1; o=$2; shift 2; for f in \"$@\"; do "
                                         "n=${f##*/}; \"$c\" \"$f\" \"$o/${n%.*}.mobi\" "
                                         ">/dev/null 2>&1 || exit 1; done"),
                          QStringList{converter, out} + books);
    return ok ? Seconds(clock) : -1;
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QString temp, untrimmed, samples, converter = QStringLiteral("/usr/bin/ebook-convert");
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString key = QString::fromLocal8Bit(argv[i]);
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        if (key == QLatin1String("--temp")) {
            temp = value;
        } else if (key == QLatin1String("--untrimmed")) {
            untrimmed = value;
        } else if (key == QLatin1String("--samples")) {
            samples = value;
        } else if (key == QLatin1String("--runs")) {
            runs = value.toInt();
        } else if (key == QLatin1String("--converter")) {
            converter = value;
        }
    }
    if (temp.isEmpty() || untrimmed.isEmpty() || samples.isEmpty() || runs < 1) {
        std::fputs(
            "usage: bqconvert_bench --temp FOLDER --untrimmed ZIP --samples FOLDER "
            "[--runs N] [--converter PATH]\n",
            stderr);
        return 2;
    }
    QDir().mkpath(temp);
    qputenv("TEMP", QFile::encodeName(temp));
    QApplication app(argc, argv);
    bq::mUnzip::SetEngineLibraryPath(QStringLiteral(BQ_ENGINE_LIBRARY));
    bq::SetMobiCheckerPath(QStringLiteral(BQ_MOBI_CHECKER));

    // Provisioning, taking turns with the baseline.
    std::vector<double> program, baseline;
    for (int i = 0; i < runs; ++i) {
        program.push_back(ProgramProvisioning());
        baseline.push_back(UntrimmedBaseline(untrimmed, temp));
    }
    const double provisioning = Median(program);
    const double untrimmedMedian = Median(baseline);
    std::printf("TEMP %s\n", qPrintable(temp));
    std::printf("provisioning (resource, write, unpack, removal): median %.3f s over %d runs\n",
                provisioning, runs);
    std::printf("untrimmed baseline (cp + unzip -q + rm -rf):     median %.3f s\n",
                untrimmedMedian);
    std::printf("  ratio %.3f (target at most 0.15)\n", provisioning / untrimmedMedian);
    std::fflush(stdout);

    // The batch: the samples repeated to 12 books of distinct names.
    QTemporaryDir work(temp + QStringLiteral("/bench-XXXXXX"));
    const QStringList found = QDir(samples).entryList({QStringLiteral("*.epub")}, QDir::Files);
    if (found.isEmpty()) {
        std::fprintf(stderr, "no samples in %s\n", qPrintable(samples));
        return 1;
    }
    QStringList books;
    QDir().mkpath(work.path() + QStringLiteral("/books"));
    for (int i = 0; i < 12; ++i) {
        const QString book = work.path() + QStringLiteral("/books/%1-%2")
                                               .arg(i + 1, 2, 10, QLatin1Char('0'))
                                               .arg(found[i % found.size()]);
        QFile::copy(samples + QLatin1Char('/') + found[i % found.size()], book);
        books << book;
    }
    // Window and loop take turns (window, loop, loop, window) so that a change in the machine's
    // load falls on both alike; the sums are compared.
    double windowTotal = 0;
    double loopTotal = 0;
    double longestGap = 0;
    double windowCpu = 0;
    double loopCpu = 0;
    QString lastBox;
    for (int turn = 0; turn < 4; ++turn) {
        const bool window = turn == 0 || turn == 3;
        const QString out = work.path() + QStringLiteral("/out-%1").arg(turn);
        QDir().mkpath(out);
        const double cpuBefore = ChildrenCpu();
        if (window) {
            const Batch batch = WindowBatch(books, out);
            windowTotal += batch.seconds;
            longestGap = std::max(longestGap, batch.longestGap);
            lastBox = batch.lastBox;
            std::printf("batch of 12 through the window: %.2f s (last box: %s)\n", batch.seconds,
                        qPrintable(lastBox.left(40)));
        } else {
            const double loop = ShellLoop(converter, books, out);
            loopTotal += loop;
            std::printf("shell loop of %s:       %.2f s\n", qPrintable(converter), loop);
        }
        (window ? windowCpu : loopCpu) += ChildrenCpu() - cpuBefore;
        std::fflush(stdout);
    }
    std::printf("converters' CPU time (user + system): batches %.2f s, loops %.2f s, ratio %.3f\n",
                windowCpu, loopCpu, windowCpu / loopCpu);
    std::printf(
        "two batches %.2f s, two loops %.2f s: ratio batch / loop %.3f; batch / (loop + "
        "provisioning) %.3f (target at most 1.05)\n",
        windowTotal, loopTotal, windowTotal / loopTotal,
        windowTotal / (loopTotal + 2 * provisioning));
    std::printf("longest gap between two turns of the message loop: %.0f ms (target under 250)\n",
                longestGap * 1000);
    return 0;
}
