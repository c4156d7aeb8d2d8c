// The page commands that serve the application rather than the mouse: client
// settings and the two global hot keys, the system's own mouse settings, hide
// or quit, the program monitor, the update check, the macro recorder,
// browser navigation, URLs and the file dialogs.

#include "bridge/app_host.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/json_reply.h"
#include "bridge/members.h"
#include "bridge/profile_store.h"
#include "common/app_paths.h"
#include "common/autostart.h"
#include "common/client_settings.h"
#include "common/dialogs.h"
#include "common/session.h"
#include "common/user_folders.h"
#include "platform/system_mouse.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>

namespace kelv {
namespace {

Q_LOGGING_CATEGORY(lcSettings, "kelv.settings")

const QString kShowConf = QStringLiteral("showConf");
const QString kTestTool = QStringLiteral("testTool");
// Settings a newer page keeps that a conf.xml written before it lacks: setConf
// adds them to the file, where any other unknown key is refused.
const QStringList kPageSettings = {QStringLiteral("simulatedMouse")};

// Double-click times by position: 970 ms down to 200 ms in steps of 70.
constexpr int kDoubleClickTable[12] = {970, 900, 830, 760, 690, 620, 550, 480, 410, 340, 270, 200};

// A hot key's registration state travels as one character whose code is the
// flag itself (U+0001 registered, U+0000 not), not as a digit.
QString stateCharacter(bool registered)
{
    return QString(QChar(registered ? 1 : 0));
}

void getConf(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    const ClientSettings::Map settings = host.clientSettings().values();
    if (settings.isEmpty()) {
        answerFailure(cb, QStringLiteral("cant find conf.xml"));
        return;
    }
    QJsonObject object; // keeps its members in ascending order of their names
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it) {
        QString value = it.value();
        if (it.key() == kShowConf || it.key() == kTestTool)
            value += QLatin1Char(',') + stateCharacter(host.hotKeyRegistered(it.key()));
        object.insert(it.key(), value);
    }
    answerSuccess(cb, jsonReply(QJsonArray{object}));
}

void setConf(AppHost &host, const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMembers(m, {"confKey", "confValue"}))
        return;
    const QString key = memberText(m, QStringLiteral("confKey"));
    const QString value = memberText(m, QStringLiteral("confValue"));
    ClientSettings &settings = host.clientSettings();

    // The hot key moves only with the stored setting: a key registered while
    // conf.xml keeps the old one would be lost again at the next start.
    const bool known = settings.contains(key);
    const ClientSettings::StoreResult result =
        settings.store(key, value,
                       kPageSettings.contains(key) ? ClientSettings::Create::IfMissing
                                                   : ClientSettings::Create::Never);
    // A key the settings do not hold is answered as such whatever became of
    // the file (rewritten as it was, in the save format, when it could be):
    // without a readable conf.xml no key is known at all.
    if (!known && result != ClientSettings::StoreResult::Stored) {
        answerFailure(cb, QStringLiteral("can't find conf name"));
        return;
    }
    switch (result) {
    case ClientSettings::StoreResult::NotParsed:
        qCWarning(lcSettings) << "conf.xml does not parse; setting" << loggedText(key)
                              << "not changed";
        answerFailure(cb, QStringLiteral("modify conf failed: conf.xml cannot be read"));
        return;
    case ClientSettings::StoreResult::NotWritten:
        qCWarning(lcSettings) << "could not write" << settings.path() << "; setting"
                              << loggedText(key) << "not changed";
        answerFailure(cb, QStringLiteral("modify conf failed: conf.xml could not be written"));
        return;
    case ClientSettings::StoreResult::TooLarge:
        qCWarning(lcSettings) << "setting" << loggedText(key) << "not changed: value of"
                              << value.size() << "characters makes conf.xml too large";
        answerFailure(cb, QStringLiteral("modify conf failed: the value is too long"));
        return;
    case ClientSettings::StoreResult::NotStorable:
        qCWarning(lcSettings) << "setting" << loggedText(key)
                              << "not changed: the value holds a NUL character";
        answerFailure(cb, QStringLiteral("modify conf failed: the value cannot be stored"));
        return;
    case ClientSettings::StoreResult::UnknownKey: // answered above
    case ClientSettings::StoreResult::Stored:
        break;
    }
    if (key == kShowConf || key == kTestTool)
        answerSuccess(cb, stateCharacter(host.registerHotKey(key, value)));
    else
        answerSuccess(cb, QStringLiteral("modify conf sucess"));
}

void closeApp(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    // Answered first: hiding where the desktop has no tray tells the user
    // once in a message box, and the page's answer must not wait for them.
    answerSuccess(cb, QStringLiteral("modify conf sucess"));
    const ClientSettings::Map settings = host.clientSettings().values();
    const auto it = settings.constFind(QStringLiteral("closeFunc"));
    if (it == settings.constEnd())
        return;
    if (it.value() == QLatin1String("closeapp"))
        host.closeApp();
    else
        host.hideWindow();
}

