#include "common/client_settings.h"
#include "common/text_file.h"
#include "common/ui_texts.h"
#include "common/xml_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#ifdef Q_OS_UNIX
#include "tests/testsupport/file_size_limit.h"
#include "tests/testsupport/pipe_writer.h"

#include <QThread>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#endif

using namespace kelv;

namespace {

// A form of a glossary in doc/glossary: "…" stands for any word ending; a form
// in lower case is found in any case, one with capitals as written.
QRegularExpression formPattern(const QString &form)
{
    QStringList parts = form.split(QChar(u'…'));
    for (QString &part : parts)
        part = QRegularExpression::escape(part);
    return QRegularExpression(parts.join(QStringLiteral("\\p{L}*")),
                              form == form.toLower() ? QRegularExpression::CaseInsensitiveOption
                                                     : QRegularExpression::NoPatternOption);
}

// The forms (in backticks) in one column of the glossary's tables.
QStringList glossaryColumn(const QString &markdown, const QString &column)
{
    static const QRegularExpression inBackticks(QStringLiteral("`([^`]+)`"));
    QStringList forms;
    qsizetype index = -2; // -2: the next table line is a header
    for (const QString &line : markdown.split(QChar(u'\n'))) {
        QStringList cells = line.trimmed().split(QChar(u'|'));
        if (cells.size() < 3 || !cells.first().isEmpty()) {
            index = -2;
            continue;
        }
        cells = cells.mid(1, cells.size() - 2);
        for (QString &cell : cells)
            cell = cell.trimmed();
        if (index == -2) {
            index = cells.indexOf(column);
            continue;
        }
        for (const auto &m : inBackticks.globalMatch(cells.value(index)))
            forms << m.captured(1);
    }
    return forms;
}

// The texts that contain a form the glossary of that language rejects (other
// than inside one of the forms it uses).
QStringList glossaryViolations(const QString &code, const QStringList &texts)
{
    QFile file(qEnvironmentVariable("KELV_SOURCE_DIR") +
               QStringLiteral("/doc/glossary/%1.md").arg(code));
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("no glossary %1").arg(file.fileName())};
    const QString markdown = QString::fromUtf8(file.readAll());
    const QStringList uses = glossaryColumn(markdown, QStringLiteral("use"));
    QStringList found;
    for (const QString &form : glossaryColumn(markdown, QStringLiteral("not"))) {
        const QRegularExpression rejected = formPattern(form);
        for (const QString &text : texts) {
            QString rest = text;
            for (const QString &use : uses) {
                if (rejected.match(QString(use).remove(QChar(u'…'))).hasMatch())
                    rest.replace(formPattern(use), QStringLiteral("\u0001"));
            }
            if (rejected.match(rest).hasMatch())
                found << QStringLiteral("%1: \"%2\" in \"%3\"").arg(code, form, text);
        }
    }
    return found;
}

// The element depth pugixml built, counted the plain recursive way (the
// test's texts are shallow): the yardstick for the scan and for
// xmlSubtreeDepth.
int builtDepth(const pugi::xml_node &node)
{
    int deepest = 0;
    for (const pugi::xml_node &child : node.children())
        deepest = std::max(deepest, builtDepth(child));
    return deepest + (node.type() == pugi::node_element ? 1 : 0);
}

// Its elements and attributes, likewise.
qint64 builtNodes(const pugi::xml_node &node)
{
    qint64 nodes = 0;
    if (node.type() == pugi::node_element)
        nodes = 1 + std::distance(node.attributes_begin(), node.attributes_end());
    for (const pugi::xml_node &child : node.children())
        nodes += builtNodes(child);
    return nodes;
}

QByteArray nested(int levels, const QByteArray &inside = QByteArray())
{
    return QByteArray("<a>").repeated(levels) + inside + QByteArray("</a>").repeated(levels);
}

} // namespace

