#include "update/update_check.h"

#include "common/client_settings.h"
#include "common/ui_texts.h"
#include "common/user_folders.h"
#include "update/http_request_worker.h"
#include "update/installers.h"
#include "update/update_dlg.h"
#include "update/update_host.h"
#include "update/update_log.h"
#include "update/update_transport.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QTimer>
#include <QUrl>
#include <QWidget>

namespace kelv {

UpdateCheck::UpdateCheck(QObject *parent, UpdateHost *host) : QObject(parent), m_host(host) {}

UpdateCheck::~UpdateCheck()
{
    if (m_worker)
        m_worker->deleteLater();
    // The dialog may be inside its exec() (QDialog copes with being deleted there).
    delete m_dialog;
}

QString UpdateCheck::serviceAddress(const ClientSettings *settings)
{
    const QString fromEnvironment = qEnvironmentVariable("KELV_UPDATE_SERVER").trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return settings ? settings->value(QStringLiteral("updateServer")).trimmed() : QString();
}

void UpdateCheck::doCheckUpdate(const QString &deviceId, const QString &firmwareVersion,
                                const QString &clientVersion, bool interactive)
{
    m_interactive = interactive;
    QString base = serviceAddress(m_host ? &m_host->clientSettings() : nullptr);
    if (base.isEmpty()) {
        qCInfo(lcUpdateSystem) << "No update service configured (client attribute updateServer "
                                  "in conf.xml is empty): update check skipped";
        emit checkFinished(UpdateDecision::ShowNothing);
        return;
    }
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    HttpRequestParams params(base + QStringLiteral("/api/system/upgrade"), QStringLiteral("GET"));
    params.addVariable(QStringLiteral("deviceid"), deviceId);
    params.addVariable(QStringLiteral("test"), QStringLiteral("1"));
    params.addVariable(QStringLiteral("fwversion"), firmwareVersion);
    params.addVariable(QStringLiteral("version"), clientVersion);
    params.addVariable(QStringLiteral("noencrypt"), QStringLiteral("1"));

    const QUrl serviceUrl(params.url, QUrl::TolerantMode);
    const QString refusal = updateUrlRefusal(serviceUrl);
    if (!refusal.isEmpty()) {
        // Refused before any connection; the user sees it when they asked.
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: update service address %1 refused: %2")
                   .arg(params.url, refusal);
        if (!interactive) {
            emit checkFinished(UpdateDecision::ShowNothing);
            return;
        }
        UpdateDecision decision;
        decision.action = UpdateDecision::ShowMessage;
        decision.message = refusedAddressMessage(serviceUrl);
        // Shown from the event loop, as a reply would be.
        QTimer::singleShot(0, this, [this, decision] {
            QPointer<UpdateCheck> self(this);
            openDialog(decision);
            if (self)
                emit checkFinished(decision.action);
        });
        return;
    }

    if (m_worker)
        m_worker->deleteLater();
    m_worker = new HttpRequestWorker(this);
    m_worker->maxResponseBytes = kMaxReplySize;
    connect(m_worker, &HttpRequestWorker::on_execution_finished, this,
            &UpdateCheck::handle_doCheckUpdate);
    m_worker->send(params);
}

UpdateDecision UpdateCheck::interpret(bool failed, const QString &errorText,
                                      const QByteArray &response, bool interactive)
{
    UpdateDecision decision;
    if (failed) {
        decision.logText = QStringLiteral("Error: ") + errorText + QString::fromUtf8(response);
        return decision;
    }
    decision.logText = QString::fromUtf8(response);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(response, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return decision;
    const QJsonObject reply = document.object();
    if (!reply.contains(QLatin1String("code")))
        return decision;
    // A code that is not a number reads as 0.
    const int code = reply.value(QLatin1String("code")).toInt(0);
    if (code == 0 && reply.contains(QLatin1String("ret"))) {
        decision.ret = reply.value(QLatin1String("ret")).toObject();
        decision.findNewVersion = true;
        const QString type = decision.ret.value(QLatin1String("type")).toString();
        const QString deployment = decision.ret.value(QLatin1String("deployment")).toString();
        if (!deployment.isEmpty()) {
            decision.deployment = deployment.split(QLatin1Char(','));
            if (type == QLatin1String("0"))
                decision.action = UpdateDecision::ShowOffer;
        }
    } else if (code == 1 && interactive) {
        decision.action = UpdateDecision::ShowLatest;
    }
    return decision;
}

UpdateDecision UpdateCheck::withoutProgramUpdates(UpdateDecision decision, bool interactive)
{
    if (decision.action != UpdateDecision::ShowOffer)
        return decision;
    const QStringList programParts{QStringLiteral("client"), QStringLiteral("html")};
    const qsizetype offered = decision.deployment.size();
    decision.deployment.removeIf([&](const QString &part) { return programParts.contains(part); });
    if (decision.deployment.size() == offered || !decision.deployment.isEmpty())
        return decision; // nothing taken out, or the firmware is still offered
    // Only the program was offered: the user hears of it when they asked,
    // with who installs it.
    decision.action = interactive ? UpdateDecision::ShowMessage : UpdateDecision::ShowNothing;
    decision.message =
        uiText(QStringLiteral("A new version of kelv is available. Your system's package manager "
                              "installs it: update kelv with your system's software updates."));
    return decision;
}

void UpdateCheck::handle_doCheckUpdate(HttpRequestWorker *worker)
{
    UpdateDecision decision = interpret(worker->errorType != QNetworkReply::NoError,
                                        worker->errorText, worker->response, m_interactive);
    // A program folder kelv does not own (the package manager's, or one it
    // cannot write) is never replaced by kelv: only firmware is downloaded.
    if (userFolders().perUser())
        decision = withoutProgramUpdates(decision, m_interactive);
    if (decision.findNewVersion)
        emit FindNewVersion();
    if (decision.action != UpdateDecision::ShowNothing) {
        // A new check may replace this checker while its dialog runs.
        QPointer<UpdateCheck> self(this);
        openDialog(decision);
        if (!self) {
            qCInfo(lcUpdateSystem).noquote() << decision.logText;
            return;
        }
    }
    qCInfo(lcUpdateSystem).noquote() << decision.logText;
    emit checkFinished(decision.action);
}

void UpdateCheck::openDialog(const UpdateDecision &decision)
{
    delete m_dialog;
    m_dialog = new updateDlg(m_host);
    if (decision.action == UpdateDecision::ShowOffer)
        connect(m_dialog, &updateDlg::needupdate, this, &UpdateCheck::on_needupdate);
    // The dialog keeps its own size; its centre goes to the main window's centre.
    if (QWidget *window = m_host ? m_host->mainWindow() : nullptr) {
        QRect frame = m_dialog->geometry();
        frame.moveCenter(window->frameGeometry().center());
        m_dialog->move(frame.topLeft());
    }
    if (decision.action == UpdateDecision::ShowOffer)
        m_dialog->setPackageInfo(decision.deployment, decision.ret);
    else if (decision.action == UpdateDecision::ShowMessage)
        m_dialog->showMessage(decision.message);
    else
        m_dialog->showLatestVersion();
    m_dialog->exec();
}

void UpdateCheck::on_needupdate()
{
    // The user chose to restart: the Updater starts the new version.
    setRestartAfterUpdate(true);
    emit closeApp();
}

UpdateCheck *startUpdateCheck(UpdateHost *host, QObject *parent, bool interactive)
{
    auto *check = new UpdateCheck(parent, host);
    QString deviceId;
    QString firmwareVersion;
    QString clientVersion;
    if (host) {
        const DeviceTable table = host->deviceTable();
        if (!table.isEmpty()) {
            deviceId = table.first().DeviceID;
            firmwareVersion = table.first().Version;
        }
        clientVersion = host->clientSettings().value(QStringLiteral("version"));
    }
    check->doCheckUpdate(deviceId, firmwareVersion, clientVersion, interactive);
    return check;
}

} // namespace kelv