void confChanged(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    if (!host.hasProcessMonitor())
        return;
    // The monitor reads the bindings from the file, so they are saved first.
    host.profiles().saveModified();
    host.restartProcessMonitor();
    answerSuccess(cb, QStringLiteral("confChanged"));
}

// The mode indices whose bound programs run now, as a JSON array of their
// index texts, answered once the current monitor has looked (its first poll,
// about a polling period after it started; at once when it has looked
// already or has no binding). A page that starts afresh asks, to learn
// whether the program that chose the current mode still runs.
void getRunningBindings(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    if (!host.hasProcessMonitor()) {
        answerFailure(cb, QStringLiteral("getRunningBindings failed: no program monitor"));
        return;
    }
    host.whenProgramsLooked([cb](bool known, const QStringList &runningModes) {
        if (known)
            answerSuccess(cb, jsonReply(QJsonArray::fromStringList(runningModes)));
        else
            answerFailure(
                cb,
                QStringLiteral("getRunningBindings failed: the running programs cannot be read"));
    });
}

// Answered once the recorder runs, or with the reason it could not start.
void startRecord(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    host.startRecording(cb ? cb->origin() : nullptr, [cb](bool started, const QString &reason) {
        if (started)
            answerSuccess(cb, QStringLiteral("startRecord success!"));
        else
            answerFailure(
                cb, QStringLiteral("startRecord failed: ") +
                        (reason.isEmpty() ? QStringLiteral("keys cannot be recorded") : reason));
    });
}

void modifyMouseSpeed(AppHost &, const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("speednum")))
        return;
    if (platform::setPointerSpeed(memberInt(m, QStringLiteral("speednum"))))
        answerSuccess(cb, QStringLiteral("modifyMouseSpeed success"));
    else
        answerFailure(cb, QStringLiteral("modifyMouseSpeed failed"));
}

void modifyMouseScrollLines(AppHost &, const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("linenum")))
        return;
    if (platform::setWheelScrollLines(memberInt(m, QStringLiteral("linenum"))))
        answerSuccess(cb, QStringLiteral("modifyMouseScrollLines success"));
    else
        answerFailure(cb, QStringLiteral("modifyMouseScrollLines failed"));
}

void modifyMouseDoubleClick(AppHost &, const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("position")))
        return;
    const qint64 position = memberInt(m, QStringLiteral("position"));
    // A position outside the table fails without touching the system, and so
    // does an empty text: it names no position (it read as 0, 970 ms).
    const QVariant given = m.value(QStringLiteral("position"));
    const bool blank = given.typeId() == QMetaType::QString && given.toString().trimmed().isEmpty();
    const bool ok = !blank && position >= 0 && position < qint64(std::size(kDoubleClickTable)) &&
                    platform::setDoubleClickTime(kDoubleClickTable[position]);
    if (ok)
        answerSuccess(cb, QStringLiteral("modifyMouseDoubleClick success"));
    else
        answerFailure(cb, QStringLiteral("modifyMouseDoubleClick failed"));
}

// One value the desktop holds as the page gets it: the number, "default"
// (the desktop's own default, no number on the scale) or null (not known).
QJsonValue shownValue(long long value)
{
    if (value == platform::kDesktopDefault)
        return QStringLiteral("default");
    return value >= 0 ? QJsonValue(qint64(value)) : QJsonValue(QJsonValue::Null);
}

// What the desktop holds now, read back with its own tools (a value changed
// in the desktop's own settings included): {"pointerSpeed": 1..20,
// "scrollLines": lines, "doubleClick": milliseconds}. The tools run off the
// GUI thread, so a desktop store that is slow to answer freezes nothing.
void getSystemMouse(AppHost &, const Members &, const QueryCallbackPtr &cb)
{
    QThreadPool::globalInstance()->start([cb] {
        const platform::MouseSettingValues now = platform::currentMouseSettings();
        const QJsonObject values{
            {QStringLiteral("pointerSpeed"), shownValue(now.pointerSpeed)},
            {QStringLiteral("scrollLines"), shownValue(now.wheelScrollLines)},
            {QStringLiteral("doubleClick"), shownValue(now.doubleClickTime)},
        };
        answerSuccess(cb, QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact)));
    });
}

void loadurl(AppHost &host, const Members &m, const QueryCallbackPtr &)
{
    if (!hasMember(m, QStringLiteral("url")))
        return;
    // The url names a page of the program folder ("/view/index.html").
    host.loadUrl(programFolderUrl(applicationFolder(), memberText(m, QStringLiteral("url"))));
}