class TestCommon : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeRaw(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(bytes);
        return path;
    }
    QByteArray readRaw(const QString &path)
    {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

private slots:
    void textFilesSkipBomAndTakeCrLfAsLf()
    {
        QString text;
        QVERIFY(readTextFile(writeRaw("a.xml", "\xEF\xBB\xBF<a>\r\n\xC3\xA9</a>\r\n"), &text));
        QCOMPARE(text, QString::fromUtf8("<a>\n\xC3\xA9</a>\n"));
        QVERIFY(!readTextFile(m_dir.filePath("missing.xml"), &text));
        QVERIFY(text.isEmpty());
    }

    void textFilesAreWrittenWithCrLfAndNoBom()
    {
        const QString path = m_dir.filePath("b.xml");
        QVERIFY(writeTextFile(path, QStringLiteral("x\ny\r\nz\n")));
        QCOMPARE(readRaw(path), QByteArray("x\r\ny\r\nz\r\n"));
    }

    void atomicWriteLeavesOldFileWhenTargetFolderIsMissing()
    {
        QVERIFY(!writeFileAtomically(m_dir.filePath("no/such/folder/c.xml"), "data"));
        const QString path = writeRaw("d.xml", "old");
        QVERIFY(writeFileAtomically(path, "new"));
        QCOMPARE(readRaw(path), QByteArray("new"));
    }

#ifdef Q_OS_UNIX
    void atomicWriteThatTheDiskRefusesLeavesOldFile()
    {
        // A full disk, as the file size limit makes it: writes past 1 KiB
        // fail. Content small enough to wait in the write buffer fails only
        // when it is flushed, large content at once; neither may replace the
        // old file.
        const QByteArray old = "old";
        const QString path = writeRaw("full.xml", old);
        test::FileSizeLimit fullDisk(1024);
        QVERIFY(fullDisk.isSet());
        const bool small = writeFileAtomically(path, QByteArray(2000, 's'));
        const QByteArray afterSmall = readRaw(path);
        const bool large = writeFileAtomically(path, QByteArray(100000, 'l'));
        const QByteArray afterLarge = readRaw(path);
        fullDisk.lift();

        QVERIFY(!small);
        QCOMPARE(afterSmall, old);
        QVERIFY(!large);
        QCOMPARE(afterLarge, old);
        QCOMPARE(QDir(m_dir.path()).entryList({"full.xml*"}, QDir::Files), QStringList{"full.xml"});
    }
#endif

#ifdef Q_OS_UNIX
    void replacedFileKeepsItsOwner()
    {
        // Written by root (kelv started with sudo), a profile of the user's
        // stays the user's, so the user's own kelv can save it again.
        if (geteuid() != 0)
            QSKIP("only root writes a file of another user");
        const QString path = writeRaw("owned.xml", "old");
        QCOMPARE(chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        QVERIFY(writeFileAtomically(path, "new"));
        const QFileInfo info(path);
        QCOMPARE(readRaw(path), QByteArray("new"));
        QCOMPARE(info.ownerId(), 65534u);
        QCOMPARE(info.groupId(), 65534u);
        // A new file is the writer's own.
        const QString fresh = m_dir.filePath("fresh.xml");
        QVERIFY(writeFileAtomically(fresh, "new"));
        QCOMPARE(QFileInfo(fresh).ownerId(), 0u);
    }
#endif

    void settingsHoldClientAttributesAndComputedEntries()
    {
        ClientSettings settings;
        settings.load(writeRaw("conf.xml",
                               "<?xml version=\"1.0\"?>\r\n<root><client version=\"1.2\" "
                               "language=\"en\"/><other x=\"1\"/></root>\r\n"));
        QCOMPARE(settings.values().keys(),
                 QStringList({"IpAddress", "MacAddress", "language", "version"}));
        QCOMPARE(settings.value("version"), QStringLiteral("1.2"));
        QCOMPARE(settings.value("absent"), QString());
        QVERIFY(!settings.setValue("absent", "x"));
        QVERIFY(!settings.contains("absent"));
        QVERIFY(settings.setValue("language", "zh"));
        QCOMPARE(settings.value("language"), QStringLiteral("zh"));
        QVERIFY(settings.text().contains("<other x=\"1\"/>"));
        QVERIFY(!settings.text().contains('\r'));
        QVERIFY(settings.firstIpv4Address() != QStringLiteral("127.0.0.1"));
    }

    void unparsableSettingsLeaveEverythingEmpty()
    {
        ClientSettings settings;
        settings.load(writeRaw("bad.xml", "<root><client version=\"1\"></root"));
        QVERIFY(settings.isEmpty());
        QVERIFY(settings.text().isEmpty());
        settings.load(m_dir.filePath("none.xml"));
        QVERIFY(settings.isEmpty());
        // Nested beyond the depth bound, or larger than a profile may be:
        // read like a file that does not parse.
        const QByteArray client = "<root><client version=\"1\"/>";
        settings.load(writeRaw("deep.xml", client + nested(kMaxXmlDepth) + "</root>"));
        QVERIFY(settings.isEmpty());
        settings.load(writeRaw("large.xml", client + "<pad>" + QByteArray(kMaxProfileBytes, 'x') +
                                                "</pad></root>"));
        QVERIFY(settings.isEmpty());
        // Within the bounds, and in UTF-16 as pugixml reads it too.
        settings.load(writeRaw("fits.xml", client + nested(kMaxXmlDepth - 1) + "</root>"));
        QCOMPARE(settings.value("version"), QStringLiteral("1"));
        const QString utf16 = QStringLiteral("<root><client version=\"2\"/></root>");
        settings.load(
            writeRaw("utf16.xml", QByteArray("\xFF\xFE") +
                                      QByteArray(reinterpret_cast<const char *>(utf16.utf16()),
                                                 utf16.size() * 2)));
        QCOMPARE(settings.value("version"), QStringLiteral("2"));
    }

    void settingsInUtf16CanBeChanged()
    {
        // A settings file saved as "Unicode" by a text editor: it is read,
        // and a setting changed afterwards is written (in UTF-8) as well.
        const QString utf16 = QStringLiteral(
            "<?xml version=\"1.0\"?>\r\n<root><client version=\"2\" language=\"en\"/></root>\r\n");
        const QString path = writeRaw(
            "utf16-store.xml",
            QByteArray("\xFF\xFE") +
                QByteArray(reinterpret_cast<const char *>(utf16.utf16()), utf16.size() * 2));
        ClientSettings settings;
        settings.load(path);
        QCOMPARE(settings.value("language"), QStringLiteral("en"));
        QCOMPARE(settings.store("language", "de"), ClientSettings::StoreResult::Stored);
        ClientSettings again;
        again.load(path);
        QCOMPARE(again.value("language"), QStringLiteral("de"));
        QCOMPARE(again.value("version"), QStringLiteral("2"));
    }

    void boundedReadsRefuseLargerFilesUnread()
    {
        QString text;
        const QString path = writeRaw("twelve.xml", "\xEF\xBB\xBF<a>\r\n</a>");
        QCOMPARE(readTextFile(path, &text, 11), TextFileRead::TooLarge);
        QVERIFY(text.isEmpty());
        QCOMPARE(readTextFile(path, &text, 12), TextFileRead::Read);
        QCOMPARE(text, QStringLiteral("<a>\n</a>"));
        QCOMPARE(readTextFile(m_dir.filePath("missing.xml"), &text, 11), TextFileRead::NotOpened);
    }

#ifdef Q_OS_UNIX
    void namedPipesAreNeverOpened()
    {
        // A named pipe in a profile's or the settings file's place: opening
        // it waits until something writes to it. The pipe's writer hands a
        // whole settings file to the first reader; none may open it.
        const QString path = m_dir.filePath("pipe.xml");
        test::PipeWriter pipe(path, "<root><client version=\"1\"/></root>");
        QVERIFY(pipe.isValid());
        QString text;
        QVERIFY(!readTextFile(path, &text));
        QCOMPARE(readTextFile(path, &text, kMaxProfileBytes), TextFileRead::NotOpened);
        ClientSettings settings;
        settings.load(path);
        QVERIFY(settings.isEmpty());
        QVERIFY(settings.text().isEmpty());
    }

    void aPipeSwappedInWhileReadingNeverBlocks()
    {
        // A regular file and a named pipe take turns at the file's name as
        // fast as they can be renamed there, while the file is read again and
        // again: a reader that judged the name before opening it would at
        // some point open the pipe and wait for a writer for ever. Both keep
        // a second name, so a reader caught in the pipe can be let go.
        const QByteArray target = QFile::encodeName(m_dir.filePath("swapped.xml"));
        const QByteArray file = QFile::encodeName(m_dir.filePath("file.keep"));
        const QByteArray fifo = QFile::encodeName(m_dir.filePath("fifo.keep"));
        const QByteArray next = QFile::encodeName(m_dir.filePath("next"));
        writeRaw("file.keep", "<root><client version=\"1\"/></root>");
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            for (bool pipe = false; !stop; pipe = !pipe) {
                if (::link((pipe ? fifo : file).constData(), next.constData()) == 0)
                    ::rename(next.constData(), target.constData());
            }
        });
        constexpr int kReads = 20000;
        std::atomic<int> reads{0};
        std::atomic<int> regular{0};
        std::thread reader([&] {
            for (int i = 0; i < kReads; ++i, ++reads) {
                QString text;
                if (readTextFile(QFile::decodeName(target), &text))
                    regular += text.contains(QLatin1String("version")) ? 1 : 0;
            }
        });
        const bool finished = QTest::qWaitFor([&] { return reads == kReads; }, 60000);
        stop = true;
        swapper.join();
        // Lets a reader caught in the pipe go (a writer opened without waiting).
        while (reads < kReads) {
            const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0)
                ::close(writer);
            QThread::msleep(10);
        }
        reader.join();
        QVERIFY2(finished, "a read waited on the named pipe");
        QVERIFY(regular > 0);
    }
