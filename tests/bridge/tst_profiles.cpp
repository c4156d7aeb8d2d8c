// The profile document commands on real files in a temporary program folder.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_export.h"
#include "bridge/profile_store.h"
#include "common/xml_text.h"
#include "tests/bridge/command_fixture.h"
#include "tests/testsupport/file_size_limit.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kelv;
using namespace kelv::test;

namespace {

const QByteArray kProfile =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<!-- factory profile -->\r\n"
    "<conf>\r\n"
    "  <modeSetting current=\"0\">\r\n"
    "    <modes>\r\n"
    "      <mode index=\"0\" name=\"Default\" bindingProcess=\"\"/>\r\n"
    "      <mode index=\"1\" name=\"Game\" bindingProcess=\"/usr/bin/game\">"
    "<key id=\"1\" code=\"0x41,%,0x00,%\"/><key id=\"2\" code=\"%,%,%,%,%\"/>"
    "</mode>\r\n"
    "    </modes>\r\n"
    "  </modeSetting>\r\n"
    "  <macros><macro id=\"1\">text</macro></macros>\r\n"
    "</conf>\r\n";

// The same document as the commands write it back.
const QString kProfileSaved =
    QStringLiteral("<?xml version=\"1.0\"?>\n"
                   "<conf>\n"
                   "\t<modeSetting current=\"0\">\n"
                   "\t\t<modes>\n"
                   "\t\t\t<mode index=\"0\" name=\"Default\" bindingProcess=\"\" />\n"
                   "\t\t\t<mode index=\"1\" name=\"Game\" bindingProcess=\"/usr/bin/game\">\n"
                   "\t\t\t\t<key id=\"1\" code=\"0x41,%,0x00,%\" />\n"
                   "\t\t\t\t<key id=\"2\" code=\"%,%,%,%,%\" />\n"
                   "\t\t\t</mode>\n"
                   "\t\t</modes>\n"
                   "\t</modeSetting>\n"
                   "\t<macros>\n"
                   "\t\t<macro id=\"1\">text</macro>\n"
                   "\t</macros>\n"
                   "</conf>\n");

const char *const kPath = "Resources/profiles/configuration.xml";

QByteArray toDisk(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace("\n", "\r\n");
    return bytes;
}

// A program folder with the profile, its host and the profile commands.
struct Setup
{
    TempProgramFolder folder{0};
    FakeAppHost host{folder.path()};
    Dispatcher dispatcher;

    Setup()
    {
        folder.write(QString::fromLatin1(kPath), kProfile);
        registerProfileCommands(dispatcher, host);
    }
    QSharedPointer<RecordingCallback> operator()(const QByteArray &json) const
    {
        return run(dispatcher, json);
    }
    QString full(const char *relative = kPath) const
    {
        return folder.path() + QLatin1Char('/') + QString::fromLatin1(relative);
    }
    QString cached(const char *relative = kPath) { return host.profiles().text(full(relative)); }
};

const QString kNoReply = QStringLiteral("(no reply)");

// Child side of interruptedSaveLeavesOldFile: edits the profile and saves it
// under a file size limit, so the kernel kills the process in the middle of
// writing the new content.
int interruptedSaveChild(const QString &folder)
{
    ProfileStore store(folder);
    const QString path = folder + QStringLiteral("/") + QString::fromLatin1(kPath);
    if (!store.load(path))
        return 2;
    QString big = store.text(path);
    big.replace(QStringLiteral("text"), QString(1 << 20, QLatin1Char('x')));
    store.store(path, big);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
    store.saveModified();
    return 3; // not reached: SIGXFSZ ends the process
}

// Child side of saveWhereOnlyTheFileMayBeWritten: as another user than root
// (root may write anything), edits the profile and saves it. Exit code 0 when
// the save went through, 1 when it failed and the store names the folder it
// may not write (what the page and the quit tell the user), 3 when it failed
// otherwise, 2 when the user could not change.
// With diskFull the new content is large and the file size limit refuses
// writes past 4 KiB, as a full disk does.
int unprivilegedSaveChild(const QString &folder, bool diskFull)
{
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 2;
    ProfileStore store(folder);
    const QString path = folder + QStringLiteral("/") + QString::fromLatin1(kPath);
    if (!store.load(path))
        return 2;
    const auto saved = [&] {
        if (store.saveModified())
            return 0;
        return store.unwritableFolder() == QFileInfo(path).absolutePath() &&
                       !ProfileStore::mayWrite(path)
                   ? 1
                   : 3;
    };
    if (!diskFull) {
        store.store(path, QStringLiteral("<conf saved=\"1\" />\n"));
        return saved();
    }
    store.store(path, QStringLiteral("<conf saved=\"2\" big=\"%1\" />\n")
                          .arg(QString(64 * 1024, QLatin1Char('y'))));
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 4096;
    std::signal(SIGXFSZ, SIG_IGN);
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 2;
    return saved();
}

} // namespace

class TestProfiles : public QObject
{
    Q_OBJECT

    GnomeMouseSettings m_gsettings;

private slots:
    void init();
    void queryReadsBomCrLfAndAnswersSaveFormat();
    void nodeCounterCountsKeptChildren();
    void modifyProfileSetsOnlyExistingAttributes();
    void modifyProfileSetsDoubleClickBeforeMemberCheck();
    void attributeNamesAndValuesHoldingANul();
    void secondEditSeesFirstAndDiskIsReadOnce();
    void saveDropsCommentsAddsDeclarationWritesCrLf();
    void savexmlWithEmptyCacheGetsNoReply();
    void saveWritesEveryFileItCanAndKeepsTheRestListed();
    void saveThatFailsWritingLeavesOldFileWhole();
    void interruptedSaveLeavesOldFile();
    void saveWhereOnlyTheFileMayBeWritten();
    void modifyAddProfileDropsEmptyItemsAndNamesAnonymous();
    void modifyAddProfileRefusesNamesThatWouldBreakTheFile();
    void modifyProfileExFillsFirstMatchEmptiesTheRest();
    void modifyProfileExWithNestedMatchesAndBrokenFragment();
    void modifyProfileExWithNestedMatchesInALargeDocument_data();
    void modifyProfileExWithNestedMatchesInALargeDocument();
    void modifyRemoveProfileRemovesNestedMatches();
    void editsThatLeaveNoElementAreRefused();
    void modifyReplaceProfileKeepsPlace();
    void modifyReplaceProfileWithinOneFile();
    void modifyReplaceProfileWithMissingNodes();
    void exportAndImportRoundTrip();
    void importRefusesBadExportFiles();
    void saveXmlAsFailures();
    void resetProfileCopiesTextWithoutParsing();
    void resetProfileWithMissingDestinationGetsNoReply();
    void missingProfileIsRestoredFromTheFactoryOne();
    void profilesTheUsersFolderLacksComeFromTheProgramFolder();
    void queryHexByteFillsFirstFourItems();
    void badXPathIsAnsweredWithFailureText_data();
    void badXPathIsAnsweredWithFailureText();
    void importWithBadDestinationXPath();
    void unparsableProfileAnswersLoadFailure();
    void missingFileOrMemberGetsNoReply();
    void escapingRelativePathIsRefused();
    void pathWithANulCharacterIsRefused();
    void settingsFileIsNoProfile();
    void onlyXmlFilesAreProfiles();
    void repliesMatchAFreshStartAfterEdits();
    void deepFragmentIsRefusedBeforeItIsBuilt();
    void editsStayWithinTheDepthBound();
    void editsStayWithinTheSizeBounds();
    void editsStayWithinTheNodeBound();
    void deepOrLargeProfilesAnswerTheLoadFailure();
    void deepOrLargeExportFilesAreRefused();
};

// Test bodies are hidden from moc, which cannot read raw strings in macros.
#ifndef Q_MOC_RUN

void TestProfiles::init()
{
    m_gsettings.reset();
}

void TestProfiles::queryReadsBomCrLfAndAnswersSaveFormat()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode"})")),
        success("<mode index=\"0\" name=\"Default\" bindingProcess=\"\" />\n"
                "<mode index=\"1\" name=\"Game\" bindingProcess=\"/usr/bin/game\">\n"
                "\t<key id=\"1\" code=\"0x41,%,0x00,%\" />\n"
                "\t<key id=\"2\" code=\"%,%,%,%,%\" />\n"
                "</mode>\n"));
    // Attribute matches contribute nothing; no match is the empty text.
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode/@index | //macro"})")),
        success("<macro id=\"1\">text</macro>\n"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//nothing"})")),
        success(""));
    // Queries do not mark the file modified; the cache holds the file's text.
    QVERIFY(s.host.profiles().modified().isEmpty());
    QVERIFY(
        s.cached().startsWith(QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!--")));
}

void TestProfiles::nodeCounterCountsKeptChildren()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='1']"})")),
        success("2"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macro"})")),
        success("1"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/conf"})")),
        success("2"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//none"})")),
        success("0"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode/@index"})")),
        success("0"));
}

