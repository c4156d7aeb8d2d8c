#include "bridge/profile_commands.h"

#include "common/xml_text.h"

#include <QList>
#include <QLoggingCategory>
#include <QStringView>

namespace kelv {


void ProfileCommands::queryProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("queryProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath"}, "filePath", Match::All, cb, failed, &t))
        return;
    // Matches inside other matches are written once more with each of them:
    // on a deep profile "//*" would answer with the whole profile once per
    // level. An answer beyond the profile bound is refused instead.
    QByteArray answer;
    for (const pugi::xpath_node &match : t.nodes) {
        if (match.node() && !printXmlNode(match.node(), kMaxProfileBytes, &answer)) {
            qCInfo(lcProfiles) << "queryProfile: answer larger than" << kMaxProfileBytes << "bytes";
            answerFailure(cb, failed);
            return;
        }
    }
    answerSuccess(cb, QString::fromUtf8(answer));
}

void ProfileCommands::nodeCounterProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("nodeCounterProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath"}, "filePath", Match::First, cb, failed, &t))
        return;
    qint64 count = 0;
    for (pugi::xml_node child = t.first.node().first_child(); child; child = child.next_sibling())
        ++count;
    answerSuccess(cb, QString::number(count));
}
void ProfileCommands::queryHexByte(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath", "args"}, "filePath", Match::First, cb, failed, &t))
        return;
    const QString code = QString::fromUtf8(t.first.node().attribute("code").value());
    if (!code.contains(QLatin1Char('%'))) {
        answerSuccess(cb, code);
        return;
    }
    // Only the first four items take parameters, so no more than four
    // arguments are ever used: neither list is split further than that. A
    // "%" without an argument left stays as it is.
    const QString argsText = memberText(m, QStringLiteral("args"));
    QList<QStringView> args;
    for (const QStringView arg : QStringView(argsText).tokenize(u',', Qt::SkipEmptyParts)) {
        args << arg;
        if (args.size() == 4)
            break;
    }
    QString filled;
    qsizetype start = 0;
    qsizetype next = 0;
    for (int i = 0; i < 4 && start >= 0; ++i) {
        const qsizetype comma = code.indexOf(QLatin1Char(','), start);
        const QStringView item = QStringView(code).mid(start, comma < 0 ? -1 : comma - start);
        filled += item == u"%" && next < args.size() ? args.at(next++) : item;
        if (comma >= 0)
            filled += QLatin1Char(',');
        start = comma < 0 ? comma : comma + 1;
    }
    if (start >= 0)
        filled += QStringView(code).mid(start);
    answerSuccess(cb, filled);
}

} // namespace kelv
