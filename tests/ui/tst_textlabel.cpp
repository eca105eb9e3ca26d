// What a label shows of texts too long for it, down to texts of megabytes from a runaway feed.

#include "support/TestTree.h"
#include "ui/TextLabel.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace cw;

class TestTextLabel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { m_tree.install(); }

    void elision_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<qsizetype>("length");
        QTest::addColumn<bool>("keepsStart");
        QTest::addColumn<bool>("keepsEnd");
        for (qsizetype length : {qsizetype(200), qsizetype(5000), qsizetype(32) * 1024 * 1024}) {
            const QByteArray size = QByteArray::number(length);
            QTest::newRow("middle, " + size) << int(Qt::ElideMiddle) << length << true << true;
            QTest::newRow("right, " + size) << int(Qt::ElideRight) << length << true << false;
            // Unelided text is clipped when painted; only a text no label could show is cut down.
            QTest::newRow("none, " + size) << int(Qt::ElideNone) << length << true << (length < 1000);
        }
    }
    void elision() {
        QFETCH(int, mode);
        QFETCH(qsizetype, length);
        QFETCH(bool, keepsStart);
        QFETCH(bool, keepsEnd);
        // A surrogate pair sits across every cut a label could make.
        QString text = QStringLiteral("START") + QString(length, u'm') + QStringLiteral("🎵END");
        for (qsizetype i = 500; i + 1 < text.size() - 8; i += 509)
            text.replace(i, 2, QStringLiteral("🎵"));
        TextLabel label(text);
        label.resize(308, 20);
        label.setElideMode(Qt::TextElideMode(mode));
        QElapsedTimer clock;
        clock.start();
        const QString shown = label.displayedText();
        // Laying out 32 M characters took seconds; what can be seen takes microseconds. The bound only
        // tells a freeze from a draw.
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed()) + " ms"));
        QCOMPARE(label.text(), text);
        QCOMPARE(shown.startsWith(QStringLiteral("START")), keepsStart);
        QCOMPARE(shown.endsWith(QStringLiteral("🎵END")), keepsEnd);
        QVERIFY(shown.size() <= 1024);
        if (mode != Qt::ElideNone)
            QVERIFY(shown.contains(QChar(0x2026)));
        for (qsizetype i = 0; i < shown.size(); ++i) {
            if (shown.at(i).isHighSurrogate())
                QVERIFY(i + 1 < shown.size() && shown.at(i + 1).isLowSurrogate());
            else if (shown.at(i).isLowSurrogate())
                QVERIFY(i > 0 && shown.at(i - 1).isHighSurrogate());
        }
        QImage canvas(label.size(), QImage::Format_ARGB32);
        label.render(&canvas);
    }

private:
    test::TestTree m_tree;
};

QTEST_MAIN(TestTextLabel)
#include "tst_textlabel.moc"