void TestProfiles::modifyProfileSetsOnlyExistingAttributes()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode","attribute":"name;bindingProcess","attributeValue":"M;"})")),
        success("modifyProfile success!"));
    QVERIFY(
        s.cached().contains(QStringLiteral("<mode index=\"0\" name=\"M\" bindingProcess=\"\" />")));
    QVERIFY(
        s.cached().contains(QStringLiteral("<mode index=\"1\" name=\"M\" bindingProcess=\"\">")));
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QStringLiteral("970"));

    // An attribute the node does not have is not created, but the file is
    // still re-serialised and marked modified.
    Setup t;
    QCOMPARE(
        reply(t(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/conf","attribute":"x","attributeValue":"1"})")),
        success("modifyProfile success!"));
    QCOMPARE(t.cached(), kProfileSaved);
    QCOMPARE(t.host.profiles().modified(), QStringList{t.full()});

    // More names than values: the names without a value are left alone.
    QCOMPARE(
        reply(t(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']","attribute":"name;;index","attributeValue":"N"})")),
        success("modifyProfile success!"));
    QVERIFY(
        t.cached().contains(QStringLiteral("<mode index=\"0\" name=\"N\" bindingProcess=\"\" />")));

    // An empty value list is one empty value: the attribute is cleared.
    QCOMPARE(
        reply(t(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='1']","attribute":"bindingProcess","attributeValue":""})")),
        success("modifyProfile success!"));
    QVERIFY(t.cached().contains(
        QStringLiteral("<mode index=\"1\" name=\"Game\" bindingProcess=\"\">")));
}

void TestProfiles::modifyProfileSetsDoubleClickBeforeMemberCheck()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode"})")),
        kNoReply);
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QStringLiteral("970"));
    QVERIFY(s.host.profiles().isEmpty());
}

void TestProfiles::attributeNamesAndValuesHoldingANul()
{
    // pugixml keeps names and values as C strings: a NUL would cut them short.
    Setup s;
    // A name holding a NUL names no attribute: "name" keeps its value.
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']","attribute":"name\u0000x","attributeValue":"Z"})")),
        success("modifyProfile success!"));
    QCOMPARE(s.cached(), kProfileSaved);
    // A value holding one cannot be stored: the edit is refused.
    for (
        const char *json : {
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']","attribute":"name","attributeValue":"a\u0000b"})",
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros","attribute":"v","attributeValue":"a\u0000b","addNodeName":"m"})",
        })
        QCOMPARE(reply(s(json)), failure("modifyProfile load xml file failed!"));
    QCOMPARE(s.cached(), kProfileSaved);
}

void TestProfiles::secondEditSeesFirstAndDiskIsReadOnce()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']","attribute":"name","attributeValue":"First"})")),
        success("modifyProfile success!"));
    // Whatever happens on disk now, the cache is the truth for this path.
    s.folder.write(QString::fromLatin1(kPath), "<conf><other/></conf>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@name='First']","attribute":"id","attributeValue":"9","addNodeName":"key"})")),
        success("modifyAddProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']"})")),
        success("<mode index=\"0\" name=\"First\" bindingProcess=\"\">\n\t<key id=\"9\" "
                "/>\n</mode>\n"));
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full()});
}

void TestProfiles::saveDropsCommentsAddsDeclarationWritesCrLf()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyRemoveProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//nothing"})")),
        success("modifyRemoveProfile success"));
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)), kProfile); // not saved yet
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), success("save xml success"));
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)), toDisk(kProfileSaved));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // A save with nothing modified still answers and writes nothing.
    s.folder.write(QString::fromLatin1(kPath), "changed on disk");
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), success("save xml success"));
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)), QByteArray("changed on disk"));
}

void TestProfiles::savexmlWithEmptyCacheGetsNoReply()
{
    Setup s;
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), kNoReply);
    QVERIFY(!s.host.profiles().saveModified());
}

void TestProfiles::saveWritesEveryFileItCanAndKeepsTheRestListed()
{
    Setup s;
    s.folder.write(QStringLiteral("gone/b.xml"), "<b/>");
    s.folder.write(QStringLiteral("c.xml"), "<c/>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/","attribute":"a","attributeValue":"1"})")),
        success("modifyProfile success!"));
    QCOMPARE(
        reply(s(R"({"funcname":"modifyRemoveProfile","filePath":"gone/b.xml","xpath":"/b/x"})")),
        success("modifyRemoveProfile success"));
    QCOMPARE(reply(s(R"({"funcname":"modifyRemoveProfile","filePath":"c.xml","xpath":"/c/x"})")),
             success("modifyRemoveProfile success"));
    QVERIFY(QDir(s.folder.filePath(QStringLiteral("gone"))).removeRecursively());
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("cannot save .*gone/b.xml")));
    // A folder gone (not one that may not be written): the save failed, with
    // no more to say.
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), failure("savexml failed"));
    // The files before and after the one that cannot be written are
    // saved; only that one stays listed.
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)), toDisk(kProfileSaved));
    QCOMPARE(s.folder.read(QStringLiteral("c.xml")),
             QByteArray("<?xml version=\"1.0\"?>\r\n<c />\r\n"));
    QCOMPARE(s.host.profiles().modified(),
             QStringList{s.folder.filePath(QStringLiteral("gone/b.xml"))});
    // Once the folder is back, the next save writes it.
    s.folder.write(QStringLiteral("c.xml"), "changed on disk");
    QVERIFY(QDir().mkpath(s.folder.filePath(QStringLiteral("gone"))));
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), success("save xml success"));
    QCOMPARE(s.folder.read(QStringLiteral("gone/b.xml")),
             QByteArray("<?xml version=\"1.0\"?>\r\n<b />\r\n"));
    QCOMPARE(s.folder.read(QStringLiteral("c.xml")), QByteArray("changed on disk"));
    QVERIFY(s.host.profiles().modified().isEmpty());
}

void TestProfiles::saveThatFailsWritingLeavesOldFileWhole()
{
    // A full disk in the middle of the write: the file size limit makes
    // the write fail (EFBIG) once the new content passes 4 KiB.
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfileEx","filePath":"Resources/profiles/configuration.xml","xpath":"//macro","subTreeString":"<step/>"})")),
        success("modifyProfileEx success"));
    QString big = s.cached();
    big.replace(QStringLiteral("<step />"), QString(64 * 1024, QLatin1Char('y')));
    s.host.profiles().store(s.full(), big);

    test::FileSizeLimit fullDisk(4096);
    QVERIFY(fullDisk.isSet());
    const bool saved1 = s.host.profiles().saveModified();
    fullDisk.lift();

    QVERIFY(!saved1);
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)), kProfile);
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full()});
    // No temporary file is left beside it.
    QCOMPARE(QDir(s.folder.filePath(QStringLiteral("Resources/profiles"))).entryList(QDir::Files),
             QStringList{"configuration.xml"});
    QVERIFY(s.host.profiles().saveModified());
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)), toDisk(big));
}

void TestProfiles::interruptedSaveLeavesOldFile()
{
    // A process killed while it writes the new content (SIGXFSZ from the
    // file size limit): the profile on disk is still the old one, whole.
    TempProgramFolder folder(0);
    folder.write(QString::fromLatin1(kPath), kProfile);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--interrupted-save"), folder.path()});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QCOMPARE(folder.read(QString::fromLatin1(kPath)), kProfile);
    // And the next run reads it and saves over it as usual.
    ProfileStore store(folder.path());
    const QString path = folder.filePath(QString::fromLatin1(kPath));
    QVERIFY(store.load(path));
    store.store(path, QStringLiteral("<conf/>\n"));
    QVERIFY(store.saveModified());
    QCOMPARE(folder.read(QString::fromLatin1(kPath)), QByteArray("<conf/>\r\n"));
}

void TestProfiles::saveWhereOnlyTheFileMayBeWritten()
{
    // An install whose profile folder takes no new files from the user, while
    // the profile itself may be written: the save goes into the file.
    TempProgramFolder folder(0);
    const QString file = folder.write(QString::fromLatin1(kPath), kProfile);
    const QByteArray profiles = QFile::encodeName(QFileInfo(file).absolutePath());
    const QByteArray resources = QFile::encodeName(folder.filePath(QStringLiteral("Resources")));
    QCOMPARE(chmod(QFile::encodeName(folder.path()).constData(), 0755), 0);
    QCOMPARE(chmod(resources.constData(), 0755), 0);
    QCOMPARE(chmod(QFile::encodeName(file).constData(), 0666), 0);
    QCOMPARE(chmod(profiles.constData(), 0555), 0);
    const auto saveAsUser = [&](const QStringList &extra = {}) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{QStringLiteral("--unprivileged-save"), folder.path()} + extra);
        return child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit
                   ? child.exitCode()
                   : -1;
    };
    const int saved = saveAsUser();
    const QByteArray written = folder.read(QString::fromLatin1(kPath));
    // A full disk refuses the larger new content: the old one stays whole.
    const int full = saveAsUser({QStringLiteral("full")});
    const QByteArray afterFull = folder.read(QString::fromLatin1(kPath));
    // A profile that may not be written stays as it is.
    QCOMPARE(chmod(QFile::encodeName(file).constData(), 0444), 0);
    const int refused = saveAsUser();
    const QByteArray kept = folder.read(QString::fromLatin1(kPath));
    QCOMPARE(chmod(profiles.constData(), 0755), 0);

    QCOMPARE(saved, 0);
    QCOMPARE(written, QByteArray("<conf saved=\"1\" />\r\n"));
    // (The file may be written: the disk is to blame, not the folder.)
    QCOMPARE(full, 3);
    QCOMPARE(afterFull, written);
    QCOMPARE(refused, 1);
    QCOMPARE(kept, written);
    QCOMPARE(QDir(QString::fromLocal8Bit(profiles)).entryList(QDir::Files),
             QStringList{"configuration.xml"});
}

