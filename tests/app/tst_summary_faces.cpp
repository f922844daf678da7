// One summary, three faces: the window's last box, the command line's closing lines and the
// desktop's notification say the same of every kind of run's end, in the same words.
#include "app/DesktopSession.h"
#include "app/Form1.h"
#include "app/ProgressBarDisplay.h"
#include "app/WindowRunFace.h"
#include "cli/ConsoleReport.h"
#include "convert/ConversionSummary.h"
#include "convert/SummaryText.h"
#include "support/ScriptedDialogs.h"
#include "support/TestMain.h"

#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace bq;

namespace {

// What the command line writes to standard error while `work` runs.
template <typename Work>
QString StandardErrorOf(Work&& work) {
    QTemporaryFile file;
    if (!file.open()) {
        return {};
    }
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file.handle(), STDERR_FILENO);
    work();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    QFile read(file.fileName());
    return read.open(QIODevice::ReadOnly) ? QString::fromUtf8(read.readAll()) : QString();
}

ConversionSummary Kind(const QString& kind, const QStringList& books) {
    ConversionSummary summary(static_cast<int>(books.size()));
    if (kind == QLatin1String("provisioning failed")) {
        summary.ProvisioningFailed(
            QStringLiteral("The temporary folder /t (TEMP) does not exist."));
        return summary;
    }
    summary.Converted();
    if (kind == QLatin1String("failures")) {
        summary.Failed(books[1], QStringLiteral("its ZIP is broken"));
        summary.Failed(books[2], QStringLiteral("it is protected by DRM"));
    } else if (kind == QLatin1String("stopped")) {
        summary.NotConvertedAsStopped(books[1]);
        summary.NotConvertedAsStopped(books[2]);
    } else if (kind == QLatin1String("skipped")) {
        summary.UpToDate();
        summary.SkippedAsItsOwnOutput(books[2]);
    } else if (kind == QLatin1String("added during the run")) {
        summary.Converted();
        summary.Converted();
        summary.AddedDuringRun(2);
    } else {
        summary.Converted();
        summary.UpToDate();
    }
    return summary;
}

}  // namespace

class SummaryFacesTest : public QObject {
    Q_OBJECT

  private slots:
    void everyFaceSaysTheSame_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"all done", "failures", "stopped", "skipped",
                                 "added during the run", "provisioning failed"}) {
            QTest::newRow(kind) << QString::fromLatin1(kind);
        }
    }
    void everyFaceSaysTheSame() {
        QFETCH(QString, kind);
        const QStringList books{QStringLiteral("/books/Emma.epub"),
                                QStringLiteral("/books/Dune & <Sand>.epub"),
                                QStringLiteral("/books/Ulysses.epub")};
        const ConversionSummary summary = Kind(kind, books);

        auto scripted = std::make_unique<ScriptedDialogs>();
        ScriptedDialogs& dialogs = *scripted;
        Form1 form(std::move(scripted));
        ProgressBarDisplay bar(form.ProgressBar1);
        WindowRunFace face(form, bar, form.Desktop());
        face.Started(static_cast<int>(books.size()));
        face.RunEnded(summary);
        QCOMPARE(dialogs.boxes.size(), 1);
        const QString box = dialogs.boxes[0].prompt;

        ConsoleReport report(books, false);
        const QString console = StandardErrorOf([&] {
            report.Started(static_cast<int>(books.size()));
            report.RunEnded(summary);
        });
        const QString title = DesktopSession::NoticeTitle(summary);
        const QString body = DesktopSession::NoticeBody(summary, false);

        // The counts: one sentence, the same in every face (the box says "Done." when all is).
        const QString counts = SummaryCounts(summary);
        QVERIFY2(console.startsWith(counts), qPrintable(console));
        QVERIFY2(counts.startsWith(title), qPrintable(title));
        QVERIFY2(box == QStringLiteral("Done.") ? summary.AllDone() : box.startsWith(counts),
                 qPrintable(box));
        // The details: the command line's lines are the box's, line by line.
        const QString details = SummaryDetails(summary);
        QVERIFY2(box.endsWith(details), qPrintable(box));
        QStringList consoleLines = console.split(QLatin1Char('\n'));
        consoleLines.removeFirst();  // the counts and the time taken
        consoleLines.removeLast();   // after the last line break
        QCOMPARE(consoleLines.join(QStringLiteral("\r\n")), details);
        // Each book the notification names, the other faces name too; one word for books.
        for (const QString& book : books) {
            const QString name = book.mid(book.lastIndexOf(QLatin1Char('/')) + 1);
            if (body.contains(name)) {
                QVERIFY2(box.contains(book) && console.contains(book), qPrintable(book));
            }
        }
        for (const QString& said : {box, console, title, body}) {
            QVERIFY2(!said.contains(QStringLiteral(" file")), qPrintable(said));
        }
        if (!summary.AllDone()) {
            QVERIFY2(
                !body.isEmpty() ||
                    summary.failed() + summary.skipped() + summary.stopped() + summary.added() == 0,
                qPrintable(kind));
        }
    }
};

BQ_TEST_MAIN(SummaryFacesTest)
#include "tst_summary_faces.moc"
