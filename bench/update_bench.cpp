// Prints: the package reader's time to verify and unpack a signed 50 MB
// package (Ed25519 signature of the manifest, SHA-256 of the body, LZMA
// decode, files written) against `xz -d` on the same LZMA stream, the
// signature check alone, the downloader's loopback throughput against curl on
// the same file, and the peak resident memory of verifying and unpacking a
// 400 MiB package (in a process of its own, above its idle size).
//
//   build-<dir>/bin/bench_update [megabytes] [memory-megabytes, 0: skip]

#include "common/app_paths.h"
#include "tests/testsupport/http_test_server.h"
#include "update/package_signature.h"
#include "update/package_unpacker.h"
#include "update/package_writer.h"
#include "update/ps_update_downloader.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <cstdio>
#include <cstring>

using namespace kelv;

namespace {

// Payload resembling a program folder: half text-like, half binary noise.
package::Content makeContent(qsizetype total)
{
    package::Content content;
    content.version = QStringLiteral("1.0");
    quint32 x = 12345;
    const qsizetype fileSize = 2 * 1024 * 1024;
    for (qsizetype made = 0, n = 0; made < total; made += fileSize, ++n) {
        QByteArray data(qMin(fileSize, total - made), Qt::Uninitialized);
        for (qsizetype i = 0; i < data.size(); ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            data[i] = (n % 2) ? char(x) : char("abcdefgh ijklmn\n"[x % 16]);
        }
        content.entries.append({QStringLiteral("bench/dir%1/file%2.bin").arg(n % 5).arg(n), data});
    }
    return content;
}

// Resident memory of this process now and at its peak, in KiB (Linux).
qint64 statusKib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// The child's part of the memory figure: verify and unpack one package, then
// print the resident memory before and the peak after.
int measureUnpack(const QString &packagePath, const QString &kindFolder, const QString &keysFile)
{
    const package::TrustedKeys keys = package::TrustedKeys::load(keysFile);
    package::Expectation expected;
    expected.kind = QStringLiteral("client");
    const qint64 idle = statusKib("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    const package::UnpackResult result =
        package::unpackPackageFile(packagePath, kindFolder, keys, expected);
    const qint64 ms = timer.elapsed();
    const qint64 peak = statusKib("VmHWM:");
    std::printf("%lld %lld %lld %d\n", static_cast<long long>(idle), static_cast<long long>(peak),
                static_cast<long long>(ms), int(result.outcome));
    return result.outcome == package::UnpackResult::Unpacked ? 0 : 1;
}

// A package of `megabytes` of incompressible files (the package is about as
// large as its payload), written piece by piece, that states the largest
// dictionary the reader accepts (encoded with a small one: any dictionary at
// least as large decodes it), signed with key.
bool writeLargePackage(const QString &path, qint64 megabytes, const package::SecretKey &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return false;
    constexpr qint64 kFile = 16 * 1024 * 1024;
    const qint64 total = megabytes * 1024 * 1024;
    package::PackageWriter writer(&file, 0);
    if (!writer.begin(QStringLiteral("client"), package::kProductCode, QStringLiteral("1.0"),
                      quint32((total + kFile - 1) / kFile)))
        return false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    quint64 x = 88172645463325252ull;
    for (qint64 made = 0, n = 0; made < total; made += kFile, ++n) {
        const qint64 size = qMin(kFile, total - made);
        if (!writer.addFile(QStringLiteral("bench/data%1.bin").arg(n), quint32(size)))
            return false;
        for (qint64 done = 0; done < size; done += chunk.size()) {
            for (qsizetype i = 0; i + 8 <= chunk.size(); i += 8) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                std::memcpy(chunk.data() + i, &x, 8);
            }
            if (!writer.write(QByteArrayView(chunk).first(qMin<qint64>(chunk.size(), size - done))))
                return false;
        }
    }
    if (!writer.finish())
        return false;
    // State the largest dictionary, then seal the body again and sign.
    char dictionary[4];
    qToLittleEndian<quint32>(32u << 20, dictionary);
    if (!file.seek(package::kPropertiesOffset + 1) || file.write(dictionary, 4) != 4 ||
        !file.seek(package::kHeaderSize))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || !file.seek(0))
        return false;
    QByteArray header = file.read(package::kHeaderSize);
    header.replace(package::kBodyDigestOffset, package::kBodyDigestSize, hash.result());
    return key.signPackage(&header) && file.seek(0) && file.write(header) == header.size();
}

