// Prints: the package reader's time to verify and unpack a signed 50 MB
// package (Ed25519 signature, SHA-1, LZMA decode, files written) against
// `xz -d` on the same LZMA stream, the signature check alone, and the
// downloader's loopback throughput against curl on the same file.
//
//   build-<dir>/bin/bench_update [megabytes]

#include "common/app_paths.h"
#include "tests/testsupport/http_test_server.h"
#include "update/package_format.h"
#include "update/package_signature.h"
#include "update/ps_update_downloader.h"

#include <QCoreApplication>
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

using namespace kelv;

namespace {

// Payload resembling a program folder: half text-like, half binary noise.
package::Content makeContent(qsizetype total)
{
    package::Content content;
    content.version = QStringLiteral("bench");
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
    // The loopback file is not a package: its unpack failure is expected.
    QLoggingCategory::setFilterRules(QStringLiteral("pspecific_wnd.info=false"));
    const qsizetype megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 50;
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
        if (package::checkSignature(pkg, keys) != package::SignatureCheck::Valid) {
            std::printf("signature check failed\n");
            return 1;
        }
        const qint64 ms = timer.elapsed();
        signatureBest = signatureBest < 0 ? ms : qMin(signatureBest, ms);
    }

    // Verify and unpack: signature + SHA-1 + LZMA + write, best of three.
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
        QString version;
        if (!package::unpackPackageFile(file.fileName(), kind, keys, &version)) {
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
    std::printf("verify + unpack (signature + SHA-1 + LZMA + write): %lld ms, %.1f MB/s\n",
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
                                                  QStringLiteral("bench"));
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
        QDir(dir.filePath(QStringLiteral("tupdates/bench"))).removeRecursively();
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
    return 0;
}
