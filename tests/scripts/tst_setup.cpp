// scripts/setup.sh against the real apt-get, in an apt world of its own
// (APT_CONFIG: local file repositories, private lists, status and cache, and
// a dpkg that only notes what it was asked to install): an index that fails
// for a repository the needed packages do not come from does not stop the
// install; one they need does, with one line that says what to do.
#include "tests/testsupport/temp_program_folder.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace kelv::test;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// A local file repository of one suite with amd64 and i386 indexes. A broken
// index is listed in the Release file with another content's size and hash,
// as a mirror caught in the middle of a sync serves it.
class LocalRepository
{
public:
    LocalRepository(const QString &folder, const QByteArray &amd64Packages, bool brokenI386)
        : m_folder(folder)
    {
        const QByteArray i386Packages = "Package: kelv-setup-i386-only\nVersion: 1\n\n";
        QByteArray release = "Suite: stable\nCodename: stable\nArchitectures: amd64 i386\n"
                             "Components: main\nDate: " +
                             QDateTime::currentDateTimeUtc()
                                 .toString(QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'UTC'"))
                                 .toLatin1() +
                             "\nSHA256:\n";
        const QByteArray listedI386 =
            brokenI386 ? i386Packages + "Package: stale\n\n" : i386Packages;
        for (const auto &[name, content, listed] :
             {std::tuple{QByteArray("main/binary-amd64/Packages"), amd64Packages, amd64Packages},
              std::tuple{QByteArray("main/binary-i386/Packages"), i386Packages, listedI386}}) {
            m_ok &= writeFile(folder + "/dists/stable/" + QString::fromLatin1(name), content);
            release +=
                " " + sha256(listed) + " " + QByteArray::number(listed.size()) + " " + name + "\n";
        }
        m_ok &= writeFile(folder + "/dists/stable/Release", release);
    }
    bool ok() const { return m_ok; }
    QString sourceLine() const
    {
        return QStringLiteral("deb [trusted=yes] file:%1 stable main\n").arg(m_folder);
    }

private:
    QString m_folder;
    bool m_ok = true;
};

} // namespace

class TestSetup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_world;
    QString m_config;

    QString path(const QString &relative) const { return m_world.filePath(relative); }

    // A package of nothing, in the pool of the good repository; its index entry.
    QByteArray probePackage()
    {
        const QString build = path(QStringLiteral("probe"));
        writeFile(build + "/DEBIAN/control",
                  "Package: kelv-setup-probe\nVersion: 1.0\nArchitecture: all\n"
                  "Maintainer: kelv tests <tests@kelv.invalid>\nDescription: a probe\n");
        const QString deb = path(QStringLiteral("good/pool/probe.deb"));
        QDir().mkpath(QFileInfo(deb).absolutePath());
        if (QProcess::execute(QStringLiteral("dpkg-deb"), {QStringLiteral("-b"), build, deb}) != 0)
            return QByteArray();
        const QByteArray bytes = readFile(deb);
        return "Package: kelv-setup-probe\nVersion: 1.0\nArchitecture: all\n"
               "Maintainer: kelv tests <tests@kelv.invalid>\nDescription: a probe\n"
               "Filename: pool/probe.deb\nSize: " +
               QByteArray::number(bytes.size()) + "\nSHA256: " + sha256(bytes) + "\n\n";
    }

    struct Run
    {
        int exitCode = -1;
        QByteArray output;
        QByteArray lastLine;
    };

    Run setup(const QString &packages)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("APT_CONFIG"), m_config);
        env.insert(QStringLiteral("KELV_SETUP_PACKAGES"), packages);
        env.insert(QStringLiteral("KELV_SETUP_RETRY_DELAY"), QStringLiteral("0"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("bash"),
                      {TempProgramFolder::sourceFolder() + QStringLiteral("/scripts/setup.sh"),
                       QStringLiteral("run")});
        Run run;
        if (!process.waitForFinished(120000))
            return run;
        run.exitCode = process.exitCode();
        run.output = process.readAll();
        const QList<QByteArray> lines = run.output.trimmed().split('\n');
        run.lastLine = lines.isEmpty() ? QByteArray() : lines.last();
        return run;
    }

