// scripts/install.sh into a temporary home: the program folder, a menu entry
// that passes desktop-file-validate, the icon in the theme's folders, the
// autostart entry the program writes, and an uninstall that removes exactly
// those.

#include "common/autostart.h"
#include "tests/testsupport/file_size_limit.h"
#include "tests/testsupport/pipe_writer.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace kelv;
using namespace kelv::test;

namespace {

QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.remove(QStringLiteral("XDG_DATA_HOME"));
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        return env;
    }

    // Runs the script; its output on failure.
    QString install(const QStringList &arguments, bool *ok)
    {
        QProcess script;
        script.setProcessEnvironment(environment());
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral("bash"), QStringList{TempProgramFolder::sourceFolder() +
                                                         QStringLiteral("/scripts/install.sh")} +
                                                 arguments);
        *ok = script.waitForFinished(120000) && script.exitStatus() == QProcess::NormalExit &&
              script.exitCode() == 0;
        return QString::fromLocal8Bit(script.readAll());
    }

    QString home(const QString &relative) const { return m_home.filePath(relative); }

private slots:
    void installsForTheUserAndUninstallsOnlyItsFiles()
    {
        // A folder with a space and a '$' in its name, as users' folders may have.
        QVERIFY(QDir().mkpath(home(QStringLiteral("build/my $program"))));
        const QString from = home(QStringLiteral("build/my $program"));
        QVERIFY(QProcess::execute(QStringLiteral("cp"),
                                  {QStringLiteral("-a"),
                                   qEnvironmentVariable("KELV_PROGRAM_DIR") + QStringLiteral("/."),
                                   from}) == 0);
        // Something of the user's own beside ours must survive the uninstall.
        QVERIFY(QDir().mkpath(home(QStringLiteral(".local/share/applications"))));
        QFile other(home(QStringLiteral(".local/share/applications/other.desktop")));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.close();

        bool ok = false;
        QString output = install({QStringLiteral("--from"), from}, &ok);
        QVERIFY2(ok, qPrintable(output));
        const QString program = home(QStringLiteral(".local/share/kelv/program"));
        QVERIFY(QFileInfo(program + QStringLiteral("/kelv")).isExecutable());
        QVERIFY(QFile::exists(program + QStringLiteral("/view/index.html")));
        QVERIFY(QFile::exists(program + QStringLiteral("/Resources/profiles/conf.xml")));
        QVERIFY(QFile::exists(
            home(QStringLiteral(".local/share/icons/hicolor/256x256/apps/kelv.png"))));
        QVERIFY(QFile::exists(
            home(QStringLiteral(".local/share/icons/hicolor/scalable/apps/kelv.svg"))));
        const QString entry = home(QStringLiteral(".local/share/applications/kelv.desktop"));
        QFile entryFile(entry);
        QVERIFY(entryFile.open(QIODevice::ReadOnly));
        const QString entryText = QString::fromUtf8(entryFile.readAll());
        // Quoted as the desktop entry rules say (the path has no character
        // that would need a backslash).
        QVERIFY2(
            entryText.contains(QStringLiteral("\nExec=\"") + program + QStringLiteral("/kelv\"\n")),
            qPrintable(entryText));
        QVERIFY(QProcess::execute(QStringLiteral("desktop-file-validate"), {entry}) == 0);

        // The program's own autostart entry for the installed program.
        QByteArray config = QFile::encodeName(home(QStringLiteral(".config")));
        qputenv("XDG_CONFIG_HOME", config);
        QString error;
        QVERIFY2(Autostart::setEnabled(true, &error, program + QStringLiteral("/kelv")),
                 qPrintable(error));
        QCOMPARE(Autostart::entryPath(), home(QStringLiteral(".config/autostart/kelv.desktop")));
        QVERIFY(Autostart::isEnabled());
        QVERIFY(QProcess::execute(QStringLiteral("desktop-file-validate"),
                                  {Autostart::entryPath()}) == 0);

        // A second install keeps the user's settings of the first.
        QFile conf(program + QStringLiteral("/Resources/profiles/conf.xml"));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        conf.write("<root><client language=\"zh\"/></root>");
        conf.close();
        output = install({QStringLiteral("--from"), from}, &ok);
        QVERIFY2(ok, qPrintable(output));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QCOMPARE(conf.readAll(), QByteArray("<root><client language=\"zh\"/></root>"));
        conf.close();
        QVERIFY(!QFile::exists(home(QStringLiteral(".local/share/kelv/program.new"))));

        output = install({QStringLiteral("--uninstall")}, &ok);
        QVERIFY2(ok, qPrintable(output));
        qunsetenv("XDG_CONFIG_HOME");
        // Left: the copied build folder, the user's own entry and the desktop's
        // own caches of the folders (refreshed, never removed), nothing of ours.
        const QStringList left = filesBelow(m_home.path());
        for (const QString &file : left)
            QVERIFY2(file.startsWith(QLatin1String("build/")) ||
                         file == QLatin1String(".local/share/applications/other.desktop") ||
                         file == QLatin1String(".local/share/applications/mimeinfo.cache") ||
                         file == QLatin1String(".local/share/icons/hicolor/icon-theme.cache"),
                     qPrintable(file));
        QVERIFY(left.contains(QStringLiteral(".local/share/applications/other.desktop")));
    }

    void refusesAFolderWithoutProgram()
    {
        QTemporaryDir empty;
        bool ok = true;
        const QString output = install({QStringLiteral("--from"), empty.path()}, &ok);
        QVERIFY(!ok);
        QVERIFY2(output.contains(QStringLiteral("no program in")), qPrintable(output));
        QVERIFY(!QFile::exists(home(QStringLiteral(".local/share/kelv/program"))));
    }

    void aNamedPipeInTheAutostartEntrysPlaceIsNotOpened()
    {
        // Its writer hands a valid entry to the first reader; none may open it.
        QTemporaryDir config;
        const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QVERIFY(QDir().mkpath(config.path() + QStringLiteral("/autostart")));
        bool enabled = true;
        {
            test::PipeWriter pipe(Autostart::entryPath(),
                                  "[Desktop Entry]\nType=Application\nExec=kelv -autostart\n");
            if (pipe.isValid())
                enabled = Autostart::isEnabled();
        }
        if (wasSet)
            qputenv("XDG_CONFIG_HOME", before);
        else
            qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(!enabled);
    }

    void autostartEntryThatTheDiskRefusesIsNotWritten()
    {
        // A full disk, as a file size limit of nothing makes it. The entry
        // waits in the write buffer until the end; it used to be put in place
        // empty, and "Start with the desktop" counted as switched on.
        QTemporaryDir config;
        const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        test::FileSizeLimit fullDisk(0);
        QVERIFY(fullDisk.isSet());
        QString error;
        const bool enabled = Autostart::setEnabled(true, &error, QStringLiteral("/opt/kelv/kelv"));
        fullDisk.lift();
        const bool written = QFile::exists(Autostart::entryPath());
        if (wasSet)
            qputenv("XDG_CONFIG_HOME", before);
        else
            qunsetenv("XDG_CONFIG_HOME");

        QVERIFY(!enabled);
        QVERIFY(!error.isEmpty());
        QVERIFY(!written);
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
