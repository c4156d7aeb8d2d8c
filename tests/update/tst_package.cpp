// The package format and reader: packages built by the packer, unpacked by the
// reader, and broken packages refused without writing anything.

#include "tests/testsupport/temp_program_folder.h"
#include "update/firmware_image.h"
#include "update/package_format.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace kelv;

namespace {

QString packer()
{
    return test::TempProgramFolder::builtProgramFolder() + QStringLiteral("/kelvpack");
}

int runPacker(const QStringList &args, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(packer(), args);
    process.waitForFinished(60000);
    if (output)
        *output = process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Re-seals a package whose tail was edited: recomputes the digest.
QByteArray reseal(QByteArray package)
{
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(package).sliced(package::kPropertiesOffset), QCryptographicHash::Sha1);
    package.replace(package::kDigestOffset, 20, digest);
    return package;
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void packerRoundTrip_data();
    void packerRoundTrip();
    void packerListAndVerify();
    void readerRefusesBrokenPackages_data();
    void readerRefusesBrokenPackages();
    void storedNamesDropFirstComponent();
    void unsafeNamesAreRefusedWithNothingWritten_data();
    void unsafeNamesAreRefusedWithNothingWritten();
    void earlierReadyFolderIsReplaced();
    void unpackedProgramsAreExecutable();
    void relativePaths();
    void firmwareImage();
    void firmwareImageRefusals();
};

void TestPackage::packerRoundTrip_data()
{
    QTest::addColumn<bool>("endMarker");
    QTest::newRow("without end marker") << false;
    QTest::newRow("with end marker") << true;
}

void TestPackage::packerRoundTrip()
{
    QFETCH(bool, endMarker);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("client"));
    QByteArray random(300000, Qt::Uninitialized);
    for (qsizetype i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919) ^ (i >> 5));
    writeFile(source + QStringLiteral("/kelv"), random);
    writeFile(source + QStringLiteral("/view/index.html"), "<html>new</html>");
    writeFile(source + QStringLiteral("/view/js/a b.js"), "let x = 1;\n");
    writeFile(source + QStringLiteral("/empty.txt"), QByteArray());

    const QString packagePath = dir.filePath(QStringLiteral("kind/update.pkg"));
    QDir().mkpath(dir.filePath(QStringLiteral("kind")));
    QStringList args{QStringLiteral("build"), source, QStringLiteral("2.5.0"), packagePath};
    if (endMarker)
        args << QStringLiteral("--end-marker");
    QCOMPARE(runPacker(args), 0);

    QString version;
    QVERIFY(
        package::unpackPackageFile(packagePath, dir.filePath(QStringLiteral("kind")), &version));
    QCOMPARE(version, QStringLiteral("2.5.0"));
    QVERIFY(!QFileInfo::exists(packagePath)); // deleted after a successful unpack
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("kind/temp"))));
    const QString ready = dir.filePath(QStringLiteral("kind/ready"));
    QCOMPARE(filesBelow(ready),
             QStringList({QStringLiteral("empty.txt"), QStringLiteral("kelv"),
                          QStringLiteral("view/index.html"), QStringLiteral("view/js/a b.js")}));
    QCOMPARE(readFile(ready + QStringLiteral("/kelv")), random);
    QCOMPARE(readFile(ready + QStringLiteral("/view/js/a b.js")), QByteArray("let x = 1;\n"));
    QCOMPARE(QFileInfo(ready + QStringLiteral("/empty.txt")).size(), 0);
}

