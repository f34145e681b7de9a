#include "ui/dragformats.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QtTest>

#include <memory>

// The payloads that travel between the panes, byte for byte, and which drops each side takes.
class TestDragFormats : public QObject
{
    Q_OBJECT

private:
    static QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

private slots:
    void stringSequence_data()
    {
        QTest::addColumn<QStringList>("strings");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("nothing") << QStringList() << QByteArray();
        QTest::newRow("one name") << QStringList{"a"} << hex("000000020061");
        QTest::newRow("two names, no count in front")
            << QStringList{"ab", "c"} << hex("0000000400610062000000020063");
        QTest::newRow("empty text") << QStringList{""} << hex("00000000");
        QTest::newRow("null text") << QStringList{QString()} << hex("ffffffff");
        QTest::newRow("accented") << QStringList{QString::fromUtf8("é")} << hex("0000000200e9");
        QTest::newRow("outside the basic plane")
            << QStringList{QString::fromUtf8("\xF0\x9F\x98\x80")} << hex("00000004d83dde00");
    }

    void stringSequence()
    {
        QFETCH(QStringList, strings);
        QFETCH(QByteArray, bytes);
        QCOMPARE(DragFormats::encodeStrings(strings), bytes);
        const QStringList decoded = DragFormats::decodeStrings(bytes);
        QCOMPARE(decoded, strings);
        for (int i = 0; i < strings.size(); ++i)
            QCOMPARE(decoded.at(i).isNull(), strings.at(i).isNull());
    }

    void foreignDataStopsAtTheFirstBrokenString_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("strings");
        QTest::newRow("length beyond the data") << hex("000000040061") << QStringList();
        QTest::newRow("second string cut") << hex("0000000200610000") << QStringList{"a"};
        QTest::newRow("odd byte length") << hex("00000003006100") << QStringList();
    }

    void foreignDataStopsAtTheFirstBrokenString()
    {
        QFETCH(QByteArray, bytes);
        QTEST(DragFormats::decodeStrings(bytes), "strings");
    }

    void remoteDragCarriesFilesAndMovesEverything()
    {
        const QString html =
            "<html><body> <div><a href=\"http://h/a\">http://h/a</a></div></body></html>";
        std::unique_ptr<QMimeData> data(DragFormats::remoteMimeData({
            {"F", "9", "", "", true},
            {"a.txt", "1", "2 KB", html, false},
            {"b.bin", "2", "5 bytes", "", false},
        }));
        QCOMPARE(data->text(), QString("httpTree"));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy"),
                 (QStringList{"a.txt", "b.bin"}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/ids"), (QStringList{"1", "2"}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/size"),
                 (QStringList{"2 KB", "5 bytes"}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/links"), (QStringList{html, ""}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/move"), (QStringList{"9", "1", "2"}));
        QCOMPARE(data->urls(), QList<QUrl>{QUrl("file:///F")});
    }

    void localDragCarriesEachFileOnce()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("x.txt");
        QFile(file).open(QIODevice::WriteOnly);
        // Every column of a row is a dragged index; folders stay behind.
        std::unique_ptr<QMimeData> data(DragFormats::localMimeData({file, file, dir.path(), file}));
        QCOMPARE(data->formats(), QStringList{"item/copy"});
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy"), QStringList{file});
        std::unique_ptr<QMimeData> folders(DragFormats::localMimeData({dir.path()}));
        QCOMPARE(folders->data("item/copy"), QByteArray());
    }

    // The remote pane: its own drags land on folder rows (moving every dragged entry there) or
    // on empty space, never on a file row; other drags upload; only the copy action is handled.
    void remotePaneDropRules()
    {
        TreeWidget view;
        view.setColumnCount(4);
        view.setSortingEnabled(false);
        const auto addRow = [&](const QString& name, const QString& id, bool folder) {
            auto* row = new TreeWidgetItem(&view, QStringList{name});
            row->setData(0, TreeWidgetItem::FolderRole, folder);
            row->setData(0, TreeWidgetItem::IdRole, id);
            return row;
        };
        QTreeWidgetItem* folder = addRow("Docs", "10", true);
        QTreeWidgetItem* file = addRow("a.txt", "101", false);
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy moves(&view, &TreeWidget::di_startMove);
        QSignalSpy copies(&view, &TreeWidget::di_startCopy);

        std::unique_ptr<QMimeData> own(DragFormats::remoteMimeData(
            {{"a.txt", "101", "5 bytes", "", false}, {"Old", "11", "", "", true}}));
        const QPoint onFile = view.visualItemRect(file).center();
        const QPoint onFolder = view.visualItemRect(folder).center();
        const auto moveAccepted = [&](QMimeData* data, const QPoint& pos) {
            QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view.viewport(), &enter);
            QDragMoveEvent move(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view.viewport(), &move);
            return move.isAccepted();
        };
        const auto drop = [&](QMimeData* data, const QPoint& pos, Qt::DropAction action) {
            moveAccepted(data, pos);
            QDropEvent event(pos, action, data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view.viewport(), &event);
        };
        QVERIFY(!moveAccepted(own.get(), onFile));
        QVERIFY(moveAccepted(own.get(), onFolder));

        drop(own.get(), onFolder, Qt::MoveAction);
        QVERIFY(moves.isEmpty());
        QCOMPARE(view.topLevelItemCount(), 2);
        drop(own.get(), onFolder, Qt::CopyAction);
        QCOMPARE(moves.size(), 1);
        QCOMPARE(moves.at(0).at(0).toStringList(), (QStringList{"101", "11"}));
        QCOMPARE(moves.at(0).at(1).toString(), QString("10"));

        QTemporaryDir dir;
        const QString path = dir.filePath("up.txt");
        QFile(path).open(QIODevice::WriteOnly);
        QMimeData desktop;
        // Desktop drops upload files only: no folders, nothing missing, nothing remote.
        desktop.setUrls({QUrl::fromLocalFile(path), QUrl::fromLocalFile(dir.path()),
                         QUrl::fromLocalFile(dir.filePath("gone.txt")),
                         QUrl("http://127.0.0.1/remote.txt")});
        QVERIFY(moveAccepted(&desktop, onFile));
        drop(&desktop, QPoint(5, view.viewport()->height() - 5), Qt::CopyAction);
        QCOMPARE(copies.size(), 1);
        QCOMPARE(copies.at(0).at(0).toStringList(), QStringList{path});
        QCOMPARE(copies.at(0).at(1).toString(), QString());
    }
};

QTEST_MAIN(TestDragFormats)
#include "tst_dragformats.moc"
