// The profile document commands: the page reads and edits the XML profiles
// under the program folder by XPath, on the in-memory profile text cache, and
// exports one node into a profile file and imports it again.

#include "bridge/profile_commands.h"

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_xpath.h"
#include "common/client_settings.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <memory>
#include <utility>

namespace kelv {

bool ProfileCommands::loadMember(const Members &m, const char *member, QString *path)
{
    bool inside = false;
    *path = store().resolve(memberText(m, QString::fromLatin1(member)), &inside);
    if (!inside) {
        qCInfo(lcProfiles) << member << "leaves the program folder:" << loggedText(*path);
        return false;
    }
    // Profiles are XML files: any other file of the folder (the page, the
    // program, its libraries) is none, and resetProfile followed by a save
    // would otherwise put a profile's text in its place.
    if (!path->endsWith(QLatin1String(".xml"), Qt::CaseInsensitive)) {
        qCInfo(lcProfiles) << member << "names no XML file:" << loggedText(*path);
        return false;
    }
    if (!store().contains(*path) && isSettingsFile(*path)) {
        qCInfo(lcProfiles) << member << "names the settings file, not a profile:" << *path;
        return false;
    }
    return store().load(*path);
}

bool ProfileCommands::isSettingsFile(const QString &path) const
{
    // conf.xml belongs to the client settings, which rewrite it from their own
    // text: a cached copy saved later would undo setConf's changes, and a
    // profile copied over it would take every setting with it.
    const QString settings = m_host.clientSettings().path();
    if (settings.isEmpty())
        return false;
    // Compared as file system entries: links followed, letter case as the
    // file system takes it.
    const QFileInfo file(path);
    return file.exists() && file == QFileInfo(settings);
}

bool ProfileCommands::openProfile(const Members &m, std::initializer_list<const char *> required,
                                  const char *pathMember, Match match, const QueryCallbackPtr &cb,
                                  const QString &failed, Target *target)
{
    if (!hasMembers(m, required) || !loadMember(m, pathMember, &target->path))
        return false;
    target->doc = store().document(target->path);
    const QString xpath = memberText(m, QStringLiteral("xpath"));
    const bool selected =
        target->doc && (match == Match::All ? selectAll(*target->doc, xpath, &target->nodes)
                                            : selectFirst(*target->doc, xpath, &target->first));
    if (!selected) {
        answerFailure(cb, failed);
        return false;
    }
    return true;
}

void ProfileCommands::storeEdit(const QString &path, const pugi::xml_document &doc,
                                const QueryCallbackPtr &cb, const QString &done,
                                const QString &failed)
{
    if (!store().storeDocument(path, doc)) {
        qCInfo(lcProfiles) << path
                           << "would hold no element or pass the bounds on depth, nodes or size;"
                              " edit refused";
        answerFailure(cb, failed);
        return;
    }
    answerSuccess(cb, done);
}

void ProfileCommands::refuseEdit(const QString &path, const QueryCallbackPtr &cb,
                                 const QString &failed, const char *why)
{
    qCInfo(lcProfiles) << path << "edit refused:" << why;
    store().discardDocument(path);
    answerFailure(cb, failed);
}

void registerProfileCommands(Dispatcher &dispatcher, SettingsHost &host)
{
    auto commands = std::make_shared<ProfileCommands>(host);
    using Method = void (ProfileCommands::*)(const Members &, const QueryCallbackPtr &);
    const std::pair<const char *, Method> table[] = {
        {"queryProfile", &ProfileCommands::queryProfile},
        {"nodeCounterProfile", &ProfileCommands::nodeCounterProfile},
        {"modifyProfile", &ProfileCommands::modifyProfile},
        {"modifyProfileEx", &ProfileCommands::modifyProfileEx},
        {"modifyRemoveProfile", &ProfileCommands::modifyRemoveProfile},
        {"modifyAddProfile", &ProfileCommands::modifyAddProfile},
        {"modifyReplaceProfile", &ProfileCommands::modifyReplaceProfile},
        {"modifyReplaceProfileEx", &ProfileCommands::modifyReplaceProfileEx},
        {"resetProfile", &ProfileCommands::resetProfile},
        {"queryHexByte", &ProfileCommands::queryHexByte},
        {"savexml", &ProfileCommands::savexml},
        {"saveXmlAs", &ProfileCommands::saveXmlAs},
        {"queryExportFile", &ProfileCommands::queryExportFile},
    };
    for (const auto &[name, method] : table) {
        dispatcher.add(QString::fromLatin1(name),
                       [commands, method = method](const Members &m, const QueryCallbackPtr &cb) {
                           ((*commands).*method)(m, cb);
                       });
    }
}

} // namespace kelv
