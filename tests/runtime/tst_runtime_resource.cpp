// The converter runtime archive is carried inside the program as resource "CUSTOM" 101 and read
// back whole: the bytes read must be the archive the build made, byte for byte.
#include "convert/RuntimeResource.h"
#include "platform/RunTimeError.h"

#include <QFile>
#include <QResource>
#include <QTest>

using namespace bq;

class RuntimeResourceTest : public QObject {
    Q_OBJECT

  private:
    static QByteArray archiveBuilt() {
        QFile file(QStringLiteral(BQ_RUNTIME_ZIP));
        if (!file.open(QIODevice::ReadOnly)) {
            qFatal("cannot read the runtime archive %s", BQ_RUNTIME_ZIP);
        }
        return file.readAll();
    }

  private slots:
    void resourceNameIsTypeThenId() {
        QCOMPARE(CustomResourcePath(101), QStringLiteral(":/CUSTOM/101"));
        QCOMPARE(CustomResourcePath(7), QStringLiteral(":/CUSTOM/7"));
    }

    void bytesReadEqualTheArchiveBuilt() {
        const QByteArray expected = archiveBuilt();
        QVERIFY(expected.size() > 1000000);
        QVERIFY(expected.startsWith("PK\x03\x04"));
        const QByteArray bytes = LoadCustomResource(kRuntimeResourceId);
        QCOMPARE(bytes.size(), expected.size());
        QVERIFY(bytes == expected);
    }

    void everyReadGivesTheWholeArchive() {
        const QByteArray first = LoadCustomResource(kRuntimeResourceId);
        const QByteArray second = LoadCustomResource(kRuntimeResourceId);
        QCOMPARE(second.size(), first.size());
        QVERIFY(second == first);
        // The archive ends with its end-of-central-directory record (no comment).
        QCOMPARE(first.mid(first.size() - 22, 4), QByteArray("PK\x05\x06"));
    }

    void resourceIsCarriedUncompressed() {
        // Stored as it is, the resource is read in place at every run, never inflated.
        QResource resource(CustomResourcePath(kRuntimeResourceId));
        QVERIFY(resource.isValid());
        QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    }

    void missingResourceRaisesFileNotFound_data() {
        QTest::addColumn<int>("id");
        QTest::newRow("another id") << 102;
        QTest::newRow("id zero") << 0;
        QTest::newRow("negative id") << -101;
    }

    void missingResourceRaisesFileNotFound() {
        QFETCH(int, id);
        try {
            LoadCustomResource(id);
            QFAIL("a missing resource was read");
        } catch (const RunTimeError& e) {
            QCOMPARE(e.number(), static_cast<int>(ErrFileNotFound));
            QCOMPARE(e.source(), QStringLiteral("LoadCustomResource"));
            QVERIFY2(e.description().contains(QStringLiteral("\"CUSTOM\" %1 ").arg(id)),
                     qPrintable(e.description()));
            QVERIFY(e.description().contains(QStringLiteral("Reinstall")));
        }
    }
};

QTEST_GUILESS_MAIN(RuntimeResourceTest)
#include "tst_runtime_resource.moc"
