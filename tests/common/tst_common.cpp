#include "common/client_settings.h"
#include "common/text_file.h"
#include "common/ui_texts.h"
#include "common/xml_text.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

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
