#include "common/autostart.h"

#include "common/text_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace kelv {

namespace {

QString currentProgram(const QString &program)
{
    return program.isEmpty() ? QCoreApplication::applicationFilePath() : program;
}

#ifdef Q_OS_WIN
const QString kRunKey =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString kRunValue = QStringLiteral("kelv");
#endif

} // namespace

QString Autostart::execArgument(const QString &argument)
{
    // Reserved characters make quoting necessary; inside the quotes ", `, $
    // and \ take a backslash. A literal % is written %%. The whole value is
    // then a desktop entry string, whose own escape doubles every backslash.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument)
        needsQuotes = needsQuotes || reserved.contains(c);
    QString text;
    for (const QChar c : argument) {
        if (c == QLatin1Char('%')) {
            text += QStringLiteral("%%");
            continue;
        }
        if (needsQuotes && (c == QLatin1Char('"') || c == QLatin1Char('`') ||
                            c == QLatin1Char('$') || c == QLatin1Char('\\')))
            text += QLatin1Char('\\');
        text += c;
    }
    if (needsQuotes)
        text = QLatin1Char('"') + text + QLatin1Char('"');
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return text;
}

QString Autostart::entryText(const QString &program)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=kelv\n"
                          "Comment=Mouse configuration, starting in the tray\n"
                          "Exec=%1 -autostart\n"
                          "Icon=kelv\n"
                          "Terminal=false\n"
                          "Categories=Settings;HardwareSettings;\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(program));
}

#ifdef Q_OS_WIN

QString Autostart::entryPath()
{
    return kRunKey + QLatin1Char('\\') + kRunValue;
}

bool Autostart::isEnabled()
{
    QSettings run(kRunKey, QSettings::NativeFormat);
    return run.contains(kRunValue);
}

bool Autostart::setEnabled(bool enabled, QString *error, const QString &program)
{
    QSettings run(kRunKey, QSettings::NativeFormat);
    if (enabled)
        run.setValue(kRunValue, QLatin1Char('"') +
                                    QDir::toNativeSeparators(currentProgram(program)) +
                                    QStringLiteral("\" -autostart"));
    else
        run.remove(kRunValue);
    run.sync();
    const bool ok = run.status() == QSettings::NoError && isEnabled() == enabled;
    if (!ok && error)
        *error = QStringLiteral("the Run key could not be changed");
    return ok;
}

#else

QString Autostart::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/kelv.desktop");
}

bool Autostart::isEnabled()
{
    // Only a regular file: a named pipe in the entry's place would hold the
    // window (getSessionInfo, at every start of the page) until something
    // wrote to it.
    QString text;
    if (!readTextFile(entryPath(), &text))
        return false;
    // An entry the user switched off in the desktop's own start-up settings.
    return !text.contains(QLatin1String("\nHidden=true")) &&
           !text.contains(QLatin1String("\nX-GNOME-Autostart-enabled=false"));
}

bool Autostart::setEnabled(bool enabled, QString *error, const QString &program)
{
    const QString path = entryPath();
    if (!enabled) {
        if (!QFile::exists(path) || QFile::remove(path))
            return true;
        if (error)
            *error = QStringLiteral("cannot remove %1").arg(path);
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(entryText(currentProgram(program)).toUtf8()) < 0 || !file.flush() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

#endif

} // namespace kelv
