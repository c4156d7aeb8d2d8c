#include "bridge/request_router.h"

#include "bridge/app_host.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "bridge/profile_store.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <climits>

namespace kelv {
namespace {

const QLatin1String MoveWindow("moveWindow");
const QLatin1String MinimiseRequest(R"({"funcname":"minisizeWindow"})");
const QLatin1String MaximiseRequest(R"({"funcname":"maxsizeWindow"})");
const QLatin1String RestoreRequest(R"({"funcname":"restoreWindow"})");

bool isBlank(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || u == '\t' || u == '\n' || u == '\v' || u == '\f' || u == '\r';
}

} // namespace

QList<int> parseMoveWindowNumbers(const QString &request)
{
    // The ten letters and one separator character (whatever it is) are
    // skipped; then decimal integers, blanks before each, one comma after each.
    QList<int> numbers;
    qsizetype i = MoveWindow.size() + 1;
    const qsizetype n = request.size();
    while (i < n) {
        while (i < n && isBlank(request.at(i)))
            ++i;
        qsizetype j = i;
        bool negative = false;
        if (j < n && (request.at(j) == QLatin1Char('+') || request.at(j) == QLatin1Char('-'))) {
            negative = request.at(j) == QLatin1Char('-');
            ++j;
        }
        const qsizetype digitsStart = j;
        qint64 value = 0;
        bool overflow = false;
        while (j < n && request.at(j).unicode() >= '0' && request.at(j).unicode() <= '9') {
            value = value * 10 + (request.at(j).unicode() - '0');
            if (value > qint64(INT_MAX) + 1)
                overflow = true, value = qint64(INT_MAX) + 1;
            ++j;
        }
        if (j == digitsStart)
            break; // not the start of an integer
        if (negative)
            value = -value;
        if (overflow || value > INT_MAX || value < INT_MIN)
            break; // out of range: reading fails there
        numbers.append(int(value));
        i = j;
        if (i < n && request.at(i) == QLatin1Char(','))
            ++i;
    }
    return numbers;
}

RequestRouter::RequestRouter(AppHost &host, QObject *parent) : QObject(parent), m_host(host) {}

void RequestRouter::addProgramCommands(devices_handler *devices)
{
    registerDeviceCommands(m_dispatcher, devices);
    registerProfileCommands(m_dispatcher, m_host);
    registerSettingsCommands(m_dispatcher, m_host);
}

bool RequestRouter::takeWindowRequest(const QString &request, const QueryCallbackPtr &callback)
{
    if (request.size() > kMaxRequestLength)
        return true; // taken: dropped without reply
    if (request.startsWith(MoveWindow)) {
        const QList<int> numbers = parseMoveWindowNumbers(request);
        if (numbers.size() == 4) {
            m_host.moveWindow(numbers.at(0), numbers.at(1), numbers.at(2), numbers.at(3));
            answerSuccess(callback, QString());
        }
        return true;
    }
    if (request == MinimiseRequest) {
        m_host.profiles().saveModified();
        m_host.toggleMinimised();
        answerSuccess(callback, QString());
        return true;
    }
    return false;
}

void RequestRouter::onJsMessage(const QString &request, const QueryCallbackPtr &callback)
{
    if (request.size() > kMaxRequestLength)
        return;
    if (request == MaximiseRequest) {
        m_host.maximiseWindow();
        return;
    }
    if (request == RestoreRequest) {
        m_host.restoreWindow();
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return;
    const Members members = document.object().toVariantMap();
    if (!members.contains(QStringLiteral("funcname")))
        return;
    m_dispatcher.dispatch(memberText(members, QStringLiteral("funcname")), members, callback);
}

} // namespace kelv
