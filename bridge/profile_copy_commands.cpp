#include "bridge/profile_commands.h"
#include "bridge/profile_export.h"
#include "bridge/profile_xpath.h"
#include "common/xml_text.h"

#include <QDir>
#include <QLoggingCategory>

namespace kelv {

namespace {

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

// The document of the export file named by srcFilePath (the file the user
// chose: a full path, used as is). False when it cannot be read, is no export
// file or its XML does not parse.
bool readExportDocument(const Members &m, pugi::xml_document *doc)
{
    // An export file may come from anywhere: its size (readFile) and depth are checked
    // before pugixml builds its tree.
    QByteArray exported;
    return ProfileExport::readFile(memberText(m, QStringLiteral("srcFilePath")), &exported) &&
           loadXml(exported, doc) == XmlLoad::Parsed;
}

} // namespace

void ProfileCommands::modifyReplaceProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyReplaceProfile load xml file failed!");
    if (!hasMembers(m, {"srcFilePath", "desFilePath", "srcXpath", "desXpath"}))
        return;
    QString srcPath, desPath;
    if (!loadMember(m, "srcFilePath", &srcPath) || !loadMember(m, "desFilePath", &desPath))
        return;
    pugi::xml_document *des = store().document(desPath);
    if (!des) {
        answerFailure(cb, failed);
        return;
    }
    // The source is a document of its own even when both members name the
    // same file, so the node copied is the one the file held before the edit.
    pugi::xml_document ownSource;
    pugi::xml_document *src = nullptr;
    if (srcPath == desPath) {
        if (loadXml(utf8(store().text(srcPath)), &ownSource) == XmlLoad::Parsed)
            src = &ownSource;
    } else {
        src = store().document(srcPath);
    }
    if (!src) {
        answerFailure(cb, failed);
        return;
    }
    pugi::xpath_node source, target;
    if (!selectFirst(*src, memberText(m, QStringLiteral("srcXpath")), &source) ||
        !selectFirst(*des, memberText(m, QStringLiteral("desXpath")), &target)) {
        answerFailure(cb, failed);
        return;
    }
    pugi::xml_node d = target.node();
    pugi::xml_node parent = d.parent();
    if (d && parent) {
        // The copy goes in first, in D's place, and only then D goes: a source
        // node that cannot be copied there (none matched, an attribute, the
        // document itself) leaves the destination as it was.
        const pugi::xml_node copy =
            source.node() ? parent.insert_copy_before(source.node(), d) : pugi::xml_node();
        if (!copy) {
            qCInfo(lcProfiles) << "modifyReplaceProfile: no source node to copy";
            answerFailure(cb, failed);
            return;
        }
        parent.remove_child(d);
    }
    storeEdit(desPath, *des, cb, QStringLiteral("modifyReplaceProfile success"), failed);
}

void ProfileCommands::modifyReplaceProfileEx(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyReplaceProfile load xml file failed!");
    if (!hasMembers(m, {"srcFilePath", "desFilePath", "srcXpath", "desXpath"}))
        return;
    QString desPath;
    if (!loadMember(m, "desFilePath", &desPath))
        return;
    pugi::xml_document *des = store().document(desPath);
    if (!des) {
        answerFailure(cb, failed);
        return;
    }
    pugi::xml_document imported;
    if (!readExportDocument(m, &imported)) {
        answerFailure(cb, failed);
        return;
    }
    const pugi::xml_node source = imported.first_child();
    pugi::xpath_node target;
    if (!selectFirst(*des, memberText(m, QStringLiteral("desXpath")), &target)) {
        answerFailure(cb, failed);
        return;
    }
    if (pugi::xml_node d = target.node()) {
        while (pugi::xml_node child = d.first_child())
            d.remove_child(child);
        for (pugi::xml_node child = source.first_child(); child; child = child.next_sibling())
            d.append_copy(child);
    }
    storeEdit(desPath, *des, cb, QStringLiteral("modifyReplaceProfile success"), failed);
}

void ProfileCommands::resetProfile(const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMembers(m, {"srcFilePath", "desFilePath"}))
        return;
    QString srcPath, desPath;
    if (!loadMember(m, "srcFilePath", &srcPath) || !loadMember(m, "desFilePath", &desPath))
        return;
    // A source too large to read has no text to copy: the destination keeps
    // its own (no reply, like a source that cannot be read).
    if (store().isTooLarge(srcPath)) {
        qCInfo(lcProfiles) << "resetProfile: source larger than" << kMaxProfileBytes << "bytes";
        return;
    }
    store().store(desPath, store().text(srcPath));
    answerSuccess(cb, QStringLiteral("resetProfile success"));
}

void ProfileCommands::savexml(const Members &, const QueryCallbackPtr &cb)
{
    // Nothing loaded yet: no reply. A file that cannot be written answers
    // why, so the page can tell the user at once what to do (a folder that
    // may not be written keeps every edit from being saved, at quit too).
    if (store().saveModified()) {
        answerSuccess(cb, QStringLiteral("save xml success"));
    } else if (!store().isEmpty()) {
        qCWarning(lcProfiles) << "saving the modified profiles failed; kept" << store().modified();
        const QString folder = store().unwritableFolder();
        answerFailure(cb, folder.isEmpty() ? QStringLiteral("savexml failed")
                                           : QStringLiteral("savexml failed: read-only ") +
                                                 QDir::toNativeSeparators(folder));
    }
}

void ProfileCommands::saveXmlAs(const Members &m, const QueryCallbackPtr &cb)
{
    Target t;
    if (!openProfile(m, {"srcFilePath", "desFilePath", "xpath"}, "srcFilePath", Match::First, cb,
                     QStringLiteral("saveXmlAs load xml file failed!"), &t))
        return;
    // A match that is an attribute (or the document itself) copies nothing:
    // the export then holds only the declaration.
    pugi::xml_document exported;
    if (t.first.node())
        exported.append_copy(t.first.node());
    QByteArray text;
    if (!saveXmlDocument(exported, kMaxProfileBytes, &text)) {
        qCInfo(lcProfiles) << "saveXmlAs: export larger than" << kMaxProfileBytes << "bytes";
        answerFailure(cb, QStringLiteral("saveXmlAs load xml file failed!"));
        return;
    }

    // desFilePath is the file the user chose: a full path, used as is.
    const QString desPath = memberText(m, QStringLiteral("desFilePath"));
    if (!ProfileExport::writeFile(desPath, text)) {
        answerFailure(cb, QStringLiteral("saveXmlAs desFilePath is failed!"));
        return;
    }
    answerSuccess(cb, QStringLiteral("saveXmlAs success"));
}

// The exported node of an export file as XML text, attributes included
// (modifyReplaceProfileEx copies only its children): the page reads an
// exported mode's stored name and its macros from it.
void ProfileCommands::queryExportFile(const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("srcFilePath")))
        return;
    pugi::xml_document imported;
    if (!readExportDocument(m, &imported)) {
        answerFailure(cb, QStringLiteral("queryExportFile load file failed!"));
        return;
    }
    QByteArray answer;
    const pugi::xml_node exported = imported.first_child();
    if (exported && !printXmlNode(exported, kMaxProfileBytes, &answer)) {
        answerFailure(cb, QStringLiteral("queryExportFile load file failed!"));
        return;
    }
    answerSuccess(cb, QString::fromUtf8(answer));
}

} // namespace kelv