void goback(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    host.goBack();
    answerSuccess(cb, QStringLiteral("goback"));
}

void goforward(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    host.goForward();
    answerSuccess(cb, QStringLiteral("goforward"));
}

void openUrl(AppHost &host, const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("url")))
        return;
    host.openUrl(QUrl(memberText(m, QStringLiteral("url")), QUrl::TolerantMode));
    answerSuccess(cb, QStringLiteral("open successed"));
}

// Where the file dialogs start: the documents folder, or the home folder while
// there is none. A folder that does not exist would be taken apart as a
// folder and a file, and the open dialogs would offer "Documents" as the file
// to open.
QString dialogFolder()
{
    const QString documents = QDir::homePath() + QStringLiteral("/Documents");
    return QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

// The name the save dialog proposes for the page's fileName member (an
// exported mode's name): without what a file name cannot hold (folder
// separators, control characters and the characters Windows refuses), without
// leading dots (a hidden file) and trailing dots or blanks.
QString proposedFileName(const QString &name)
{
    static const QString refused = QStringLiteral("/\\:*?\"<>|");
    QString clean;
    for (const QChar c : name)
        clean +=
            (c.category() == QChar::Other_Control || refused.contains(c)) ? QLatin1Char('_') : c;
    clean = clean.trimmed();
    while (clean.startsWith(QLatin1Char('.')))
        clean.remove(0, 1);
    while (clean.endsWith(QLatin1Char('.')) || clean.endsWith(QLatin1Char(' ')))
        clean.chop(1);
    return clean;
}

// Where the save dialog starts: the dialogs' folder followed by "/" and the
// proposed name. Without the "/" the dialog would take the folder's own name
// for the file ("Documents.pfd").
QString saveDialogStart(const Members &m)
{
    return dialogFolder() + QLatin1Char('/') +
           proposedFileName(memberText(m, QStringLiteral("fileName")));
}

// The export file a name chosen in the save dialog leads to: a name typed
// without ".pfd" gets it here. The dialog asked about replacing only the name
// as typed, so a file that exists under the completed name is replaced only
// when the user says so; otherwise the answer is empty, as for a cancel.
QString completedExportPath(AppHost &host, const QString &chosen)
{
    const QString suffix = QStringLiteral(".pfd");
    if (chosen.isEmpty() || chosen.endsWith(suffix, Qt::CaseInsensitive))
        return chosen;
    const QString path = chosen + suffix;
    if (!QFileInfo::exists(path))
        return path;
    // The file dialog's own question, in the language of Qt's translations.
    const QString question = QCoreApplication::translate(
        "QFileDialog", "%1 already exists.\nDo you want to replace it?");
    const QMessageBox::StandardButton answer = Dialogs::current().message(
        host.dialogParent(), QMessageBox::Warning, QStringLiteral("SaveFileDialog"),
        question.arg(QFileInfo(path).fileName()), QMessageBox::Yes | QMessageBox::No);
    return answer == QMessageBox::Yes ? path : QString();
}

// fileName (optional): the name to propose.
void saveFileDialog(AppHost &host, const Members &m, const QueryCallbackPtr &cb)
{
    const QString path = completedExportPath(
        host,
        Dialogs::current().getSaveFileName(host.dialogParent(), QStringLiteral("SaveFileDialog"),
                                           saveDialogStart(m), QStringLiteral("pfd(*.pfd)")));
    if (!path.isEmpty())
        answerSuccess(cb, path);
}

void openFileDialog(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    const QString path =
        Dialogs::current().getOpenFileName(host.dialogParent(), QStringLiteral("OpenFileDialog"),
                                           dialogFolder(), QStringLiteral("pfd(*.pfd)"));
    if (!path.isEmpty())
        answerSuccess(cb, path);
}

// The filter for program files: "(*.exe)" on Windows; on Linux programs carry
// no suffix, so every file is listed ("(*)").
QString programFilter()
{
    return QStringLiteral("(*") + executableSuffix() + QStringLiteral(")");
}

void openFileDialogExe(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    const QString path = Dialogs::current().getOpenFileName(
        host.dialogParent(), QStringLiteral("OpenFileDialog"), dialogFolder(), programFilter());
    if (path.isEmpty())
        return;
    // The binding names the program itself: a link picked in the dialog is
    // followed to its target, the file a running process reports.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    answerSuccess(cb, QDir::toNativeSeparators(canonical.isEmpty() ? path : canonical));
}

// What the page needs to explain the desktop's limits: the session type (a
// Wayland session records only the program's own window and takes hot keys
// from the desktop portal), the desktop, which system mouse settings it lets
// the program change (by the page's names), whether the program starts with
// the desktop, and whether closing can hide the window in a tray.
void getSessionInfo(AppHost &host, const Members &, const QueryCallbackPtr &cb)
{
    const bool wayland = Session::isWayland();
    const platform::ChangeableMouseSettings mouse = platform::changeableMouseSettings();
    bool inside = false;
    const QString profile =
        host.profiles().resolve(QStringLiteral("view/xml/configuration.xml"), &inside);
    const QJsonObject info{
        {QStringLiteral("systemMouse"),
         QJsonObject{{QStringLiteral("pointerSpeed"), mouse.pointerSpeed},
                     {QStringLiteral("scrollLines"), mouse.wheelScrollLines},
                     {QStringLiteral("doubleClick"), mouse.doubleClickTime}}},
        {QStringLiteral("session"), Session::type()},
        {QStringLiteral("desktop"), Session::desktop()},
        {QStringLiteral("recordScope"),
         wayland ? QStringLiteral("window") : QStringLiteral("system")},
        {QStringLiteral("hotKeys"), wayland ? QStringLiteral("portal") : QStringLiteral("system")},
        {QStringLiteral("autostart"), Autostart::isEnabled()},
        // Without a notification area closing the window minimises it.
        {QStringLiteral("tray"), host.trayAvailable()},
        // The main window's page follows the bound programs for the program;
        // the popup's page leaves that to it.
        {QStringLiteral("mainPage"), host.isMainPage(cb ? cb->origin() : nullptr)},
        // Where the page's profile is kept, and whether kelv may write it
        // there: without, every change is lost at quit, and the page says so
        // from the start.
        {QStringLiteral("profileFolder"),
         QDir::toNativeSeparators(QFileInfo(profile).absolutePath())},
        {QStringLiteral("profileWritable"), ProfileStore::mayWrite(profile)},
        // The package's build: the page hides the simulated mouse while a real one is there.
        {QStringLiteral("packaged"), userFolders().packaged()},
    };
    answerSuccess(cb, QString::fromUtf8(QJsonDocument(info).toJson(QJsonDocument::Compact)));
}

// "Start with the desktop": enabled 1 writes the autostart entry, 0 removes
// it. Answers the new state ("1" or "0").
void setAutostart(AppHost &, const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("enabled")))
        return;
    // A JSON true or false means what it says (as a number, true would read 0).
    const QVariant flag = m.value(QStringLiteral("enabled"));
    const bool enabled = flag.typeId() == QMetaType::Bool
                             ? flag.toBool()
                             : memberInt(m, QStringLiteral("enabled")) != 0;
    QString error;
    if (!Autostart::setEnabled(enabled, &error)) {
        qCWarning(lcSettings) << "autostart:" << error;
        answerFailure(cb, QStringLiteral("setAutostart failed: ") + error);
        return;
    }
    answerSuccess(cb, Autostart::isEnabled() ? QStringLiteral("1") : QStringLiteral("0"));
}

} // namespace