bool runProcess(const QString &program, const QStringList &args, const QString &output = QString())
{
    QProcess process;
    if (!output.isEmpty())
        process.setStandardOutputFile(output);
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    process.start(program, args);
    loop.exec();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "--measure-unpack") == 0)
        return measureUnpack(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                             QString::fromLocal8Bit(argv[4]));
    // The loopback file is not a package: its unpack failure is expected.
    QLoggingCategory::setFilterRules(QStringLiteral("pspecific_wnd.info=false"));
    const qsizetype megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 50;
    const qint64 memoryMegabytes = argc > 2 ? QByteArray(argv[2]).toLongLong() : 400;
    const qsizetype total = megabytes * 1024 * 1024;
    QTemporaryDir dir;
    setWorkingFolder(dir.path() + QLatin1Char('/'));

    std::printf("building a %lld MB package...\n", static_cast<long long>(megabytes));
    const package::Content content = makeContent(total);
    QByteArray pkg = package::buildPackage(content, 6, true);
    // A key made for this run signs the package and is the one trusted key.
    const package::SecretKey key = package::SecretKey::generate();
    package::TrustedKeys keys;
    keys.add(key.publicKey());
    if (!key.signPackage(&pkg)) {
        std::printf("signing failed\n");
        return 1;
    }
    std::printf("package: %lld bytes compressed, signed\n", static_cast<long long>(pkg.size()));

    // The signature check alone, best of three.
    qint64 signatureBest = -1;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        if (package::checkSignature(pkg.left(package::kHeaderSize), keys) !=
            package::SignatureCheck::Valid) {
            std::printf("signature check failed\n");
            return 1;
        }
        const qint64 ms = timer.elapsed();
        signatureBest = signatureBest < 0 ? ms : qMin(signatureBest, ms);
    }

    // Verify and unpack: signature + SHA-256 + LZMA + write, best of three.
    qint64 best = -1;
    for (int round = 0; round < 3; ++round) {
        const QString kind = dir.filePath(QStringLiteral("tupdates/client"));
        QDir().mkpath(kind);
        QFile file(kind + QStringLiteral("/bench.pkg"));
        file.open(QIODevice::WriteOnly);
        file.write(pkg);
        file.close();
        QElapsedTimer timer;
        timer.start();
        package::Expectation expected;
        expected.kind = QStringLiteral("client");
        if (package::unpackPackageFile(file.fileName(), kind, keys, expected).outcome !=
            package::UnpackResult::Unpacked) {
            std::printf("unpack failed\n");
            return 1;
        }
        const qint64 ms = timer.elapsed();
        best = best < 0 ? ms : qMin(best, ms);
    }

    // The same stream for xz: the .lzma container (properties, 64-bit size,
    // stream with end marker).
    QByteArray alone = pkg.mid(package::kPropertiesOffset, 5);
    char size[8];
    qToLittleEndian<quint64>(qFromLittleEndian<quint32>(pkg.constData() + package::kLengthOffset),
                             size);
    alone.append(size, 8);
    alone += pkg.mid(package::kDataOffset);
    const QString lzmaFile = dir.filePath(QStringLiteral("bench.lzma"));
    QFile lz(lzmaFile);
    lz.open(QIODevice::WriteOnly);
    lz.write(alone);
    lz.close();
    qint64 xzBest = -1;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        if (!runProcess(QStringLiteral("xz"),
                        {QStringLiteral("-d"), QStringLiteral("--format=lzma"),
                         QStringLiteral("-c"), lzmaFile},
                        dir.filePath(QStringLiteral("xz.out")))) {
            std::printf("xz failed\n");
            return 1;
        }
        const qint64 ms = timer.elapsed();
        xzBest = xzBest < 0 ? ms : qMin(xzBest, ms);
    }
    const double payloadMb = double(total) / (1024.0 * 1024.0);
    std::printf("signature check (Ed25519):     %lld ms\n", static_cast<long long>(signatureBest));
    std::printf("verify + unpack (signature + SHA-256 + LZMA + write): %lld ms, %.1f MB/s\n",
                static_cast<long long>(best), payloadMb * 1000.0 / double(qMax<qint64>(best, 1)));
    std::printf("xz -d (LZMA + write):          %lld ms, %.1f MB/s\n",
                static_cast<long long>(xzBest),
                payloadMb * 1000.0 / double(qMax<qint64>(xzBest, 1)));
    std::printf("ratio unpack / xz: %.2f\n", double(best) / double(qMax<qint64>(xzBest, 1)));

    // Download over loopback: the downloader against curl, same file, best of three.
    test::HttpTestServer server;
    QByteArray file(total, Qt::Uninitialized);
    for (qsizetype i = 0; i < file.size(); ++i)
        file[i] = char(i * 131 + (i >> 11));
    server.setContent(QStringLiteral("/big.bin"), file);
    qint64 ours = -1;
    for (int round = 0; round < 3; ++round) {
        QThread thread;
        auto *downloader = new PsUpdateDownloader(&thread, server.url(QStringLiteral("/big.bin")),
                                                  QStringLiteral("client"));
        QEventLoop loop;
        QObject::connect(downloader, &PsUpdateDownloader::downLoadFinished, &loop,
                         &QEventLoop::quit);
        QObject::connect(downloader, &PsUpdateDownloader::downLoadFailed, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        thread.start();
        loop.exec();
        const qint64 ms = timer.elapsed();
        ours = ours < 0 ? ms : qMin(ours, ms);
        downloader->deleteLater();
        thread.quit();
        thread.wait();
        QDir(dir.filePath(QStringLiteral("tupdates"))).removeRecursively();
    }
    qint64 curl = -1;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        if (!runProcess(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"),
                                                 dir.filePath(QStringLiteral("curl.out")),
                                                 server.url(QStringLiteral("/big.bin"))})) {
            std::printf("curl failed\n");
            return 1;
        }
        const qint64 ms = timer.elapsed();
        curl = curl < 0 ? ms : qMin(curl, ms);
    }
    std::printf("download (downloader): %lld ms, %.1f MB/s\n", static_cast<long long>(ours),
                payloadMb * 1000.0 / double(qMax<qint64>(ours, 1)));
    std::printf("download (curl):       %lld ms, %.1f MB/s\n", static_cast<long long>(curl),
                payloadMb * 1000.0 / double(qMax<qint64>(curl, 1)));
    std::printf("ratio downloader / curl: %.2f\n", double(ours) / double(qMax<qint64>(curl, 1)));

    if (memoryMegabytes <= 0)
        return 0;
    // Peak memory of verify + unpack, in a process of its own.
    std::printf("writing a %lld MiB package...\n", static_cast<long long>(memoryMegabytes));
    const QString large = dir.filePath(QStringLiteral("large.pkg"));
    if (!writeLargePackage(large, memoryMegabytes, key)) {
        std::printf("writing the package failed\n");
        return 1;
    }
    const QString keysFile = dir.filePath(QStringLiteral("keys.txt"));
    QFile keyLines(keysFile);
    keyLines.open(QIODevice::WriteOnly);
    keyLines.write(package::encodePublicKey(key.publicKey()).toLatin1() + '\n');
    keyLines.close();
    QDir(dir.filePath(QStringLiteral("tupdates"))).removeRecursively();
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--measure-unpack"), large,
                 dir.filePath(QStringLiteral("tupdates/client")), keysFile});
    QEventLoop wait;
    QObject::connect(&child, &QProcess::finished, &wait, &QEventLoop::quit);
    wait.exec();
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitCode() != 0 || figures.size() != 4) {
        std::printf("verify + unpack of the large package failed\n");
        return 1;
    }
    const qint64 idle = figures.at(0).toLongLong();
    const qint64 peak = figures.at(1).toLongLong();
    std::printf("package of %lld MiB (%lld MiB payload, stated dictionary 32 MiB): verify + "
                "unpack %lld ms\n",
                static_cast<long long>(QFileInfo(large).size() >> 20),
                static_cast<long long>(memoryMegabytes),
                static_cast<long long>(figures.at(2).toLongLong()));
    std::printf("resident memory: %lld MiB idle, %lld MiB peak, %lld MiB above idle (goal: "
                "under 64)\n",
                static_cast<long long>(idle >> 10), static_cast<long long>(peak >> 10),
                static_cast<long long>((peak - idle) >> 10));
    return 0;
}
