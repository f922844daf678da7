// The list's model on its own: what the conversion run reads from it, and that filling and
// editing it tell the view in one notification per operation (a batch of 100,000 entries is one
// insertion), so the list stays quick at any size.
#include "list/ConversionList.h"
#include "list/ListContainsItem.h"
#include "support/TestMain.h"

#include <QSignalSpy>

using namespace bq;

class ConversionListTest : public QObject {
    Q_OBJECT

  private slots:
    void theRunReadsRowsAndTexts() {
        ConversionList list;
        list.Append(QStringList{"/b/a.epub", "/b/a.epub", "/b/c.epub"});
        const QAbstractItemModel& model = list;
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.columnCount(), 1);
        QCOMPARE(model.index(1, 0).data().toString(), QStringLiteral("/b/a.epub"));
        QCOMPARE(model.index(2, 0).data(Qt::AccessibleTextRole).toString(),
                 QStringLiteral("/b/c.epub"));
        QCOMPARE(model.rowCount(model.index(0, 0)), 0);  // entries have no children
        QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
        QVERIFY(ListContainsItem(model, QStringLiteral("/b/c.epub")));
    }

    void oneNotificationPerOperation() {
        ConversionList list;
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
        QStringList many;
        for (int i = 0; i < 100000; ++i) {
            many << QStringLiteral("/b/%1.epub").arg(i);
        }
        list.Append(many);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(inserted[0][2].toInt(), 99999);
        list.Append(QStringList{});
        QCOMPARE(inserted.size(), 1);

        list.Exchange(10, 99990);
        QCOMPARE(list.Text(10), QStringLiteral("/b/99990.epub"));
        QCOMPARE(list.Text(99990), QStringLiteral("/b/10.epub"));
        QCOMPARE(changed.size(), 2);  // the two rows, not the range between them
        QCOMPARE(changed[0][0].toModelIndex().row(), changed[0][1].toModelIndex().row());
        list.Exchange(5, 5);
        list.Exchange(-1, 5);
        list.Exchange(5, 100000);
        QCOMPARE(changed.size(), 2);

        list.Remove(0);
        list.Remove(100000);  // past the end: nothing
        QCOMPARE(removed.size(), 1);
        QCOMPARE(list.Count(), 99999);
        QCOMPARE(list.Text(0), QStringLiteral("/b/1.epub"));
    }
};

BQ_TEST_MAIN(ConversionListTest)
#include "tst_conversion_list.moc"