void TestPackage::packerListAndVerify()
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("src/a.txt")), "alpha");
    writeFile(dir.filePath(QStringLiteral("src/sub/b.txt")), "beta!");
    const QString pkg = dir.filePath(QStringLiteral("p.pkg"));
    QCOMPARE(runPacker({QStringLiteral("build"), dir.filePath(QStringLiteral("src")),
                        QStringLiteral("1.0.7"), pkg, QStringLiteral("--prefix"),
                        QStringLiteral("top")}),
             0);
    QByteArray output;
    QCOMPARE(runPacker({QStringLiteral("list"), pkg}, &output), 0);
    QCOMPARE(output, QByteArray("version 1.0.7\n5\ttop/a.txt\n5\ttop/sub/b.txt\n"));
    QCOMPARE(runPacker({QStringLiteral("verify"), pkg}, &output), 0);
    QVERIFY(output.contains("OK"));

    // One flipped byte in the compressed data: the digest no longer matches.
    QByteArray broken = readFile(pkg);
    broken[broken.size() - 3] = char(broken.at(broken.size() - 3) ^ 0x40);
    writeFile(pkg, broken);
    QCOMPARE(runPacker({QStringLiteral("verify"), pkg}, &output), 1);
    QVERIFY(output.contains("bad SHA1"));
    // Resealed: the digest matches but the LZMA data is corrupt or differs.
    writeFile(pkg, reseal(broken));
    QCOMPARE(runPacker({QStringLiteral("verify"), pkg}, &output), 1);

    QCOMPARE(runPacker({QStringLiteral("nonsense")}), 2);
    QCOMPARE(runPacker({QStringLiteral("build"), dir.filePath(QStringLiteral("missing")),
                        QStringLiteral("1"), pkg}),
             1);
}

void TestPackage::readerRefusesBrokenPackages_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("message");

    package::Content good;
    good.version = QStringLiteral("3.0");
    good.entries.append({QStringLiteral("p/file.txt"), "content"});
    const QByteArray valid = package::buildPackage(good);

    QTest::newRow("157 bytes") << valid.left(157) << QString();
    QTest::newRow("empty file") << QByteArray() << QString();

    QByteArray badDigest = valid;
    badDigest[130] = char(badDigest.at(130) ^ 1);
    QTest::newRow("bad digest") << badDigest
                                << QStringLiteral("Update Error: bad SHA1 hash of update file!");

    QByteArray flipped = valid;
    flipped[flipped.size() - 2] = char(flipped.at(flipped.size() - 2) ^ 0x55);
    QTest::newRow("corrupt stream")
        << reseal(flipped) << QStringLiteral("Update Error: could not uncompress lzma, code: ");

    QByteArray longer = valid;
    qToLittleEndian<quint32>(qFromLittleEndian<quint32>(valid.constData() + 153) + 10,
                             longer.data() + 153);
    QTest::newRow("stated length too long")
        << reseal(longer) << QStringLiteral("Update Error: could not uncompress lzma, code: ");
    QByteArray shorter = valid;
    qToLittleEndian<quint32>(qFromLittleEndian<quint32>(valid.constData() + 153) - 1,
                             shorter.data() + 153);
    QTest::newRow("stated length too short")
        << reseal(shorter) << QStringLiteral("Update Error: could not uncompress lzma, code: ");

    package::Content empty;
    empty.version = QStringLiteral("3.0");
    QTest::newRow("no files") << package::buildPackage(empty)
                              << QStringLiteral("Update Error: update is empty!");

    // A payload cut off after the version string.
    {
        QByteArray payload;
        QDataStream stream(&payload, QIODevice::WriteOnly);
        stream.setVersion(QDataStream::Qt_5_1);
        stream << QStringLiteral("3.0");
        QByteArray props, lz;
        QVERIFY(package::lzmaCompress(payload, 6, false, &props, &lz));
        QByteArray tail = props;
        char len[4];
        qToLittleEndian<quint32>(quint32(payload.size()), len);
        tail.append(len, 4);
        tail += lz;
        QByteArray pkg(148, '\0');
        pkg += tail;
        QTest::newRow("no file count")
            << reseal(pkg)
            << QStringLiteral(
                   "Update Error: cant read files count from downloaded stream, status: 1");
    }

    // A file whose stated size differs from its content.
    {
        QByteArray payload;
        QDataStream stream(&payload, QIODevice::WriteOnly);
        stream.setVersion(QDataStream::Qt_5_1);
        stream << QStringLiteral("3.0") << quint32(1) << QStringLiteral("p/a.txt") << quint32(9)
               << QByteArray("abc");
        QByteArray props, lz;
        QVERIFY(package::lzmaCompress(payload, 6, false, &props, &lz));
        QByteArray tail = props;
        char len[4];
        qToLittleEndian<quint32>(quint32(payload.size()), len);
        tail.append(len, 4);
        tail += lz;
        QByteArray pkg(148, '\0');
        pkg += tail;
        QTest::newRow("size mismatch")
            << reseal(pkg)
            << QStringLiteral("Update Error: bad file size 9 not matching data size 3");
    }

    package::Content noSlash;
    noSlash.version = QStringLiteral("3.0");
    noSlash.entries.append({QStringLiteral("plain.txt"), "x"});
    QTest::newRow("stored name without slash")
        << package::buildPackage(noSlash) << QStringLiteral("Update Error: cant open file '");
}

