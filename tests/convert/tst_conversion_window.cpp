// "Start Converting" end to end: the real window (offscreen) with the carried converter runtime
// converts real EPUB books, and every MOBI is read by libmobi's mobitool, a reader that is not
// calibre. Both destinations, a read-only old output, a broken book among good ones, and a second
// click on the button during a run.
#include "BookChecks.h"
#include "app/Form1.h"
#include "convert/ConverterRuntime.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "support/BuiltHelpers.h"
#include "support/ScriptedDialogs.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

using namespace bq;

namespace {

QString Temp() {
    return qEnvironmentVariable("TEMP");
}

// Everything this test's TEMP holds whose name starts with "calibre".
QStringList CalibreLeftOvers() {
    return QDir(Temp()).entryList({QStringLiteral("calibre*")},
                                  QDir::AllEntries | QDir::Hidden | QDir::System);
}

// The processes whose command line names the run folders of this test's TEMP.
QStringList ConverterProcesses() {
    QStringList found;
    const QString marker = Temp() + QStringLiteral("/calibre-");
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString dir = it.next();
        QFile cmdline(dir + QStringLiteral("/cmdline"));
        if (cmdline.open(QIODevice::ReadOnly)) {
            const QString text = QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' '));
            if (text.contains(marker)) {
                found << text;
            }
        }
    }
    return found;
}

}  // namespace

class ConversionWindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_books;
    QString m_good1, m_good2, m_broken;
    ScriptedDialogs* m_dialogs = nullptr;
    std::unique_ptr<Form1> m_form;

    Form1& Load() {
        auto dialogs = std::make_unique<ScriptedDialogs>();
        m_dialogs = dialogs.get();
        m_form = std::make_unique<Form1>(std::move(dialogs));
        m_form->show();
        return *m_form;
    }
    void List(Form1& form, const QStringList& paths) { form.List().Append(paths); }
    void UseFolder(Form1& form, const QString& folder) {
        QTest::mouseClick(form.Option1, Qt::LeftButton);
        form.Text1->setText(folder);
    }
    void Convert(Form1& form) { QTest::mouseClick(form.PushButton2, Qt::LeftButton); }
    void CheckNothingLeft(Form1& form) {
        QCOMPARE(CalibreLeftOvers(), QStringList());
        QCOMPARE(ConverterProcesses(), QStringList());
        QVERIFY(!form.IsBusy);
        QCOMPARE(form.ProgressBar1->format(), QStringLiteral("Progress Bar"));
        QCOMPARE(form.ProgressBar1->value(), 0);
        QCOMPARE(form.mousePointer(), MousePointer::Default);
    }

  private slots:
    void initTestCase() {
        UseBuiltHelpers();
        QProcess make;
        make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(BQ_MAKE_BOOKS), m_books.path(), QStringLiteral("plain-epub2"),
                    QStringLiteral("epub3-pictures"), QStringLiteral("broken")});
        QVERIFY(make.waitForFinished(120000));
        QCOMPARE(make.exitCode(), 0);
        // Names a shell or a careless split would break.
        m_good1 = m_books.path() + QStringLiteral("/It's \"one\" \\ été\nbook.epub");
        QVERIFY(QFile::rename(m_books.path() + QStringLiteral("/plain-epub2.epub"), m_good1));
        m_good2 = m_books.path() + QStringLiteral("/epub3-pictures.epub");
        m_broken = m_books.path() + QStringLiteral("/broken.epub");
    }
    void cleanup() {
        m_form.reset();
        m_dialogs = nullptr;
    }

    // Into a chosen folder: a broken book among good ones is reported while the good ones
    // convert, and a read-only old output is replaced.
    void intoAFolderWithABrokenBook() {
        QTemporaryDir out;
        const QString old = out.path() + QStringLiteral("/epub3-pictures.mobi");
        {
            QFile file(old);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("an old output");
        }
        QVERIFY(QFile::setPermissions(old, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        Form1& form = Load();
        UseFolder(form, out.path());
        List(form, {m_good1, m_broken, m_good2});
        Convert(form);

        QCOMPARE(m_dialogs->boxes.size(), 1);
        const QString prompt = m_dialogs->boxes[0].prompt;
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted 2 of 3 books.")), qPrintable(prompt));
        QVERIFY2(prompt.contains(m_broken + QStringLiteral("\r\n    it is not a valid EPUB file "
                                                           "(could not find opf)")),
                 qPrintable(prompt));
        QCOMPARE(m_dialogs->boxes[0].style, 48);
        const QString first = out.path() + QStringLiteral("/It's \"one\" \\ été\nbook.mobi");
        for (const QString& mobi : {first, old}) {
            QVERIFY2(QFileInfo::exists(mobi), qPrintable(mobi));
            QCOMPARE(MobitoolStatus(mobi), 0);
        }
        QVERIFY(ReadAll(old) != QByteArray("an old output"));
        QVERIFY(!QFileInfo::exists(out.path() + QStringLiteral("/broken.mobi")));
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        CheckNothingLeft(form);
    }

    // Next to the sources, with Text1 naming a missing folder: the run goes on. A second click
    // during the run asks whether to stop, and No lets the run go on: one run, one book.
    void besideTheSourcesWithADoubleClick() {
        QTemporaryDir folder;
        const QString source = folder.path() + QStringLiteral("/book.epub");
        QVERIFY(QFile::copy(m_good2, source));
        Form1& form = Load();
        form.Text1->setText(folder.path() + QStringLiteral("/missing"));
        QTest::mouseClick(form.Option2, Qt::LeftButton);
        List(form, {source});
        bool clickedDuringRun = false;
        QTimer second;
        second.setInterval(10);
        connect(&second, &QTimer::timeout, this, [&] {
            if (form.IsBusy && !clickedDuringRun) {
                clickedDuringRun = true;
                QTest::mouseClick(form.PushButton2, Qt::LeftButton);
            }
        });
        second.start();
        Convert(form);
        second.stop();
        QVERIFY(clickedDuringRun);
        // The second click of a double-click is neither a second start nor a stop.
        QCOMPARE(m_dialogs->Prompts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(m_dialogs->boxes[0].style, 0);
        QCOMPARE(MobitoolStatus(folder.path() + QStringLiteral("/book.mobi")), 0);
        CheckNothingLeft(form);
    }

    // As a new user would: "Load Sample/Example Files", answer the question, choose a folder,
    // "Start Converting": a valid MOBI for each sample.
    void theSamplesThroughTheButtons() {
        const QString samples = QCoreApplication::applicationDirPath() + QStringLiteral("/Samples");
        QDir(samples).removeRecursively();
        QVERIFY(QDir().mkpath(samples));
        const QDir shipped(qEnvironmentVariable("BQ_PROGRAM_DIR") + QStringLiteral("/Samples"));
        const QStringList books = shipped.entryList({QStringLiteral("*.epub")}, QDir::Files);
        QVERIFY(books.size() >= 2);
        for (const QString& book : books) {
            QVERIFY(QFile::copy(shipped.filePath(book), samples + QLatin1Char('/') + book));
        }
        QTemporaryDir out;
        Form1& form = Load();
        QTest::mouseClick(form.PushButton7, Qt::LeftButton);
        QCOMPARE(m_dialogs->boxes.size(), 1);  // the question; answered No
        m_dialogs->boxes.clear();
        m_dialogs->folderAnswers << out.path();
        QTest::mouseClick(form.Option1, Qt::LeftButton);
        QTest::mouseClick(form.PushButton9, Qt::LeftButton);
        QCOMPARE(form.Text1->text(), out.path() + QLatin1Char('/'));
        Convert(form);
        QCOMPARE(m_dialogs->Prompts(), QStringList{QStringLiteral("Done.")});
        for (const QString& book : books) {
            const QString mobi = out.path() + QLatin1Char('/') +
                                 QFileInfo(book).completeBaseName() + QStringLiteral(".mobi");
            QCOMPARE(MobitoolStatus(mobi), 0);
        }
        CheckNothingLeft(form);
        QDir(samples).removeRecursively();
    }
};

BQ_TEST_MAIN(ConversionWindowTest)
#include "tst_conversion_window.moc"