void TestProfiles::modifyAddProfileDropsEmptyItemsAndNamesAnonymous()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros","attribute":"a;;b","attributeValue":"1;2","addNodeName":"macro"})")),
        success("modifyAddProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros | //macros/@x","attribute":"c","attributeValue":";3"})")),
        success("modifyAddProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros"})")),
        success("<macros>\n\t<macro id=\"1\">text</macro>\n\t<macro a=\"1\" b=\"2\" "
                "/>\n\t<:anonymous c=\"3\" />\n</macros>\n"));
    // The anonymous element reads back: later commands still parse the file.
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros"})")),
        success("3"));
    // Empty lists add the element without attributes.
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros","attribute":"","attributeValue":"","addNodeName":"macro"})")),
        success("modifyAddProfile success"));
    QVERIFY(s.cached().contains(QStringLiteral("\t\t<:anonymous c=\"3\" />\n\t\t<macro />\n")));
}

void TestProfiles::modifyAddProfileRefusesNamesThatWouldBreakTheFile()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros","attribute":"a b","attributeValue":"1"})")),
        failure("modifyProfile load xml file failed!"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros","attribute":"a","attributeValue":"1","addNodeName":"1x"})")),
        failure("modifyProfile load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // Values are escaped, so any value is fine.
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros","attribute":"v","attributeValue":"<\"&'>","addNodeName":"m-1.x"})")),
        success("modifyAddProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//m-1.x/@v"})")),
        success(""));
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//macros"})")),
        success("2"));
}

void TestProfiles::modifyProfileExFillsFirstMatchEmptiesTheRest()
{
    Setup s;
    s.folder.write(QStringLiteral("three.xml"), "<r><s><old/></s><s>t</s><s><old/><old/></s></r>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfileEx","filePath":"three.xml","xpath":"//s","subTreeString":"<?xml version=\"1.0\"?><n a=\"1\"/><n a=\"2\">x</n>"})")),
        success("modifyProfileEx success"));
    QCOMPARE(s.cached("three.xml"),
             QStringLiteral("<?xml version=\"1.0\"?>\n<r>\n\t<s>\n\t\t<n a=\"1\" />\n\t\t<n "
                            "a=\"2\">x</n>\n\t</s>\n\t<s />\n\t<s />\n</r>\n"));
}

void TestProfiles::modifyProfileExWithNestedMatchesAndBrokenFragment()
{
    Setup s;
    s.folder.write(QStringLiteral("nested.xml"),
                   "<a id=\"1\"><a id=\"2\"><a id=\"3\"/></a><b/></a>");
    // Every a matches, the later ones inside the first: emptying the first
    // takes them with it.
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfileEx","filePath":"nested.xml","xpath":"//a","subTreeString":"<c><d/>"})")),
        success("modifyProfileEx success"));
    // The broken fragment keeps what the parser kept of it.
    QCOMPARE(
        s.cached("nested.xml"),
        QStringLiteral("<?xml version=\"1.0\"?>\n<a id=\"1\">\n\t<c>\n\t\t<d />\n\t</c>\n</a>\n"));
}

void TestProfiles::modifyProfileExWithNestedMatchesInALargeDocument_data()
{
    QTest::addColumn<QString>("xpath");
    QTest::addColumn<QString>("expected");
    QTest::newRow("every element") << QStringLiteral("//*")
                                   << QStringLiteral("<?xml version=\"1.0\"?>\n<conf>\n"
                                                     "\t<n />\n</conf>\n");
    QTest::newRow("modes and mode")
        << QStringLiteral("//modes | //mode")
        << QStringLiteral("<?xml version=\"1.0\"?>\n<conf>\n\t<modes>\n\t\t<n />\n"
                          "\t</modes>\n\t<tail />\n</conf>\n");
}

void TestProfiles::modifyProfileExWithNestedMatchesInALargeDocument()
{
    // Larger than one memory page of the XML library: emptying the first
    // match gives whole pages back, and nested matches live in them.
    QFETCH(QString, xpath);
    QFETCH(QString, expected);
    Setup s;
    QByteArray big = "<conf><modes>";
    for (int i = 0; i < 1500; ++i)
        big += "<mode index=\"" + QByteArray::number(i) +
               "\" name=\"mode\"><key id=\"1\" code=\"0x41\"/><mode/></mode>";
    big += "</modes><tail/></conf>";
    QVERIFY(big.size() > 64 * 1024);
    s.folder.write(QStringLiteral("big.xml"), big);
    QJsonObject request{{"funcname", "modifyProfileEx"},
                        {"filePath", "big.xml"},
                        {"xpath", xpath},
                        {"subTreeString", "<n/>"}};
    QCOMPARE(reply(s(QJsonDocument(request).toJson(QJsonDocument::Compact))),
             success("modifyProfileEx success"));
    QCOMPARE(s.cached("big.xml"), expected);
}

void TestProfiles::modifyRemoveProfileRemovesNestedMatches()
{
    Setup s;
    s.folder.write(QStringLiteral("nested.xml"), "<r><a><a><a/></a></a><b x=\"1\"/><a/></r>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyRemoveProfile","filePath":"nested.xml","xpath":"//a | //b/@x"})")),
        success("modifyRemoveProfile success"));
    QCOMPARE(s.cached("nested.xml"),
             QStringLiteral("<?xml version=\"1.0\"?>\n<r>\n\t<b x=\"1\" />\n</r>\n"));
}

void TestProfiles::editsThatLeaveNoElementAreRefused()
{
    // A profile without any element reads as no XML at all: every later
    // command on it would fail. Such an edit is refused and changes nothing.
    Setup s;
    s.folder.write(QStringLiteral("text.xml"), "<t>only text</t>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/conf"})")),
        success("2"));
    const QString before = s.cached();
    for (
        const char *json : {
            R"({"funcname":"modifyRemoveProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/conf"})",
            R"({"funcname":"modifyProfileEx","filePath":"Resources/profiles/configuration.xml","xpath":"/","subTreeString":""})",
            R"({"funcname":"modifyProfileEx","filePath":"Resources/profiles/configuration.xml","xpath":"/","subTreeString":"just text"})",
            R"x({"funcname":"modifyReplaceProfile","srcFilePath":"text.xml","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"/t/text()","desXpath":"/conf"})x",
        }) {
        const QString answer = reply(s(json));
        QVERIFY2(answer.startsWith(QLatin1String("failure 0: ")) &&
                     answer.endsWith(QLatin1String(" load xml file failed!")),
                 qPrintable(answer + QLatin1String(" for ") + QLatin1String(json)));
    }
    QVERIFY(s.host.profiles().modified().isEmpty());
    QCOMPARE(s.cached(), before);
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/conf"})")),
        success("2"));
}

void TestProfiles::modifyReplaceProfileKeepsPlace()
{
    Setup s;
    s.folder.write(QStringLiteral("src.xml"), "<s><m id=\"new\"><k/></m></s>");
    s.folder.write(QStringLiteral("des.xml"), "<d><m id=\"1\"/><m id=\"2\"/><m id=\"3\"/></d>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyReplaceProfile","srcFilePath":"src.xml","desFilePath":"des.xml","srcXpath":"//m","desXpath":"//m[@id='2']"})")),
        success("modifyReplaceProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyReplaceProfile","srcFilePath":"src.xml","desFilePath":"des.xml","srcXpath":"//m","desXpath":"//m[@id='1']"})")),
        success("modifyReplaceProfile success"));
    QCOMPARE(s.cached("des.xml"),
             QStringLiteral("<?xml version=\"1.0\"?>\n<d>\n\t<m id=\"new\">\n\t\t<k />\n\t</m>\n"
                            "\t<m id=\"new\">\n\t\t<k />\n\t</m>\n\t<m id=\"3\" />\n</d>\n"));
    // The source is neither changed nor marked.
    QCOMPARE(s.cached("src.xml"), QStringLiteral("<s><m id=\"new\"><k/></m></s>"));
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full("des.xml")});
}

void TestProfiles::modifyReplaceProfileWithinOneFile()
{
    // Copying a node over its own parent in the same file: the copy is
    // taken from the file as it was, not from the node being replaced.
    Setup s;
    s.folder.write(QStringLiteral("one.xml"), "<r><p><c id=\"1\"/></p><q/></r>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyReplaceProfile","srcFilePath":"one.xml","desFilePath":"one.xml","srcXpath":"//c","desXpath":"//p"})")),
        success("modifyReplaceProfile success"));
    QCOMPARE(s.cached("one.xml"),
             QStringLiteral("<?xml version=\"1.0\"?>\n<r>\n\t<c id=\"1\" />\n\t<q />\n</r>\n"));
}

