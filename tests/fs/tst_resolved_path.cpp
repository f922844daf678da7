// Paths given on the command line resolved as the system resolves them: ".." after a link goes
// where `ls` goes, a last name that is a link stays, a summary's place follows links.
#include "fs/ResolvedPath.h"
#include "support/FileContent.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>

using namespace bq;

class ResolvedPathTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        char* real = ::realpath(QFile::encodeName(m_dir.path()).constData(), nullptr);
        QVERIFY(real != nullptr);
        m_top = QByteArray(real);
        std::free(real);
        QVERIFY(QDir().mkpath(m_dir.path() + QStringLiteral("/real/deep")));
        QVERIFY(QDir().mkpath(m_dir.path() + QStringLiteral("/here")));
        MakeFile(m_top + "/real/book.epub");
        QCOMPARE(::symlink("../real/deep", (m_top + "/here/link").constData()), 0);
        QCOMPARE(::symlink("../real/out.json", (m_top + "/here/s.json").constData()), 0);
        QCOMPARE(::symlink("s.json", (m_top + "/here/t.json").constData()), 0);
        QVERIFY(QDir::setCurrent(QFile::decodeName(m_top + "/here")));
    }

    void resolved_data() {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QByteArray>("path");   // below the test's folder
        QTest::addColumn<QByteArray>("place");  // below the test's folder
        QTest::newRow("dot-dot after a link")
            << QByteArray("link/../book.epub") << QByteArray("/real/book.epub")
            << QByteArray("/real/book.epub");
        QTest::newRow("absolute, dot-dot after a link")
            << QByteArray("@/here/link/../book.epub") << QByteArray("/real/book.epub")
            << QByteArray("/real/book.epub");
        QTest::newRow("ending in dot-dot")
            << QByteArray("link/..") << QByteArray("/real") << QByteArray("/real");
        QTest::newRow("ending in a slash")
            << QByteArray("link/") << QByteArray("/real/deep") << QByteArray("/real/deep");
        QTest::newRow("a link as the last name stays")
            << QByteArray("link") << QByteArray("/here/link") << QByteArray("/real/deep");
        QTest::newRow("a link to a file not made yet")
            << QByteArray("s.json") << QByteArray("/here/s.json") << QByteArray("/real/out.json");
        QTest::newRow("a link to a link")
            << QByteArray("./t.json") << QByteArray("/here/t.json") << QByteArray("/real/out.json");
        QTest::newRow("a folder that is not there is not cleaned as text")
            << QByteArray("gone/../book.epub") << QByteArray("/here/gone/../book.epub")
            << QByteArray("/here/gone/../book.epub");
        QTest::newRow("a name that is not UTF-8")
            << QByteArray("link/../b\xff.epub") << QByteArray("/real/b\xff.epub")
            << QByteArray("/real/b\xff.epub");
    }
    void resolved() {
        QFETCH(QByteArray, given);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, place);
        if (given.startsWith('@')) {
            given = m_top + given.mid(1);
        }
        QCOMPARE(ResolvedPath(given), m_top + path);
        QCOMPARE(ResolvedPlace(given), m_top + place);
    }

    void cleanupTestCase() { QDir::setCurrent(QDir::rootPath()); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_top;
};

BQ_TEST_MAIN(ResolvedPathTest)
#include "tst_resolved_path.moc"
