// The program's log file: line format and rotation.

#include "app/log_file.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv;

namespace {
Q_LOGGING_CATEGORY(lcTest, "logtest")

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        removeLogFile();
        setLogRotateSize(0);
    }

    void linesCarryTheirSource()
    {
        const QString line =
            formatLogLine(QtInfoMsg, "cefapplication", QStringLiteral("mainwindow show!"));
        QVERIFY2(
            QRegularExpression(
                QStringLiteral(R"(^\[\d{4}/\d{6}\.\d{3}:INFO:cefapplication\] mainwindow show!$)"))
                .match(line)
                .hasMatch(),
            qPrintable(line));
    }

    // The lines of a start before the file's place is known are the file's
    // first lines; the ones after follow them.
    void linesHeldUntilTheFileIsKnownOpenIt()
    {
        holdLogLines();
        qCInfo(lcTest, "said before the file was known");
        qCDebug(lcTest, "a debug line goes to standard error only");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("web.log"));
        QVERIFY(installLogFile(path));
        qCInfo(lcTest, "said after");
        removeLogFile();
        const QList<QByteArray> lines = read(path).split('\n');
        QCOMPARE(lines.size(), 3); // two lines and the end of the last
        QVERIFY2(lines.at(0).endsWith("logtest] said before the file was known"), lines.at(0));
        QVERIFY2(lines.at(1).endsWith("logtest] said after"), lines.at(1));

        // Once written, held lines are gone: a second file does not get them.
        QVERIFY(installLogFile(dir.filePath(QStringLiteral("second.log"))));
        removeLogFile();
        QVERIFY(read(dir.filePath(QStringLiteral("second.log"))).isEmpty());
    }

    void fileIsRotatedAtItsSizeKeepingOneOlderFile()
    {
        QCOMPARE(kLogRotateBytes, qint64(10 * 1024 * 1024));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("web.log"));
        QVERIFY(installLogFile(path));
        setLogRotateSize(4096);
        const QString filler(80, QLatin1Char('x'));
        for (int i = 0; i < 150; ++i)
            qCInfo(lcTest).noquote()
                << QStringLiteral("line %1 ").arg(i, 3, 10, QLatin1Char('0')) + filler;
        removeLogFile();

        const QByteArray older = read(path + QStringLiteral(".1"));
        const QByteArray current = read(path);
        // Each file stops at the first line that reaches the size.
        QVERIFY(older.size() >= 4096 && older.size() < 4096 + 200);
        QVERIFY(current.size() < 4096 + 200);
        QVERIFY(!QFile::exists(path + QStringLiteral(".2")));
        // Nothing is lost between the two files: the newest lines are in the
        // current file, the ones before them end the older file.
        QVERIFY(current.contains("line 149 "));
        const QList<QByteArray> lines = (older + current).split('\n');
        int expected = -1;
        for (const QByteArray &text : lines) {
            const int at = text.indexOf("line ");
            if (at < 0)
                continue;
            const int number = text.mid(at + 5, 3).toInt();
            if (expected >= 0)
                QCOMPARE(number, expected);
            expected = number + 1;
        }
        QCOMPARE(expected, 150);
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_log_file.moc"