#endif

    // The shape scan against pugixml itself: whatever the markup, well
    // formed or broken, the scan never counts less depth, nor fewer elements
    // and attributes, than pugixml builds, and for a text that parses
    // exactly that.
    void shapeScanFollowsPugixml_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("depth");
        QTest::newRow("plain") << QByteArray("<a><b><c/></b><d/></a>") << 3;
        QTest::newRow("quoted markup") << QByteArray("<a x=\"/>\" y='>' z=\"<b>\"><b/></a>") << 2;
        QTest::newRow("comment") << QByteArray("<a><!-- <b><c> --><!---->x</a>") << 1;
        QTest::newRow("cdata") << QByteArray("<a><![CDATA[<b><c>]]]]></a>") << 1;
        QTest::newRow("instructions")
            << QByteArray("<?xml version=\"1.0\"?><?pi <b>?><a><?q <c>?></a>") << 1;
        QTest::newRow("document type")
            << QByteArray("<!DOCTYPE a [<!ELEMENT a (b)><!ATTLIST a x CDATA \"<c>\"> "
                          "<!-- <d> --><?p <e>?><![IGNORE[<f><![x[<g>]]>]]>]><a><b/></a>")
            << 2;
        QTest::newRow("text with >") << QByteArray("<a>1 > 0<b>&lt;c&gt;</b></a>") << 2;
        QTest::newRow("blanks in tags") << QByteArray("<a ><b\tx = '1' ></b ></a\n>") << 2;
        QTest::newRow("unclosed") << QByteArray("<a><a><a>") << 3;
        QTest::newRow("mismatch") << QByteArray("<a><b></a><c><d><e>") << 4;
        QTest::newRow("close first") << QByteArray("</a><b><c>") << 2;
        QTest::newRow("stray <") << QByteArray("<a>< b><c/></a>") << 1;
        QTest::newRow("NUL ends") << (QByteArray("<a>") + '\0' + "<b><c/></b></a>") << 1;
        QTest::newRow("unterminated quote") << QByteArray("<a x=\"<b><c>") << 1;
        QTest::newRow("unterminated comment") << QByteArray("<a><!-- <b>") << 1;
        QTest::newRow("doctype inside") << QByteArray("<a><!DOCTYPE b><c/></a>") << 1;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("at the bound") << nested(kMaxXmlDepth) << kMaxXmlDepth;
        QTest::newRow("beyond, closed") << nested(200000) << kMaxXmlDepth + 1;
        QTest::newRow("beyond, open") << QByteArray("<a>").repeated(200000) << kMaxXmlDepth + 1;
    }

    void shapeScanFollowsPugixml()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, depth);
        QCOMPARE(xmlShape(text.constData(), text.size()).depth, depth);
        pugi::xml_document doc;
        const XmlLoad load = loadXml(text, &doc);
        if (depth > kMaxXmlDepth) {
            // Refused before pugixml built anything.
            QCOMPARE(load, XmlLoad::TooDeep);
            QVERIFY(!doc.first_child());
            return;
        }
        QCOMPARE(xmlSubtreeDepth(doc), builtDepth(doc));
        QCOMPARE(xmlNodeCount(doc), builtNodes(doc));
        const qint64 nodes = xmlShape(text.constData(), text.size()).nodes;
        if (load == XmlLoad::Parsed) {
            QCOMPARE(builtDepth(doc), depth);
            QCOMPARE(builtNodes(doc), nodes);
        } else {
            QVERIFY(builtDepth(doc) <= depth);
            QVERIFY(builtNodes(doc) <= nodes);
        }
    }

    void nodeCountBound()
    {
        // Elements and attributes count alike; at the bound a text parses,
        // one more and pugixml never sees it.
        const QByteArray attributes =
            "<r a=\"1\" b='>'>" + QByteArray("<l/>").repeated(kMaxXmlNodes - 3) + "</r>";
        QCOMPARE(xmlShape(attributes.constData(), attributes.size()).nodes, kMaxXmlNodes);
        pugi::xml_document doc;
        QCOMPARE(loadXml(attributes, &doc), XmlLoad::Parsed);
        QCOMPARE(xmlNodeCount(doc), kMaxXmlNodes);
        QCOMPARE(xmlNodeCount(doc.first_child().first_child()), 1);
        const QByteArray one = QByteArray(attributes).insert(3, " c=\"\"");
        QCOMPARE(loadXml(one, &doc), XmlLoad::TooManyNodes);
        QVERIFY(!doc.first_child());
    }

    // The same over texts made of random pieces of markup (seeded): most do
    // not parse, and pugixml keeps what it read up to its error.
    void shapeScanNeverUndercountsRandomMarkup()
    {
        const QByteArray pieces[] = {"<a>",
                                     "<b x=\"1\">",
                                     "<g a='\"' b=\"'\">",
                                     "</a>",
                                     "</b>",
                                     "<c/>",
                                     "<d y='/>'/>",
                                     "<!--<a>-->",
                                     "<![CDATA[<a>]]>",
                                     "<?p <a>?>",
                                     "text>",
                                     "&amp;",
                                     "<",
                                     ">",
                                     "\"",
                                     "'",
                                     "/",
                                     " ",
                                     "<!DOCTYPE r [<!ELEMENT r ANY>]>",
                                     "<!--",
                                     "-->",
                                     "]]>",
                                     "?>",
                                     "<!",
                                     "<!a>",
                                     QByteArray("\0", 1),
                                     "<![IGNORE[",
                                     "<e\n>",
                                     "<f/ >"};
        QRandomGenerator random(28);
        for (int round = 0; round < 5000; ++round) {
            QByteArray text;
            const int count = random.bounded(1, 40);
            for (int i = 0; i < count; ++i)
                text += pieces[random.bounded(int(std::size(pieces)))];
            pugi::xml_document doc;
            const XmlLoad load = loadXml(text, &doc);
            const XmlShape scanned = xmlShape(text.constData(), text.size());
            const int built = builtDepth(doc);
            const qint64 nodes = builtNodes(doc);
            QVERIFY2(load == XmlLoad::Parsed ? scanned.depth == built && scanned.nodes == nodes
                                             : scanned.depth >= built && scanned.nodes >= nodes,
                     text.toPercentEncoding("<>/!?\"' []-&").constData());
            QCOMPARE(xmlSubtreeDepth(doc), built);
            QCOMPARE(xmlNodeCount(doc), nodes);
        }
    }

    void subtreeDepthsAndNodeCounts()
    {
        pugi::xml_document doc;
        QCOMPARE(loadXml("<a><b x=\"1\">t<c><d/></c></b><e y='2' z=''/></a>", &doc),
                 XmlLoad::Parsed);
        const pugi::xml_node c = doc.select_node("//c").node();
        QCOMPARE(xmlSubtreeDepth(c), 2);
        QCOMPARE(xmlNodeCount(c), 2);
        QCOMPARE(xmlNodeCount(doc.select_node("//e").node()), 3);
        QCOMPARE(xmlNodeCount(doc), 8);
        QCOMPARE(xmlNodeCount(doc.select_node("//b/text()").node()), 0);
        QCOMPARE(xmlSubtreeDepth(doc.select_node("//e").node()), 1);
        QCOMPARE(xmlSubtreeDepth(doc.select_node("//b/text()").node()), 0);
        QCOMPARE(xmlSubtreeDepth(doc.first_child()), 4);
        QCOMPARE(xmlSubtreeDepth(doc), 4);
        QCOMPARE(xmlSubtreeDepth(pugi::xml_node()), 0);
    }

    void boundedOutputGivesUpAtItsBound()
    {
        pugi::xml_document doc;
        QCOMPARE(loadXml("<a><b x=\"1\">t</b><c/></a>", &doc), XmlLoad::Parsed);
        const QByteArray whole = serializeXmlDocument(doc).toUtf8();
        QByteArray out;
        QVERIFY(saveXmlDocument(doc, whole.size(), &out));
        QCOMPARE(out, whole);
        out.clear();
        QVERIFY(!saveXmlDocument(doc, whole.size() - 1, &out));
        QVERIFY(out.size() < whole.size());
        // Node output appends and counts what the array already holds.
        const QByteArray b = serializeXmlNode(doc.first_child().first_child()).toUtf8();
        out = "x";
        QVERIFY(printXmlNode(doc.first_child().first_child(), b.size() + 1, &out));
        QCOMPARE(out, "x" + b);
        QVERIFY(!printXmlNode(doc.first_child().first_child(), out.size() + b.size() - 1, &out));

        // A text of 1.2 MB nested to the bound: its output indents each of
        // its 90,000 leaves by 255 tabs, 23 MB that are never written.
        const QByteArray deep = nested(kMaxXmlDepth - 1, QByteArray("<l/>").repeated(90000));
        QCOMPARE(loadXml(deep, &doc), XmlLoad::Parsed);
        out.clear();
        QVERIFY(!saveXmlDocument(doc, kMaxProfileBytes, &out));
        QVERIFY(out.size() <= kMaxProfileBytes);
    }

    void rewriteChangesOnlyExistingClientAttributes()
    {
        QString out;
        const QString in = QStringLiteral("<!-- c --><root><client language=\"en\"/></root>");
        QVERIFY(ClientSettings::rewriteClientAttribute(in, "language", "zh", &out));
        QCOMPARE(out,
                 QStringLiteral(
                     "<?xml version=\"1.0\"?>\n<root>\n\t<client language=\"zh\" />\n</root>\n"));
        QVERIFY(ClientSettings::rewriteClientAttribute(in, "absent", "1", &out));
        QVERIFY(!out.contains("absent"));
        QVERIFY(!ClientSettings::rewriteClientAttribute("not xml", "a", "b", &out));
    }

    void languageSettingFollowsTheTrayTable()
    {
        const QList<QPair<QString, UiLanguage>> table = {{"zh", UiLanguage::SimplifiedChinese},
                                                         {"zh-TW", UiLanguage::TraditionalChinese},
                                                         {"zh-HK", UiLanguage::TraditionalChinese},
                                                         {"de-DE", UiLanguage::German},
                                                         {"ja", UiLanguage::Japanese},
                                                         {"ru", UiLanguage::Russian},
                                                         {"ko", UiLanguage::Korean},
                                                         {"zh-CN", UiLanguage::English},
                                                         {"de", UiLanguage::English},
                                                         {"ZH", UiLanguage::English},
                                                         {"", UiLanguage::English},
                                                         {"en", UiLanguage::English}};
        for (const auto &[setting, language] : table)
            QCOMPARE(uiLanguageFromSetting(setting), language);
    }

    void ownTextsInEveryLanguage()
    {
        // The texts the program has stay as they are in their own language.
        QCOMPARE(uiText(QStringLiteral("Found the new version,update now?"), UiLanguage::English),
                 QStringLiteral("Found the new version,update now?"));
        QCOMPARE(uiText(QStringLiteral("更新成功"), UiLanguage::SimplifiedChinese),
                 QStringLiteral("更新成功"));
        QCOMPARE(uiText(QStringLiteral("更新成功"), UiLanguage::English),
                 QStringLiteral("Update succeeded"));
        QCOMPARE(uiText(QStringLiteral("Restart Now"), UiLanguage::German),
                 QStringLiteral("Neu starten"));
        QCOMPARE(uiText(QStringLiteral("not in the catalogue"), UiLanguage::Korean),
                 QStringLiteral("not in the catalogue"));
        // Every text is translated, and keeps its place markers.
        static const QRegularExpression marker(QStringLiteral("%\\d"));
        const QList<QStringList> rows = uiTextRows();
        QVERIFY(rows.size() > 40);
        for (const QStringList &row : rows) {
            QCOMPARE(row.size(), 7);
            QStringList markers;
            for (const auto &m : marker.globalMatch(row.first()))
                markers << m.captured();
            markers.sort();
            for (const QString &text : row) {
                QVERIFY2(!text.trimmed().isEmpty(), qPrintable(row.first()));
                QStringList own;
                for (const auto &m : marker.globalMatch(text))
                    own << m.captured();
                own.sort();
                QVERIFY2(own == markers, qPrintable(text));
            }
        }
    }

    void ownTextsFollowTheGlossaries()
    {
        // The words of doc/glossary: one column of the catalogue per language.
        const QStringList codes = {"en", "zh", "zh-TW", "de-DE", "ja", "ru", "ko"};
        const QList<QStringList> rows = uiTextRows();
        QStringList found;
        for (qsizetype language = 0; language < codes.size(); ++language) {
            QStringList texts;
            for (const QStringList &row : rows)
                texts << row.at(language);
            found << glossaryViolations(codes.at(language), texts);
        }
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QChar(u'\n'))));
        // The check finds what it is there for.
        QCOMPARE(
            glossaryViolations("ru", {"Рабочий стол не принял изменение", "в среде рабочего стола"})
                .size(),
            1);
        QCOMPARE(glossaryViolations("zh-TW", {"此應用程式", "已應用"}).size(), 1);
    }

    // Chinese and Japanese texts write their own punctuation: "…" (not
    // "。。。") and full-width commas between their words.
    void ownTextsUseTheLanguagesPunctuation()
    {
        static const QRegularExpression halfWidthComma(
            QStringLiteral("[\\x{4e00}-\\x{9fff}\\x{3040}-\\x{30ff}],\\s*[\\x{4e00}-\\x{9fff}]"));
        QStringList found;
        for (const QStringList &row : uiTextRows()) {
            for (qsizetype language = 1; language < row.size(); ++language) {
                const QString &text = row.at(language);
                if (text.contains(QStringLiteral("。。。")) ||
                    halfWidthComma.match(text).hasMatch())
                    found << text;
            }
        }
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QChar(u'\n'))));
    }

    void qtTextsFollowTheLanguage()
    {
        QVERIFY(useQtTranslations(UiLanguage::German));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
                 QStringLiteral("Abbrechen"));
        QVERIFY(useQtTranslations(UiLanguage::Japanese));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
                 QStringLiteral("キャンセル"));
        QVERIFY(!useQtTranslations(UiLanguage::English));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
    }

    void xmlWithoutElementDoesNotParse()
    {
        pugi::xml_document doc;
        QVERIFY(!parseXmlText(QString(), &doc));
        QVERIFY(!parseXmlText(QStringLiteral("<!-- only a comment -->"), &doc));
        QVERIFY(parseXmlText(QStringLiteral("<a><b>t</b><c/></a>"), &doc));
        QCOMPARE(serializeXmlNode(doc.first_child()),
                 QStringLiteral("<a>\n\t<b>t</b>\n\t<c />\n</a>\n"));
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"