void TestPackage::readerRefusesBrokenPackages()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString kind = dir.filePath(QStringLiteral("tupdates/html"));
    writeFile(kind + QStringLiteral("/update.pkg"), package);

    if (!message.isEmpty())
        QTest::ignoreMessage(
            QtInfoMsg, QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(message)));
    QString version;
    QVERIFY(!package::unpackPackageFile(kind + QStringLiteral("/update.pkg"), kind, &version));
    QVERIFY(version.isEmpty());
    QVERIFY(!QFileInfo::exists(kind + QStringLiteral("/ready")));

    QString error;
    package::Content content;
    QVERIFY(!package::readPackage(package, &content, &error));
    QVERIFY(!error.isEmpty());
}

void TestPackage::storedNamesDropFirstComponent()
{
    package::Content content;
    content.version = QStringLiteral("1");
    content.entries.append({QStringLiteral("a/b/c.txt"), "deep"});
    content.entries.append({QStringLiteral("a/top.txt"), "top"});
    QTemporaryDir dir;
    const QString kind = dir.filePath(QStringLiteral("k"));
    writeFile(kind + QStringLiteral("/p.pkg"), package::buildPackage(content));
    QString version;
    QVERIFY(package::unpackPackageFile(kind + QStringLiteral("/p.pkg"), kind, &version));
    QCOMPARE(filesBelow(kind + QStringLiteral("/ready")),
             QStringList({QStringLiteral("b/c.txt"), QStringLiteral("top.txt")}));
    QCOMPARE(readFile(kind + QStringLiteral("/ready/b/c.txt")), QByteArray("deep"));
}

void TestPackage::unsafeNamesAreRefusedWithNothingWritten_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent") << QStringLiteral("../x");
    QTest::newRow("parent after first") << QStringLiteral("a/../../x");
    QTest::newRow("parent inside") << QStringLiteral("a/b/../../../x");
    QTest::newRow("absolute") << QStringLiteral("/etc/x");
    QTest::newRow("backslash parent") << QStringLiteral("a\\..\\..\\x");
    QTest::newRow("drive") << QStringLiteral("C:/x/y");
    // A line break in a name could forge a line of the Updater's journal.
    QTest::newRow("line break") << QStringLiteral("a/x\nN ../../outside");
    QTest::newRow("carriage return") << QStringLiteral("a/x\r");
    QTest::newRow("escape") << QStringLiteral("a/\x1b[2Jx");
    QTest::newRow("delete") << QStringLiteral("a/x\x7f");
    QTest::newRow("C1 control") << (QStringLiteral("a/x") + QChar(0x85));
}

void TestPackage::unsafeNamesAreRefusedWithNothingWritten()
{
    QFETCH(QString, name);
    package::Content content;
    content.version = QStringLiteral("1");
    content.entries.append({name, "evil"});
    QTemporaryDir dir;
    const QString kind = dir.filePath(QStringLiteral("tupdates/client"));
    writeFile(kind + QStringLiteral("/p.pkg"), package::buildPackage(content));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("unsafe file name")));
    QString version;
    QVERIFY(!package::unpackPackageFile(kind + QStringLiteral("/p.pkg"), kind, &version));
    // Nothing but the package itself and the (empty) temp folder exists.
    QCOMPARE(filesBelow(dir.path()), QStringList(QStringLiteral("tupdates/client/p.pkg")));
    QVERIFY(!QFileInfo::exists(kind + QStringLiteral("/ready")));
}