void TestProfiles::modifyReplaceProfileWithMissingNodes()
{
    Setup s;
    s.folder.write(QStringLiteral("src.xml"), "<s a=\"1\"/>");
    s.folder.write(QStringLiteral("des.xml"), "<d><m/></d>");
    // No source node (or one that cannot be copied): the destination keeps
    // its node and is not marked modified.
    for (
        const char *json :
        {R"({"funcname":"modifyReplaceProfile","srcFilePath":"src.xml","desFilePath":"des.xml","srcXpath":"//none","desXpath":"//m"})",
         R"({"funcname":"modifyReplaceProfile","srcFilePath":"src.xml","desFilePath":"des.xml","srcXpath":"/s/@a","desXpath":"//m"})",
         R"({"funcname":"modifyReplaceProfile","srcFilePath":"src.xml","desFilePath":"des.xml","srcXpath":"/","desXpath":"//m"})"}) {
        QCOMPARE(reply(s(json)), failure("modifyReplaceProfile load xml file failed!"));
    }
    QCOMPARE(s.cached("des.xml"), QStringLiteral("<d><m/></d>"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // No destination node: nothing to replace, the file is re-serialised
    // like every edit whose XPath matches nothing.
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyReplaceProfile","srcFilePath":"src.xml","desFilePath":"des.xml","srcXpath":"/s","desXpath":"//none"})")),
        success("modifyReplaceProfile success"));
    QCOMPARE(s.cached("des.xml"), QStringLiteral("<?xml version=\"1.0\"?>\n<d>\n\t<m />\n</d>\n"));
}

void TestProfiles::exportAndImportRoundTrip()
{
    Setup s;
    const QString exportPath = s.folder.filePath(QStringLiteral("out/mode.pfd"));
    QDir().mkpath(s.folder.filePath(QStringLiteral("out")));
    QCOMPARE(
        reply(s(
            QStringLiteral(
                R"({"funcname":"saveXmlAs","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"%1","xpath":"//mode[@index='1']"})")
                .arg(exportPath)
                .toUtf8())),
        success("saveXmlAs success"));
    QVERIFY(s.host.profiles().modified().isEmpty());

    // The file: magic, byte count, Base64 of the serialised copy.
    QFile file(exportPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QByteArray xml = "<?xml version=\"1.0\"?>\n"
                           "<mode index=\"1\" name=\"Game\" bindingProcess=\"/usr/bin/game\">\n"
                           "\t<key id=\"1\" code=\"0x41,%,0x00,%\" />\n"
                           "\t<key id=\"2\" code=\"%,%,%,%,%\" />\n"
                           "</mode>\n";
    const QByteArray base64 = xml.toBase64();
    QCOMPARE(bytes.left(4), QByteArray("\x0A\x0B\x0C\x0D", 4));
    QCOMPARE(bytes.mid(4, 4), QByteArray("\x00\x00\x00", 3) + char(base64.size()));
    QCOMPARE(bytes.mid(8), base64);
    QVERIFY(base64.endsWith('='));

    // Read back whole, with the exported node's own attributes (its name).
    QCOMPARE(reply(s(QStringLiteral(R"({"funcname":"queryExportFile","srcFilePath":"%1"})")
                         .arg(exportPath)
                         .toUtf8())),
             success(QString::fromUtf8(xml.mid(xml.indexOf('\n') + 1))));
    QVERIFY(s.host.profiles().modified().isEmpty());

    // Import it into mode 0: its content becomes the exported mode's content.
    QCOMPARE(
        reply(s(
            QStringLiteral(
                R"({"funcname":"modifyReplaceProfileEx","srcFilePath":"%1","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"unused","desXpath":"//mode[@index='0']"})")
                .arg(exportPath)
                .toUtf8())),
        success("modifyReplaceProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']"})")),
        success("<mode index=\"0\" name=\"Default\" bindingProcess=\"\">\n"
                "\t<key id=\"1\" code=\"0x41,%,0x00,%\" />\n"
                "\t<key id=\"2\" code=\"%,%,%,%,%\" />\n"
                "</mode>\n"));
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full()});
}

void TestProfiles::importRefusesBadExportFiles()
{
    Setup s;
    const QByteArray good = ProfileExport::encode("<m><k/></m>");
    QByteArray badMagic = good;
    badMagic[3] = 0x0E;
    QByteArray notBase64 = good;
    notBase64[10] = '*';
    const QByteArray cases[] = {badMagic,  good.left(good.size() - 2),           good.left(3),
                                notBase64, ProfileExport::encode("no xml here"), QByteArray()};
    // What the import and the reading of the export file at path answer.
    const auto readers = [&s](const QString &path) {
        return reply(s(
                   QStringLiteral(
                       R"({"funcname":"modifyReplaceProfileEx","srcFilePath":"%1","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"","desXpath":"//macros"})")
                       .arg(path)
                       .toUtf8())) +
               QLatin1String(" | ") +
               reply(s(QStringLiteral(R"({"funcname":"queryExportFile","srcFilePath":"%1"})")
                           .arg(path)
                           .toUtf8()));
    };
    const QString refused = failure("modifyReplaceProfile load xml file failed!") +
                            QLatin1String(" | ") + failure("queryExportFile load file failed!");
    for (const QByteArray &bytes : cases)
        QCOMPARE(readers(s.folder.write(QStringLiteral("bad.pfd"), bytes)), refused);
    QCOMPARE(reply(s(R"({"funcname":"queryExportFile","srcFilePath":"/nonexistent/x.pfd"})")),
             failure("queryExportFile load file failed!"));
    QCOMPARE(reply(s(R"({"funcname":"queryExportFile"})")), kNoReply);
    // An export of an attribute holds no node: nothing to read.
    const QString empty = s.folder.write(QStringLiteral("empty.pfd"),
                                         ProfileExport::encode("<?xml version=\"1.0\"?>\n"));
    QCOMPARE(reply(s(QStringLiteral(R"({"funcname":"queryExportFile","srcFilePath":"%1"})")
                         .arg(empty)
                         .toUtf8())),
             failure("queryExportFile load file failed!"));
    // Neither a folder nor a named pipe (whose opening would wait for a
    // writer, and the window with it) is an export file.
    const QString fifo = s.folder.filePath(QStringLiteral("pipe.pfd"));
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {fifo, s.folder.path()})
        QCOMPARE(readers(path), refused);
    // A file that does not exist reads like a stream that ended at once.
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyReplaceProfileEx","srcFilePath":"/nonexistent/x.pfd","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"","desXpath":"//macros"})")),
        failure("modifyReplaceProfile load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // The good one imports.
    const QString path = s.folder.write(QStringLiteral("good.pfd"), good);
    QByteArray decoded;
    QVERIFY(ProfileExport::readFile(path, &decoded));
    QCOMPARE(decoded, QByteArray("<m><k/></m>"));
}

void TestProfiles::saveXmlAsFailures()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"saveXmlAs","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"/nonexistent-folder/x.pfd","xpath":"//mode"})")),
        failure("saveXmlAs desFilePath is failed!"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"saveXmlAs","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"/tmp/x.pfd","xpath":"//mode["})")),
        failure("saveXmlAs load xml file failed!"));
    s.folder.write(QStringLiteral("broken.xml"), "<a><b></a>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"saveXmlAs","srcFilePath":"broken.xml","desFilePath":"/tmp/x.pfd","xpath":"//a"})")),
        failure("saveXmlAs load xml file failed!"));
    // An attribute match exports only the declaration.
    const QString path = s.folder.filePath(QStringLiteral("attr.pfd"));
    QCOMPARE(
        reply(s(
            QStringLiteral(
                R"({"funcname":"saveXmlAs","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"%1","xpath":"//mode/@index"})")
                .arg(path)
                .toUtf8())),
        success("saveXmlAs success"));
    QByteArray xml;
    QVERIFY(ProfileExport::readFile(path, &xml));
    QCOMPARE(xml, QByteArray("<?xml version=\"1.0\"?>\n"));
}

void TestProfiles::resetProfileCopiesTextWithoutParsing()
{
    Setup s;
    s.folder.write(QStringLiteral("factory.xml"), "<!-- keep -->\r\n<conf><x/></conf>\r\n");
    QCOMPARE(
        reply(s(
            R"({"funcname":"resetProfile","srcFilePath":"factory.xml","desFilePath":"Resources/profiles/configuration.xml"})")),
        success("resetProfile success"));
    QCOMPARE(s.cached(), QStringLiteral("<!-- keep -->\n<conf><x/></conf>\n"));
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full()});
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/conf"})")),
        success("1"));
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), success("save xml success"));
    QCOMPARE(s.folder.read(QString::fromLatin1(kPath)),
             QByteArray("<!-- keep -->\r\n<conf><x/></conf>\r\n"));
}

