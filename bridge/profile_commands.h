#pragma once

// The profile document commands (registered by registerProfileCommands): the shared
// steps in profile_commands.cpp, the queries in profile_query_commands.cpp, the edits in
// profile_edit_commands.cpp, the copies between profiles and export files in
// profile_copy_commands.cpp.

#include "bridge/app_host.h"
#include "bridge/members.h"
#include "bridge/profile_store.h"
#include "bridge/query_callback.h"

#include <QString>
#include <initializer_list>
#include <pugixml.hpp>

namespace kelv {

class ProfileCommands
{
public:
    explicit ProfileCommands(SettingsHost &host) : m_host(host) {}

    void queryProfile(const Members &m, const QueryCallbackPtr &cb);
    void nodeCounterProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyProfileEx(const Members &m, const QueryCallbackPtr &cb);
    void modifyRemoveProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyAddProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyReplaceProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyReplaceProfileEx(const Members &m, const QueryCallbackPtr &cb);
    void resetProfile(const Members &m, const QueryCallbackPtr &cb);
    void queryHexByte(const Members &m, const QueryCallbackPtr &cb);
    void savexml(const Members &m, const QueryCallbackPtr &cb);
    void saveXmlAs(const Members &m, const QueryCallbackPtr &cb);
    void queryExportFile(const Members &m, const QueryCallbackPtr &cb);

private:
    ProfileStore &store() { return m_host.profiles(); }

    // Resolves a relative path member and loads it into the cache. False (the
    // command then stops without reply) when the file cannot be read, the
    // path would leave the program folder, names no ".xml" file or names the
    // settings file (conf.xml).
    bool loadMember(const Members &m, const char *member, QString *path);
    bool isSettingsFile(const QString &path) const;

    // What a command on one profile works on: the profile's path and parsed
    // document, and what the request's xpath selects in it (every match, or
    // the first one).
    enum class Match { All, First };
    struct Target
    {
        QString path;
        pugi::xml_document *doc = nullptr;
        pugi::xpath_node_set nodes; // Match::All, in document order
        pugi::xpath_node first;     // Match::First
    };

    // The start every command on one profile shares: the required members
    // are present, the profile named by pathMember is loaded, and "xpath"
    // selects in it. False ends the command: without reply for a missing
    // member or an unreadable or escaping path, answered failed when the
    // profile does not parse or the XPath does not compile.
    bool openProfile(const Members &m, std::initializer_list<const char *> required,
                     const char *pathMember, Match match, const QueryCallbackPtr &cb,
                     const QString &failed, Target *target);

    // The end of an edit: the edited document becomes the profile's text and
    // the command answers done; a document beyond the bounds (depth, nodes,
    // text) is refused, the profile keeps its text and the command answers
    // failed.
    void storeEdit(const QString &path, const pugi::xml_document &doc, const QueryCallbackPtr &cb,
                   const QString &done, const QString &failed);

    // Ends an edit that would pass a bound (why says which): the profile
    // keeps its text, what was already changed in its document is dropped,
    // and the command answers failed.
    void refuseEdit(const QString &path, const QueryCallbackPtr &cb, const QString &failed,
                    const char *why);

    SettingsHost &m_host;
};

} // namespace kelv