void TestPackage::unpackedProgramsAreExecutable()
{
    // The format stores no modes: the content decides.
    QFile self(QCoreApplication::applicationFilePath());
    QVERIFY(self.open(QIODevice::ReadOnly));
    package::Content content;
    content.version = QStringLiteral("1");
    content.entries.append({QStringLiteral("p/kelv"), self.read(64 * 1024)});
    content.entries.append({QStringLiteral("p/tools/run.sh"), "#!/bin/sh\necho hi\n"});
    content.entries.append({QStringLiteral("p/view/index.html"), "<html></html>"});
    content.entries.append({QStringLiteral("p/notes.txt"), "#not a script"});
    content.entries.append({QStringLiteral("p/tiny"), "#"});
    QTemporaryDir dir;
    const QString kind = dir.filePath(QStringLiteral("k"));
    writeFile(kind + QStringLiteral("/p.pkg"), package::buildPackage(content));
    QString version;
    QVERIFY(package::unpackPackageFile(kind + QStringLiteral("/p.pkg"), kind, &version));
    const QString ready = kind + QStringLiteral("/ready/");
    QVERIFY(QFileInfo(ready + QStringLiteral("kelv")).isExecutable());
    QVERIFY(QFileInfo(ready + QStringLiteral("tools/run.sh")).isExecutable());
    QVERIFY(!QFileInfo(ready + QStringLiteral("view/index.html")).isExecutable());
    QVERIFY(!QFileInfo(ready + QStringLiteral("notes.txt")).isExecutable());
    QVERIFY(!QFileInfo(ready + QStringLiteral("tiny")).isExecutable());
    // Execute bits follow the read bits of the default mode.
    const QFileDevice::Permissions plain =
        QFileInfo(ready + QStringLiteral("notes.txt")).permissions();
    const QFileDevice::Permissions program =
        QFileInfo(ready + QStringLiteral("kelv")).permissions();
    QCOMPARE(bool(program & QFileDevice::ExeGroup), bool(plain & QFileDevice::ReadGroup));
    QCOMPARE(bool(program & QFileDevice::ExeOther), bool(plain & QFileDevice::ReadOther));
    // The unpacked script runs.
    QProcess script;
    script.start(ready + QStringLiteral("tools/run.sh"), {});
    QVERIFY(script.waitForFinished(10000));
    QCOMPARE(script.readAllStandardOutput(), QByteArray("hi\n"));
}

void TestPackage::earlierReadyFolderIsReplaced()
{
    QTemporaryDir dir;
    const QString kind = dir.filePath(QStringLiteral("k"));
    writeFile(kind + QStringLiteral("/ready/old.txt"), "old");
    writeFile(kind + QStringLiteral("/temp/stale.txt"), "stale");
    package::Content content;
    content.version = QStringLiteral("2");
    content.entries.append({QStringLiteral("p/new.txt"), "new"});
    writeFile(kind + QStringLiteral("/p.pkg"), package::buildPackage(content));
    QString version;
    QVERIFY(package::unpackPackageFile(kind + QStringLiteral("/p.pkg"), kind, &version));
    QCOMPARE(filesBelow(kind), QStringList(QStringLiteral("ready/new.txt")));
}

void TestPackage::relativePaths()
{
    bool unsafe = true;
    QCOMPARE(package::relativePathOf(QStringLiteral("a/b/c.txt"), &unsafe),
             QStringLiteral("b/c.txt"));
    QVERIFY(!unsafe);
    QCOMPARE(package::relativePathOf(QStringLiteral("plain"), &unsafe), QString());
    QVERIFY(!unsafe);
    QCOMPARE(package::relativePathOf(QStringLiteral("a/"), &unsafe), QString());
    QCOMPARE(package::relativePathOf(QStringLiteral("a/..b/c"), &unsafe), QStringLiteral("..b/c"));
    QVERIFY(!unsafe);
    package::relativePathOf(QStringLiteral("a/b/.."), &unsafe);
    QVERIFY(unsafe);
}