void TestProfiles::missingProfileIsRestoredFromTheFactoryOne()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString factory = dir.filePath(QStringLiteral("factory.xml"));
    const QString profile = dir.filePath(QStringLiteral("profile.xml"));
    const auto write = [](const QString &path, const QByteArray &bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    const auto read = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    };
    // Without a factory profile nothing is made.
    QVERIFY(!ProfileStore::restoreMissing(profile, factory));
    QVERIFY(!QFileInfo::exists(profile));
    QVERIFY(write(factory, "<conf>\n<a/>\n</conf>\n"));
    QVERIFY(ProfileStore::restoreMissing(profile, factory));
    QCOMPARE(read(profile), QByteArray("<conf>\r\n<a/>\r\n</conf>\r\n"));
    // A profile that exists stays as it is, even one that does not parse.
    QVERIFY(write(profile, "<conf><broken"));
    QVERIFY(ProfileStore::restoreMissing(profile, factory));
    QCOMPARE(read(profile), QByteArray("<conf><broken"));
    // The restored file is an ordinary profile: a reset finds its destination.
    QVERIFY(QFile::remove(profile));
    QVERIFY(ProfileStore::restoreMissing(profile, factory));
    ProfileStore store(dir.path());
    QVERIFY(store.load(profile));
    QCOMPARE(store.text(profile), QStringLiteral("<conf>\n<a/>\n</conf>\n"));
}

// Where the program folder is shared, profiles live in the user's folder;
// one it does not hold yet (the factory profile) is read from the program
// folder, and a save writes the user's folder, making the folder it needs.
void TestProfiles::profilesTheUsersFolderLacksComeFromTheProgramFolder()
{
    TempProgramFolder program{0};
    QTemporaryDir user;
    program.write(QString::fromLatin1(kPath), "<conf><factory/></conf>");
    program.write(QStringLiteral("view/xml/configuration.xml"), "<conf><program/></conf>");
    const QString mine = user.filePath(QStringLiteral("view/xml/configuration.xml"));
    QVERIFY(QDir().mkpath(QFileInfo(mine).absolutePath()));
    QFile file(mine);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<conf><mine/></conf>");
    file.close();

    ProfileStore store(user.path(), program.path());
    bool inside = false;
    const QString factory = store.resolve(QString::fromLatin1(kPath), &inside);
    QVERIFY(inside);
    QCOMPARE(factory, user.filePath(QString::fromLatin1(kPath)));
    QVERIFY(store.load(factory));
    QCOMPARE(store.text(factory), QStringLiteral("<conf><factory/></conf>"));
    // The user's own file wins over the program folder's.
    QVERIFY(store.load(mine));
    QCOMPARE(store.text(mine), QStringLiteral("<conf><mine/></conf>"));

    store.store(factory, QStringLiteral("<conf><edited/></conf>"));
    QVERIFY(store.saveModified());
    QFile saved(factory);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("<conf><edited/></conf>"));
    QCOMPARE(program.read(QString::fromLatin1(kPath)), QByteArray("<conf><factory/></conf>"));

    // Without a defaults folder nothing is read from elsewhere.
    ProfileStore alone(user.path());
    QVERIFY(!alone.load(alone.resolve(QStringLiteral("Resources/profiles/other.xml"), nullptr)));
}

void TestProfiles::resetProfileWithMissingDestinationGetsNoReply()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"resetProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"missing.xml"})")),
        kNoReply);
    QCOMPARE(
        reply(s(
            R"({"funcname":"resetProfile","srcFilePath":"missing.xml","desFilePath":"Resources/profiles/configuration.xml"})")),
        kNoReply);
    QVERIFY(s.host.profiles().modified().isEmpty());
    QVERIFY(!s.host.profiles().contains(s.full("missing.xml")));
}

void TestProfiles::queryHexByteFillsFirstFourItems()
{
    Setup s;
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//key[@id='2']","args":"1,2,3,4,5"})")),
        success("1,2,3,4,%"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//key[@id='1']","args":"0x10,,0x20"})")),
        success("0x41,0x10,0x00,0x20"));
    // Fewer args than places: the rest stay "%".
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//key[@id='2']","args":"7"})")),
        success("7,%,%,%,%"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//mode","args":"1"})")),
        success(""));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//none","args":"1"})")),
        success(""));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//key[","args":"1"})")),
        failure("modifyProfile load xml file failed!"));
}

