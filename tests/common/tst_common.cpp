#include "common/client_settings.h"
#include "common/text_file.h"
#include "common/ui_texts.h"
#include "common/xml_text.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv;

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