void TestPackage::firmwareImage()
{
    QTemporaryDir dir;
    QByteArray bytes(4000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 31);
    writeFile(dir.filePath(QStringLiteral("fw.bin")), bytes);
    const QString pkg = dir.filePath(QStringLiteral("firmware/fw.pkg"));
    QDir().mkpath(dir.filePath(QStringLiteral("firmware")));
    QCOMPARE(runPacker({QStringLiteral("firmware"), dir.filePath(QStringLiteral("fw.bin")),
                        QStringLiteral("1.4.0"), pkg}),
             0);
    QString version;
    QVERIFY(package::unpackPackageFile(pkg, dir.filePath(QStringLiteral("firmware")), &version));
    QCOMPARE(version, QStringLiteral("1.4.0"));
    const QString image = dir.filePath(QStringLiteral("firmware/ready/update.bin"));
    QCOMPARE(QFileInfo(image).size(), FirmwareImage::kBufferSize);

    FirmwareImage loaded;
    QVERIFY(loaded.load(image));
    QCOMPARE(loaded.length(), quint64(4000));
    QCOMPARE(QByteArray(loaded.firmware(), 4000), bytes);
    // zlib's crc32 of the bytes (checked against the standard check value too).
    QCOMPARE(FirmwareImage::crc32("123456789", 9), quint32(0xCBF43926));
    QCOMPARE(loaded.checkValue(), FirmwareImage::crc32(bytes.constData(), bytes.size()));

    // The image writer alone.
    QCOMPARE(runPacker({QStringLiteral("image"), dir.filePath(QStringLiteral("fw.bin")),
                        dir.filePath(QStringLiteral("u.bin"))}),
             0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("u.bin"))), readFile(image));
    // Firmware too large for the image is refused by the packer.
    writeFile(dir.filePath(QStringLiteral("big.bin")), QByteArray(66000, 'x'));
    QCOMPARE(runPacker({QStringLiteral("image"), dir.filePath(QStringLiteral("big.bin")),
                        dir.filePath(QStringLiteral("v.bin"))}),
             1);
}

void TestPackage::firmwareImageRefusals()
{
    QTemporaryDir dir;
    const QByteArray good = FirmwareImage::build(QByteArray(100, 'f'));
    const QString path = dir.filePath(QStringLiteral("update.bin"));
    FirmwareImage image;

    QVERIFY(!image.load(dir.filePath(QStringLiteral("missing.bin"))));

    QByteArray wrongCode = good;
    wrongCode[0] = 0x17;
    writeFile(path, wrongCode);
    QVERIFY(!image.load(path));

    QByteArray secondWord = good;
    secondWord[5] = 1;
    writeFile(path, secondWord);
    QVERIFY(!image.load(path));

    QByteArray tooLong = good;
    qToLittleEndian<quint64>(FirmwareImage::kMaxLength + 1,
                             tooLong.data() + FirmwareImage::kLengthOffset);
    writeFile(path, tooLong);
    QVERIFY(!image.load(path));
    qToLittleEndian<quint64>(FirmwareImage::kMaxLength,
                             tooLong.data() + FirmwareImage::kLengthOffset);
    writeFile(path, tooLong);
    QVERIFY(image.load(path)); // exactly what the buffer holds

    writeFile(path, good + QByteArray(1, '\0')); // longer than the buffer
    QVERIFY(!image.load(path));

    // A short file is read into the zeroed buffer: its length reads as 0, and
    // an image without firmware bytes is refused (flashing it would erase the
    // mouse and write nothing).
    writeFile(path, good.left(300));
    QVERIFY(!image.load(path));
    QCOMPARE(image.length(), quint64(0));
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