void TestProfiles::badXPathIsAnsweredWithFailureText_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("expected");
    const QString modify = QStringLiteral("modifyProfile load xml file failed!");
    QTest::newRow("queryProfile")
        << QByteArray(R"({"funcname":"queryProfile","filePath":"P","xpath":"//mode[@index="})")
        << QStringLiteral("queryProfile load xml file failed!");
    QTest::newRow("not a node set")
        << QByteArray(R"x({"funcname":"queryProfile","filePath":"P","xpath":"count(//mode)"})x")
        << QStringLiteral("queryProfile load xml file failed!");
    QTest::newRow("empty") << QByteArray(R"({"funcname":"queryProfile","filePath":"P","xpath":""})")
                           << QStringLiteral("queryProfile load xml file failed!");
    QTest::newRow("nodeCounter")
        << QByteArray(R"({"funcname":"nodeCounterProfile","filePath":"P","xpath":"///"})")
        << QStringLiteral("nodeCounterProfile load xml file failed!");
    QTest::newRow("modify")
        << QByteArray(
               R"({"funcname":"modifyProfile","filePath":"P","xpath":"//[","attribute":"a","attributeValue":"1"})")
        << modify;
    QTest::newRow("modifyEx")
        << QByteArray(
               R"({"funcname":"modifyProfileEx","filePath":"P","xpath":"bad(","subTreeString":"<a/>"})")
        << QStringLiteral("modifyProfileEx load xml file failed!");
    QTest::newRow("remove")
        << QByteArray(R"({"funcname":"modifyRemoveProfile","filePath":"P","xpath":"@@"})")
        << modify;
    QTest::newRow("add")
        << QByteArray(
               R"({"funcname":"modifyAddProfile","filePath":"P","xpath":"a[","attribute":"a","attributeValue":"1"})")
        << modify;
    QTest::newRow("replace src")
        << QByteArray(
               R"({"funcname":"modifyReplaceProfile","srcFilePath":"P","desFilePath":"P","srcXpath":"[","desXpath":"//mode"})")
        << QStringLiteral("modifyReplaceProfile load xml file failed!");
    QTest::newRow("replace des")
        << QByteArray(
               R"({"funcname":"modifyReplaceProfile","srcFilePath":"P","desFilePath":"P","srcXpath":"//mode","desXpath":"1+1"})")
        << QStringLiteral("modifyReplaceProfile load xml file failed!");
    QTest::newRow("saveXmlAs")
        << QByteArray(
               R"({"funcname":"saveXmlAs","srcFilePath":"P","desFilePath":"/tmp/never.pfd","xpath":"//mode[@x='1'"})")
        << QStringLiteral("saveXmlAs load xml file failed!");
}

void TestProfiles::badXPathIsAnsweredWithFailureText()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, expected);
    Setup s;
    request.replace("\"P\"", "\"Resources/profiles/configuration.xml\"");
    QCOMPARE(reply(s(request)), failure(expected));
    QVERIFY(s.host.profiles().modified().isEmpty());
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/never.pfd")));
}

void TestProfiles::importWithBadDestinationXPath()
{
    Setup s;
    const QString path =
        s.folder.write(QStringLiteral("good.pfd"), ProfileExport::encode("<m><k/></m>"));
    QCOMPARE(
        reply(s(
            QStringLiteral(
                R"({"funcname":"modifyReplaceProfileEx","srcFilePath":"%1","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"","desXpath":"//["})")
                .arg(path)
                .toUtf8())),
        failure("modifyReplaceProfile load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
}

void TestProfiles::unparsableProfileAnswersLoadFailure()
{
    Setup s;
    s.folder.write(QStringLiteral("broken.xml"), "<conf><mode></conf>");
    s.folder.write(QStringLiteral("empty.xml"), "<!-- only a comment -->");
    QCOMPARE(reply(s(R"({"funcname":"queryProfile","filePath":"broken.xml","xpath":"//mode"})")),
             failure("queryProfile load xml file failed!"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyProfile","filePath":"empty.xml","xpath":"//mode","attribute":"a","attributeValue":"1"})")),
        failure("modifyProfile load xml file failed!"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"modifyReplaceProfile","srcFilePath":"broken.xml","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"//mode","desXpath":"//mode"})")),
        failure("modifyReplaceProfile load xml file failed!"));
    // The cache keeps the text as it was; nothing is marked.
    QCOMPARE(s.cached("broken.xml"), QStringLiteral("<conf><mode></conf>"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // resetProfile does not parse: it can repair the broken file.
    QCOMPARE(
        reply(s(
            R"({"funcname":"resetProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"broken.xml"})")),
        success("resetProfile success"));
    QCOMPARE(
        reply(s(R"({"funcname":"nodeCounterProfile","filePath":"broken.xml","xpath":"//modes"})")),
        success("2"));
}

void TestProfiles::missingFileOrMemberGetsNoReply()
{
    Setup s;
    const char *requests[] = {
        R"({"funcname":"queryProfile","filePath":"missing.xml","xpath":"//a"})",
        R"({"funcname":"queryProfile","filePath":"Resources/profiles"})",
        R"({"funcname":"queryProfile","filePath":"Resources/profiles","xpath":"//a"})",
        R"({"funcname":"nodeCounterProfile","xpath":"//a"})",
        R"({"funcname":"modifyProfileEx","filePath":"Resources/profiles/configuration.xml","xpath":"//a"})",
        R"({"funcname":"modifyRemoveProfile","filePath":"missing.xml","xpath":"//a"})",
        R"({"funcname":"modifyAddProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//a","attribute":"a"})",
        R"({"funcname":"modifyReplaceProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"missing.xml","srcXpath":"/","desXpath":"/"})",
        R"({"funcname":"modifyReplaceProfileEx","srcFilePath":"/x.pfd","desFilePath":"missing.xml","srcXpath":"/","desXpath":"/"})",
        R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//a"})",
        R"({"funcname":"saveXmlAs","srcFilePath":"missing.xml","desFilePath":"/tmp/never.pfd","xpath":"//a"})",
    };
    for (const char *json : requests)
        QVERIFY2(!s(json)->answered(), json);
    QVERIFY(s.host.profiles().modified().isEmpty());
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/never.pfd")));
}

void TestProfiles::escapingRelativePathIsRefused()
{
    Setup s;
    // A profile beside the program folder, reachable with "..".
    const QString outsideName =
        QStringLiteral("outside-%1.xml").arg(QCoreApplication::applicationPid());
    const QString outside = QDir::cleanPath(s.folder.path() + QStringLiteral("/../") + outsideName);
    {
        QFile file(outside);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<secret a=\"1\"/>");
    }
    const QByteArray name = outsideName.toUtf8();
    const QByteArray requests[] = {
        R"({"funcname":"queryProfile","filePath":"../)" + name + R"(","xpath":"/"})",
        R"({"funcname":"modifyProfile","filePath":"Resources/../../)" + name +
            R"(","xpath":"/secret","attribute":"a","attributeValue":"2"})",
        R"({"funcname":"resetProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"../)" +
            name + R"("})",
        R"({"funcname":"modifyReplaceProfile","srcFilePath":"../)" + name +
            R"(","desFilePath":"Resources/profiles/configuration.xml","srcXpath":"/secret","desXpath":"//macros"})",
        R"({"funcname":"saveXmlAs","srcFilePath":"../)" + name +
            R"(","desFilePath":"/tmp/never.pfd","xpath":"/secret"})",
        R"({"funcname":"queryProfile","filePath":"..","xpath":"/"})",
        R"({"funcname":"queryProfile","filePath":"","xpath":"/"})",
    };
    for (const QByteArray &json : requests)
        QVERIFY2(!s(json)->answered(), json.constData());
    QVERIFY(!s.host.profiles().contains(outside));
    QVERIFY(s.host.profiles().modified().isEmpty());
    QFile file(outside);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("<secret a=\"1\"/>"));
    file.remove();

    // Paths that only wander inside the folder are fine.
    s.folder.write(QStringLiteral("view/index.html"), "<html/>");
    QCOMPARE(
        reply(s(
            R"({"funcname":"nodeCounterProfile","filePath":"/view/../Resources/profiles/configuration.xml","xpath":"/conf"})")),
        success("2"));
}

void TestProfiles::pathWithANulCharacterIsRefused()
{
    // The system ends a name at NUL: "configuration.xml<NUL>x" would be the
    // same file under a second cache entry, whose later save would undo the
    // edits made through the first.
    Setup s;
    const QString withNul = QString::fromLatin1(kPath) + QChar(0) + QStringLiteral("x");
    const QString exportFile = s.folder.path() + QStringLiteral("/export.pfd");
    auto request = [&](QJsonObject object) {
        return s(QJsonDocument(object).toJson(QJsonDocument::Compact));
    };
    QVERIFY(!request({{"funcname", "queryProfile"}, {"filePath", withNul}, {"xpath", "/conf"}})
                 ->answered());
    QVERIFY(!request({{"funcname", "modifyProfile"},
                      {"filePath", withNul},
                      {"xpath", "//macro"},
                      {"attribute", "id"},
                      {"attributeValue", "9"}})
                 ->answered());
    QVERIFY(!request({{"funcname", "resetProfile"},
                      {"srcFilePath", QString::fromLatin1(kPath)},
                      {"desFilePath", withNul}})
                 ->answered());
    QCOMPARE(s.host.profiles().modified(), QStringList());
    QVERIFY(!s.host.profiles().contains(s.full() + QChar(0) + QStringLiteral("x")));

    // Chosen export and import files with a NUL fail with the commands' texts.
    QCOMPARE(reply(request({{"funcname", "saveXmlAs"},
                            {"srcFilePath", QString::fromLatin1(kPath)},
                            {"desFilePath", exportFile + QChar(0) + QStringLiteral(".bak")},
                            {"xpath", "//macros"}})),
             failure("saveXmlAs desFilePath is failed!"));
    QVERIFY(!QFile::exists(exportFile));
    QCOMPARE(reply(request({{"funcname", "saveXmlAs"},
                            {"srcFilePath", QString::fromLatin1(kPath)},
                            {"desFilePath", exportFile},
                            {"xpath", "//macros"}})),
             success("saveXmlAs success"));
    QCOMPARE(reply(request({{"funcname", "modifyReplaceProfileEx"},
                            {"srcFilePath", exportFile + QChar(0)},
                            {"desFilePath", QString::fromLatin1(kPath)},
                            {"srcXpath", "/"},
                            {"desXpath", "//macros"}})),
             failure("modifyReplaceProfile load xml file failed!"));
}

void TestProfiles::settingsFileIsNoProfile()
{
    // conf.xml is written by the settings commands from their own text: a
    // profile command on it would keep a second copy that a later save
    // writes back over setConf's changes, or put a profile in its place.
    Setup s;
    const QByteArray conf = "<root><client language=\"en\"/></root>";
    s.folder.write(QStringLiteral("Resources/profiles/conf.xml"), conf);
    s.host.settings.load(s.full("Resources/profiles/conf.xml"));
    QVERIFY(QFile::link(s.full("Resources/profiles/conf.xml"), s.full("link.xml")));
    for (
        const char *json : {
            R"({"funcname":"modifyProfile","filePath":"link.xml","xpath":"/root/client","attribute":"language","attributeValue":"de-DE"})",
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/conf.xml","xpath":"/"})",
            R"({"funcname":"modifyProfile","filePath":"Resources/profiles/./conf.xml","xpath":"/root/client","attribute":"language","attributeValue":"de-DE"})",
            R"({"funcname":"resetProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"Resources//profiles/conf.xml"})",
            R"({"funcname":"modifyReplaceProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"Resources/profiles/conf.xml","srcXpath":"/conf","desXpath":"/root"})",
        })
        QCOMPARE(reply(s(json)), kNoReply);
    QVERIFY(s.host.profiles().modified().isEmpty());
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), success("save xml success"));
    QCOMPARE(s.folder.read(QStringLiteral("Resources/profiles/conf.xml")), conf);
}

void TestProfiles::onlyXmlFilesAreProfiles()
{
    // The page and the program lie in the same folder as the profiles: a
    // resetProfile onto one of them and a save would replace it by a profile.
    Setup s;
    const QByteArray page = "<!doctype html><p>page</p>";
    s.folder.write(QStringLiteral("view/index.html"), page);
    s.folder.write(QStringLiteral("kelv"), "program");
    for (
        const char *json : {
            R"({"funcname":"resetProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"view/index.html"})",
            R"({"funcname":"resetProfile","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":"kelv"})",
            R"({"funcname":"queryProfile","filePath":"view/index.html","xpath":"/"})",
        })
        QCOMPARE(reply(s(json)), kNoReply);
    QCOMPARE(reply(s(R"({"funcname":"savexml"})")), success("save xml success"));
    QCOMPARE(s.folder.read(QStringLiteral("view/index.html")), page);
    QCOMPARE(s.folder.read(QStringLiteral("kelv")), QByteArray("program"));
    // The suffix in any letter case names an XML file.
    s.folder.write(QStringLiteral("UPPER.XML"), "<u/>");
    QCOMPARE(reply(s(R"({"funcname":"nodeCounterProfile","filePath":"UPPER.XML","xpath":"/"})")),
             success("1"));
}

