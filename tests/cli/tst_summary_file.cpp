// The JSON summary file: written whole under its name, with nothing left beside it, also where a
// program of the same pid was killed while it wrote one there.
#include "cli/SummaryFile.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace bq;

class SummaryFileTest : public QObject {
    Q_OBJECT

  private slots:
    void writtenWholeBesideWhatAKilledProgramLeft() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // What a program killed before it could rename its summary leaves; in a container the
        // next program often has the same pid.
        const QString left =
            dir.filePath(QStringLiteral(".brindlequill-summary-%1.part").arg(::getpid()));
        QFile partial(left);
        QVERIFY(partial.open(QIODevice::WriteOnly));
        partial.write("{\"entr");
        partial.close();

        const QString place = dir.filePath(QStringLiteral("summary.json"));
        const QJsonArray entries{
            QJsonObject{{QStringLiteral("source"), QStringLiteral("a.epub")},
                        {QStringLiteral("result"), QStringLiteral("converted")}}};
        for (int run = 0; run < 2; ++run) {  // the second replaces the first
            QCOMPARE(WriteSummaryFile(QFile::encodeName(place), entries, {}), QString());
            QFile written(place);
            QVERIFY(written.open(QIODevice::ReadOnly));
            const QJsonArray read =
                QJsonDocument::fromJson(written.readAll()).object().value("entries").toArray();
            QCOMPARE(read.size(), 1);
            QCOMPARE(read.first().toObject().value("source").toString(), QStringLiteral("a.epub"));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList({QStringLiteral(".brindlequill-summary-%1.part").arg(::getpid()),
                              QStringLiteral("summary.json")}));
    }
};

BQ_TEST_MAIN(SummaryFileTest)
#include "tst_summary_file.moc"