void registerSettingsCommands(Dispatcher &dispatcher, AppHost &host)
{
    using Command = void (*)(AppHost &, const Members &, const QueryCallbackPtr &);
    const std::pair<const char *, Command> table[] = {
        {"getConf", &getConf},
        {"setConf", &setConf},
        {"closeApp", &closeApp},
        {"confChanged", &confChanged},
        {"getRunningBindings", &getRunningBindings},
        {"checkUpdate",
         [](AppHost &h, const Members &, const QueryCallbackPtr &cb) {
             h.checkForUpdates(true);
             answerSuccess(cb, QStringLiteral("checkUpdate success"));
         }},
        {"startRecord", &startRecord},
        {"stopRecord",
         [](AppHost &h, const Members &, const QueryCallbackPtr &cb) {
             h.stopRecording([cb] { answerSuccess(cb, QStringLiteral("stopRecord success")); });
         }},
        {"modifyMouseSpeed", &modifyMouseSpeed},
        {"modifyMouseScrollLines", &modifyMouseScrollLines},
        {"modifyMouseDoubleClick", &modifyMouseDoubleClick},
        {"getSystemMouse", &getSystemMouse},
        {"loadurl", &loadurl},
        {"goback", &goback},
        {"goforward", &goforward},
        {"openUrl", &openUrl},
        {"saveFileDialog", &saveFileDialog},
        {"openFileDialog", &openFileDialog},
        {"openFileDialogExe", &openFileDialogExe},
        {"getSessionInfo", &getSessionInfo},
        {"setAutostart", &setAutostart},
    };
    for (const auto &[name, command] : table) {
        AppHost *target = &host;
        dispatcher.add(QString::fromLatin1(name),
                       [target, command = command](const Members &m, const QueryCallbackPtr &cb) {
                           command(*target, m, cb);
                       });
    }
}

} // namespace kelv