void TestProfiles::repliesMatchAFreshStartAfterEdits()
{
    // The commands keep the parsed document between requests; after any
    // edit every reply must still be what a program that just read the
    // saved files would give, also for the shapes most likely to differ
    // (mixed content, control characters in values, a nameless element).
    const QByteArray start = "<r><t>one<b/>two</t><v a=\"x\"/></r>";
    const QByteArray edits[] = {
        R"({"funcname":"modifyProfile","filePath":"m.xml","xpath":"//v","attribute":"a","attributeValue":"line1\nline2\ttab"})",
        R"({"funcname":"modifyAddProfile","filePath":"m.xml","xpath":"//t","attribute":"k","attributeValue":"1"})",
        R"({"funcname":"modifyProfileEx","filePath":"m.xml","xpath":"//v","subTreeString":"<w>  padded  </w>mixed<z/>"})",
    };
    const QByteArray queries[] = {
        R"({"funcname":"queryProfile","filePath":"m.xml","xpath":"/"})",
        R"({"funcname":"nodeCounterProfile","filePath":"m.xml","xpath":"//t"})",
        R"({"funcname":"queryProfile","filePath":"m.xml","xpath":"//v/@a"})",
        R"({"funcname":"queryHexByte","filePath":"m.xml","xpath":"//v","args":"1"})",
        // pugixml writes a nameless element as ":anonymous", which reads back
        // as that name.
        R"({"funcname":"queryProfile","filePath":"m.xml","xpath":"//*[name()=':anonymous']"})",
    };
    Setup s;
    s.folder.write(QStringLiteral("m.xml"), start);
    for (const QByteArray &edit : edits) {
        QVERIFY(s(edit)->ok());
        QVERIFY(s(R"({"funcname":"savexml"})")->ok());
        for (const QByteArray &query : queries) {
            Setup fresh;
            fresh.folder.write(QStringLiteral("m.xml"), s.folder.read(QStringLiteral("m.xml")));
            const auto a = s(query);
            const auto b = fresh(query);
            QCOMPARE(a->ok(), b->ok());
            QCOMPARE(a->text(), b->text());
        }
    }
    // Edits in a row, then a save, give the same file as edits each
    // followed by a restart.
    Setup chain;
    Setup restarted;
    chain.folder.write(QStringLiteral("m.xml"), start);
    restarted.folder.write(QStringLiteral("m.xml"), start);
    for (const QByteArray &edit : edits) {
        QVERIFY(chain(edit)->ok());
        Setup step;
        step.folder.write(QStringLiteral("m.xml"), restarted.folder.read(QStringLiteral("m.xml")));
        QVERIFY(step(edit)->ok());
        QVERIFY(step(R"({"funcname":"savexml"})")->ok());
        restarted.folder.write(QStringLiteral("m.xml"), step.folder.read(QStringLiteral("m.xml")));
    }
    QVERIFY(chain(R"({"funcname":"savexml"})")->ok());
    QCOMPARE(chain.folder.read(QStringLiteral("m.xml")),
             restarted.folder.read(QStringLiteral("m.xml")));
}

namespace {

QByteArray nestedXml(int levels, const QByteArray &inside = QByteArray())
{
    return QByteArray("<a>").repeated(levels) + inside + QByteArray("</a>").repeated(levels);
}

QByteArray request(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray modifyProfileEx(const QString &file, const QString &xpath, const QByteArray &fragment)
{
    return request({{"funcname", "modifyProfileEx"},
                    {"filePath", file},
                    {"xpath", xpath},
                    {"subTreeString", QString::fromUtf8(fragment)}});
}

} // namespace

void TestProfiles::deepFragmentIsRefusedBeforeItIsBuilt()
{
    // The page request that overflowed the stack: 200,000 nested elements
    // (pugixml frees a tree one call per level). Refused with the command's
    // failure text, open or closed; the profile keeps its text, unmarked.
    Setup s;
    s.folder.write(QStringLiteral("d.xml"), "<d><old/></d>");
    for (const QByteArray &fragment :
         {QByteArray("<a>").repeated(200000), nestedXml(200000), nestedXml(60000)}) {
        QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("d.xml"), QStringLiteral("/d"), fragment))),
                 failure("modifyProfileEx load xml file failed!"));
    }
    QCOMPARE(s.cached("d.xml"), QStringLiteral("<d><old/></d>"));
    QVERIFY(s.host.profiles().modified().isEmpty());

    // /d is level 1: a fragment nesting 255 levels fills the profile to the
    // bound, one more level would leave a profile nothing could read again.
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("d.xml"), QStringLiteral("/d"),
                                     nestedXml(kMaxXmlDepth)))),
             failure("modifyProfileEx load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("d.xml"), QStringLiteral("/d"),
                                     nestedXml(kMaxXmlDepth - 1)))),
             success("modifyProfileEx success"));
    QCOMPARE(reply(s(R"({"funcname":"nodeCounterProfile","filePath":"d.xml","xpath":"/d/a"})")),
             success("1"));
    const QByteArray stored = s.cached("d.xml").toUtf8();
    QCOMPARE(xmlShape(stored.constData(), stored.size()).depth, kMaxXmlDepth);
}