private slots:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("setup.sh installs as root (it would ask sudo for a password here)");
        if (QStandardPaths::findExecutable(QStringLiteral("apt-get")).isEmpty())
            QSKIP("no apt-get on this machine");
        QVERIFY(m_world.isValid());
        const QByteArray probe = probePackage();
        QVERIFY(!probe.isEmpty());
        LocalRepository good(path(QStringLiteral("good")), probe, false);
        LocalRepository broken(path(QStringLiteral("broken")),
                               "Package: kelv-setup-security-only\nVersion: 1\n"
                               "Architecture: amd64\nFilename: pool/none.deb\nSize: 1\n\n",
                               true);
        QVERIFY(good.ok() && broken.ok());
        QVERIFY(writeFile(path(QStringLiteral("etc/sources.list")),
                          (good.sourceLine() + broken.sourceLine()).toUtf8()));
        for (const char *folder : {"etc/sources.list.d", "lists/partial", "cache/archives/partial"})
            QVERIFY(QDir().mkpath(path(QLatin1String(folder))));
        QVERIFY(writeFile(path(QStringLiteral("status")), QByteArray()));
        // The install itself only notes what dpkg was given.
        QVERIFY(writeFile(path(QStringLiteral("dpkg")),
                          "#!/bin/sh\necho \"$@\" >> '" +
                              path(QStringLiteral("dpkg.log")).toUtf8() + "'\n"));
        QVERIFY(QFile::setPermissions(path(QStringLiteral("dpkg")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_config = path(QStringLiteral("apt.conf"));
        QVERIFY(writeFile(m_config, QStringLiteral(R"(Dir::Etc::SourceList "%1/etc/sources.list";
Dir::Etc::SourceParts "%1/etc/sources.list.d";
Dir::Etc::Preferences "%1/etc/preferences";
Dir::Etc::PreferencesParts "%1/etc/preferences.d";
Dir::State::Lists "%1/lists";
Dir::State::status "%1/status";
Dir::Cache "%1/cache";
Dir::Bin::dpkg "%1/dpkg";
APT::Architectures { "amd64"; "i386"; };
APT::Sandbox::User "root";
Debug::NoLocking "true";
)")
                                        .arg(m_world.path())
                                        .toUtf8()));
    }

    // Running kelv needs no test tool: no Wine or foreign architecture, no
    // cross compilers, sanitizers, compositor or the desktops' tools; the
    // package and test jobs add theirs to it.
    void eachJobInstallsWhatItNeeds()
    {
        auto list = [](const char *job) {
            QProcess process;
            process.start(QStringLiteral("bash"),
                          {TempProgramFolder::sourceFolder() + QStringLiteral("/scripts/setup.sh"),
                           QStringLiteral("--list"), QLatin1String(job)});
            process.waitForFinished(10000);
            return QString::fromUtf8(process.readAllStandardOutput())
                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        };
        const QStringList run = list("run");
        const QStringList package = list("package");
        const QStringList test = list("test");
        QVERIFY(run.contains(QStringLiteral("qt6-webengine-dev")));
        for (const QString &name : run) {
            QVERIFY2(!name.contains(QLatin1Char(':')), qPrintable(name)); // no foreign architecture
            for (const char *tool : {"wine", "mingw", "clang", "weston", "xdotool", "dbus", "kf5",
                                     "xfconf", "dconf", "ratbagd", "meson", "lintian"})
                QVERIFY2(!name.contains(QLatin1String(tool)), qPrintable(name));
        }
        for (const QString &name : run) {
            QVERIFY2(package.contains(name), qPrintable(name));
            QVERIFY2(test.contains(name), qPrintable(name));
        }
        QVERIFY(package.contains(QStringLiteral("lintian")));
        QVERIFY(test.contains(QStringLiteral("wine32:i386")));
        for (const QString &name : package)
            QVERIFY2(test.contains(name), qPrintable(name));
    }

    void anIndexTheNeededPackagesDoNotUseIsPassedOver()
    {
        const Run run = setup(QStringLiteral("kelv-setup-probe"));
        QVERIFY2(run.exitCode == 0, run.output.constData());
        // Tried a few times, then said which index failed, and went on.
        QCOMPARE(run.output.count("refreshing the package lists failed"), 2);
        QVERIFY2(run.output.contains("these package indexes failed to download"), run.output);
        QVERIFY2(run.output.contains("broken/dists/stable/main/binary-i386/Packages"), run.output);
        QVERIFY2(!run.output.contains("good/dists"), run.output);
        QVERIFY2(readFile(path(QStringLiteral("dpkg.log"))).contains("probe.deb"), run.output);
    }

    void aPackageFromTheFailedRepositoryStopsWithWhatToDo()
    {
        QFile::remove(path(QStringLiteral("dpkg.log")));
        const Run run = setup(QStringLiteral("kelv-setup-probe kelv-setup-security-only"));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.lastLine.startsWith("setup: the packages cannot be installed without the "
                                         "indexes that failed: run this again later"),
                 run.output.constData());
        // Nothing was installed: not even the package that could have been.
        QVERIFY(!QFile::exists(path(QStringLiteral("dpkg.log"))));
    }
};

QTEST_GUILESS_MAIN(TestSetup)
#include "tst_setup.moc"