void TestProfiles::editsStayWithinTheDepthBound()
{
    Setup s;
    // A profile at the bound: its deepest element is at level 256.
    s.folder.write(QStringLiteral("full.xml"), "<r>" + nestedXml(kMaxXmlDepth - 1) + "<x/></r>");
    const QString deepest = QStringLiteral("/r") + QStringLiteral("/a").repeated(kMaxXmlDepth - 1);
    // No element below the deepest one, by any command.
    QCOMPARE(reply(s(request({{"funcname", "modifyAddProfile"},
                              {"filePath", "full.xml"},
                              {"xpath", "//a"},
                              {"attribute", "k"},
                              {"attributeValue", "v"},
                              {"addNodeName", "n"}}))),
             failure("modifyProfile load xml file failed!"));
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("full.xml"), deepest, "<n/>"))),
             failure("modifyProfileEx load xml file failed!"));
    QCOMPARE(reply(s(request({{"funcname", "modifyReplaceProfile"},
                              {"srcFilePath", "full.xml"},
                              {"desFilePath", "full.xml"},
                              {"srcXpath", "/r/a"},
                              {"desXpath", deepest}}))),
             failure("modifyReplaceProfile load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // /r/a spans 255 levels: in place of /r/x (level 2) it fits exactly.
    QCOMPARE(reply(s(request({{"funcname", "modifyReplaceProfile"},
                              {"srcFilePath", "full.xml"},
                              {"desFilePath", "full.xml"},
                              {"srcXpath", "/r/a"},
                              {"desXpath", "/r/x"}}))),
             success("modifyReplaceProfile success"));
    QCOMPARE(s.cached("full.xml").count(QStringLiteral("<a")), 2 * (kMaxXmlDepth - 1));
    // One level above the deepest elements, a new element still fits.
    QCOMPARE(reply(s(request({{"funcname", "modifyAddProfile"},
                              {"filePath", "full.xml"},
                              {"xpath", deepest.chopped(2)},
                              {"attribute", "k"},
                              {"attributeValue", "v"},
                              {"addNodeName", "n"}}))),
             success("modifyAddProfile success"));
    QCOMPARE(reply(s(request({{"funcname", "nodeCounterProfile"},
                              {"filePath", "full.xml"},
                              {"xpath", deepest.chopped(2)}}))),
             success("2"));
}

void TestProfiles::editsStayWithinTheSizeBounds()
{
    Setup s;
    QByteArray many = "<r>";
    for (int i = 0; i < 8; ++i)
        many += "<m v=\"\"/>";
    s.folder.write(QStringLiteral("many.xml"), many + "</r>");
    QVERIFY(s(R"({"funcname":"nodeCounterProfile","filePath":"many.xml","xpath":"/r"})")->ok());
    const QString before = s.cached("many.xml");
    auto unchanged = [&] {
        return s.cached("many.xml") == before && s.host.profiles().modified().isEmpty();
    };
    // A fragment one byte beyond its bound; at the bound it goes in.
    const QByteArray text = QByteArray(kMaxFragmentBytes - 7, 'x');
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("many.xml"), QStringLiteral("/r/m[1]"),
                                     "<t>" + text + "x</t>"))),
             failure("modifyProfileEx load xml file failed!"));
    QVERIFY(unchanged());
    // One megabyte set on eight nodes: eight megabytes the profile may not
    // hold. The values set before the bound was reached are dropped too.
    const QString mega(1 << 20, QLatin1Char('y'));
    QCOMPARE(reply(s(request({{"funcname", "modifyProfile"},
                              {"filePath", "many.xml"},
                              {"xpath", "//m"},
                              {"attribute", "v"},
                              {"attributeValue", mega}}))),
             failure("modifyProfile load xml file failed!"));
    QVERIFY(unchanged());
    QCOMPARE(reply(s(request({{"funcname", "modifyAddProfile"},
                              {"filePath", "many.xml"},
                              {"xpath", "//m"},
                              {"attribute", "v"},
                              {"attributeValue", mega},
                              {"addNodeName", "n"}}))),
             failure("modifyProfile load xml file failed!"));
    QVERIFY(unchanged());
    // At most 1024 attribute names or values in one request.
    const QString names1025 = QStringLiteral("v;").repeated(1024) + QStringLiteral("v");
    const QString values1025 = QStringLiteral("1;").repeated(1024) + QStringLiteral("2");
    for (const char *command : {"modifyProfile", "modifyAddProfile"}) {
        QCOMPARE(reply(s(request({{"funcname", command},
                                  {"filePath", "many.xml"},
                                  {"xpath", "//m[1]"},
                                  {"attribute", "v"},
                                  {"attributeValue", values1025}}))),
                 failure("modifyProfile load xml file failed!"));
        QCOMPARE(reply(s(request({{"funcname", command},
                                  {"filePath", "many.xml"},
                                  {"xpath", "//m[1]"},
                                  {"attribute", names1025},
                                  {"attributeValue", "1"}}))),
                 failure("modifyProfile load xml file failed!"));
    }
    QVERIFY(unchanged());
    QCOMPARE(reply(s(request({{"funcname", "modifyProfile"},
                              {"filePath", "many.xml"},
                              {"xpath", "//m[1]"},
                              {"attribute", names1025.chopped(2)},
                              {"attributeValue", values1025.chopped(2)}}))),
             success("modifyProfile success!"));
    QVERIFY(s.cached("many.xml").contains(QStringLiteral("<m v=\"1\" />")));
    // Within the bounds the same commands work.
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("many.xml"), QStringLiteral("/r/m[1]"),
                                     "<t>" + text + "</t>"))),
             success("modifyProfileEx success"));
    QCOMPARE(reply(s(request({{"funcname", "modifyProfile"},
                              {"filePath", "many.xml"},
                              {"xpath", "//m[2]"},
                              {"attribute", "v;v"},
                              {"attributeValue", mega + QStringLiteral(";2")}}))),
             success("modifyProfile success!"));
    QVERIFY(s.cached("many.xml").contains(QStringLiteral("<m v=\"2\" />")));
    QVERIFY(s.cached("many.xml").contains(QString::fromLatin1(text)));

    // Every line is indented by its depth: 90,000 leaves moved 200 levels
    // down make a text of 18 MB, far beyond the profile bound (the fragment
    // itself is 360 KB). Refused, and nothing else changes.
    const QString edited = s.cached("many.xml");
    s.folder.write(QStringLiteral("deep.xml"), "<r>" + nestedXml(200) + "</r>");
    const QString bottom = QStringLiteral("/r") + QStringLiteral("/a").repeated(200);
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("deep.xml"), bottom,
                                     QByteArray("<l/>").repeated(90000)))),
             failure("modifyProfileEx load xml file failed!"));
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full("many.xml")});
    QCOMPARE(s.cached("many.xml"), edited);

    // A query whose answer would pass the bound: each of the 200 nested
    // elements answers with the 800 KB below it.
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("deep.xml"), bottom,
                                     "<l>" + QByteArray(800 * 1024, 'z') + "</l>"))),
             success("modifyProfileEx success"));
    QCOMPARE(reply(s(R"({"funcname":"queryProfile","filePath":"deep.xml","xpath":"//a"})")),
             failure("queryProfile load xml file failed!"));
    QVERIFY(s(R"({"funcname":"queryProfile","filePath":"deep.xml","xpath":"/r"})")->ok());
}

void TestProfiles::editsStayWithinTheNodeBound()
{
    // Every command's time grows with the elements and attributes of the
    // profile: at most kMaxXmlNodes of them, read or made.
    Setup s;
    const QByteArray leaves = QByteArray("<l/>").repeated(60000);
    s.folder.write(QStringLiteral("wide.xml"), "<r><a>" + leaves + "</a><b/></r>");
    s.folder.write(QStringLiteral("wider.xml"),
                   "<r>" + QByteArray("<l/>").repeated(kMaxXmlNodes) + "</r>");
    QCOMPARE(reply(s(R"({"funcname":"queryProfile","filePath":"wider.xml","xpath":"/r"})")),
             failure("queryProfile load xml file failed!"));
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("wide.xml"), QStringLiteral("/r/b"),
                                     QByteArray("<l/>").repeated(kMaxXmlNodes + 1)))),
             failure("modifyProfileEx load xml file failed!"));
    // 60,003 and 39,998 more: one beyond the bound, refused as a whole.
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("wide.xml"), QStringLiteral("/r/b"),
                                     QByteArray("<l/>").repeated(kMaxXmlNodes - 60002)))),
             failure("modifyProfileEx load xml file failed!"));
    QCOMPARE(reply(s(request({{"funcname", "modifyAddProfile"},
                              {"filePath", "wide.xml"},
                              {"xpath", "//l"},
                              {"attribute", "k"},
                              {"attributeValue", "v"},
                              {"addNodeName", "n"}}))),
             failure("modifyProfile load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // Up to the bound the edit is made and the profile reads again.
    QCOMPARE(reply(s(modifyProfileEx(QStringLiteral("wide.xml"), QStringLiteral("/r/b"),
                                     QByteArray("<l/>").repeated(kMaxXmlNodes - 60003)))),
             success("modifyProfileEx success"));
    QCOMPARE(reply(s(R"({"funcname":"nodeCounterProfile","filePath":"wide.xml","xpath":"/r/b"})")),
             success(QString::number(kMaxXmlNodes - 60003)));
}

void TestProfiles::deepOrLargeProfilesAnswerTheLoadFailure()
{
    // Profile files come from users and other machines: one nested beyond
    // the bound, or larger than it, reads like a file that does not parse.
    Setup s;
    s.folder.write(QStringLiteral("deep.xml"), "<r>" + nestedXml(kMaxXmlDepth) + "</r>");
    s.folder.write(QStringLiteral("large.xml"),
                   "<r><t>" + QByteArray(kMaxProfileBytes, 'x') + "</t></r>");
    for (const char *file : {"deep.xml", "large.xml"}) {
        const QString name = QString::fromLatin1(file);
        QCOMPARE(
            reply(s(request({{"funcname", "queryProfile"}, {"filePath", name}, {"xpath", "/r"}}))),
            failure("queryProfile load xml file failed!"));
        QCOMPARE(reply(s(modifyProfileEx(name, QStringLiteral("/r"), "<n/>"))),
                 failure("modifyProfileEx load xml file failed!"));
        QCOMPARE(reply(s(request({{"funcname", "saveXmlAs"},
                                  {"srcFilePath", name},
                                  {"desFilePath", s.folder.filePath(QStringLiteral("x.pfd"))},
                                  {"xpath", "/r"}}))),
                 failure("saveXmlAs load xml file failed!"));
    }
    QVERIFY(s.host.profiles().modified().isEmpty());
    QVERIFY(s.cached("large.xml").isEmpty()); // never read
    // A reset cannot copy the text of a file too large to read: the
    // destination keeps its own (no reply, as for a source that cannot be
    // read). The deep one is copied as text (a reset does not parse) and
    // answers the load failure from then on.
    QVERIFY(
        s(R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/"})")
            ->ok());
    const QString before = s.cached();
    QVERIFY(
        !s(R"({"funcname":"resetProfile","srcFilePath":"large.xml","desFilePath":"Resources/profiles/configuration.xml"})")
             ->answered());
    QCOMPARE(s.cached(), before);
    QVERIFY(s.host.profiles().modified().isEmpty());
    QCOMPARE(
        reply(s(
            R"({"funcname":"resetProfile","srcFilePath":"deep.xml","desFilePath":"Resources/profiles/configuration.xml"})")),
        success("resetProfile success"));
    QCOMPARE(
        reply(s(
            R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"/r"})")),
        failure("queryProfile load xml file failed!"));
    // The large one can be reset to a good text.
    s.folder.write(QStringLiteral("good.xml"), "<r><t/></r>");
    QCOMPARE(
        reply(
            s(R"({"funcname":"resetProfile","srcFilePath":"good.xml","desFilePath":"large.xml"})")),
        success("resetProfile success"));
    QCOMPARE(reply(s(R"({"funcname":"nodeCounterProfile","filePath":"large.xml","xpath":"/r"})")),
             success("1"));
}

void TestProfiles::deepOrLargeExportFilesAreRefused()
{
    Setup s;
    auto import = [&](const QString &file, const QString &into) {
        return reply(s(request({{"funcname", "modifyReplaceProfileEx"},
                                {"srcFilePath", file},
                                {"desFilePath", QString::fromLatin1(kPath)},
                                {"srcXpath", "/mode"},
                                {"desXpath", into}})));
    };
    // A mode with a node nested far beyond the bound (as another program, or
    // a hand-made file, could write it).
    const QString deep = s.folder.write(
        QStringLiteral("deep.pfd"),
        ProfileExport::encode("<mode index=\"9\"><b>" + nestedXml(200000) + "</b></mode>"));
    QCOMPARE(import(deep, QStringLiteral("//mode[@index='0']")),
             failure("modifyReplaceProfile load xml file failed!"));
    // Larger than the export of the largest profile, whatever it holds.
    const QString large = s.folder.write(
        QStringLiteral("large.pfd"),
        ProfileExport::encode("<mode><t>" + QByteArray(kMaxProfileBytes, 'x') + "</t></mode>"));
    QVERIFY(QFileInfo(large).size() > ProfileExport::maxFileBytes());
    QCOMPARE(import(large, QStringLiteral("//mode[@index='0']")),
             failure("modifyReplaceProfile load xml file failed!"));
    QVERIFY(s.host.profiles().modified().isEmpty());
    // Within the bound on its own, and below the mode it goes into (level 4:
    // conf, modeSetting, modes, mode) too; one level further down it is not.
    const QString fits =
        s.folder.write(QStringLiteral("fits.pfd"),
                       ProfileExport::encode("<mode>" + nestedXml(kMaxXmlDepth - 4) + "</mode>"));
    const QString before = s.cached();
    QCOMPARE(import(fits, QStringLiteral("//mode[@index='1']/key[1]")),
             failure("modifyReplaceProfile load xml file failed!"));
    QCOMPARE(s.cached(), before);
    QCOMPARE(import(fits, QStringLiteral("//mode[@index='0']")),
             success("modifyReplaceProfile success"));
    QCOMPARE(s.host.profiles().modified(), QStringList{s.full()});
}

#endif // Q_MOC_RUN

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--interrupted-save") == 0)
        return interruptedSaveChild(QString::fromLocal8Bit(argv[2]));
    if ((argc == 3 || argc == 4) && qstrcmp(argv[1], "--unprivileged-save") == 0)
        return unprivilegedSaveChild(QString::fromLocal8Bit(argv[2]), argc == 4);
    QCoreApplication app(argc, argv);
    TestProfiles test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_profiles.moc"
