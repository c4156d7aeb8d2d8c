#include "desktop/portal_shortcut.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QKeySequence>
#include <QLoggingCategory>
#include <QRandomGenerator>

namespace kelv {

namespace {

Q_LOGGING_CATEGORY(lcPortal, "kelv.portal")

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

// The portal's list of shortcuts: a(sa{sv}).
struct PortalShortcutEntry
{
    QString id;
    QVariantMap properties;
};
using PortalShortcutList = QList<PortalShortcutEntry>;

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcutEntry &entry)
{
    argument.beginStructure();
    argument << entry.id << entry.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcutEntry &entry)
{
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.endStructure();
    return argument;
}

QString newToken()
{
    return QStringLiteral("kelv%1").arg(QRandomGenerator::global()->generate());
}

} // namespace

} // namespace kelv

Q_DECLARE_METATYPE(kelv::PortalShortcutEntry)

namespace kelv {

PortalShortcut::PortalShortcut(QObject *parent) : QObject(parent)
{
    qDBusRegisterMetaType<PortalShortcutEntry>();
    qDBusRegisterMetaType<PortalShortcutList>();
}

PortalShortcut::~PortalShortcut()
{
    closeSession();
}

bool PortalShortcut::isOffered(QString *why)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("there is no session bus to reach the desktop portal");
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    // The portal answers at once when it runs; starting it may take a moment.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    *why = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
               ? QStringLiteral("the session has no desktop portal")
               : QStringLiteral("the desktop portal offers no GlobalShortcuts (%1)")
                     .arg(reply.errorMessage());
    return false;
}

QString PortalShortcut::triggerFor(const QString &portableSequence)
{
    // The XDG portals' shortcut format: modifiers in capitals
    // joined by "+", then the key's keysym name.
    const QKeySequence sequence = QKeySequence::fromString(portableSequence);
    if (sequence.isEmpty())
        return QString();
    const QKeyCombination combination = sequence[0];
    QStringList parts;
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    if (modifiers & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (modifiers & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (modifiers & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (modifiers & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    QString key = QKeySequence(combination.key()).toString(QKeySequence::PortableText);
    if (key.size() == 1)
        key = key.toLower();
    parts << key;
    return parts.join(QLatin1Char('+'));
}

QString PortalShortcut::requestPath(const QString &token) const
{
    // ":1.42" becomes "1_42".
    QString sender = QDBusConnection::sessionBus().baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

bool PortalShortcut::call(const QString &method, const QVariantList &arguments,
                          const QString &token, const char *responseSlot)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!m_pendingRequest.isEmpty())
        bus.disconnect(kService, m_pendingRequest, kRequest, QStringLiteral("Response"), this,
                       m_pendingSlot);
    m_pendingRequest = requestPath(token);
    m_pendingSlot = responseSlot;
    bus.connect(kService, m_pendingRequest, kRequest, QStringLiteral("Response"), this,
                responseSlot);
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(arguments);
    // Answered without waiting: the reply only names the request object.
    return bus.send(message);
}

void PortalShortcut::bind(const QString &id, const QString &description, const QString &trigger)
{
    m_id = id;
    m_description = description;
    m_trigger = trigger;
    m_bound = false;
    closeSession();
    const QString token = newToken();
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("session_handle_token"), newToken()}};
    if (!call(QStringLiteral("CreateSession"), {options}, token,
              SLOT(onSessionResponse(uint, QVariantMap))))
        emit refused(QStringLiteral("the desktop portal could not be asked"));
}

void PortalShortcut::onSessionResponse(uint response, const QVariantMap &results)
{
    m_session = results.value(QStringLiteral("session_handle")).toString();
    if (response != 0 || m_session.isEmpty()) {
        emit refused(QStringLiteral("the desktop portal refused a shortcuts session"));
        return;
    }
    QDBusConnection::sessionBus().connect(
        kService, kPath, kInterface, QStringLiteral("Activated"), this,
        SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    const QString token = newToken();
    const PortalShortcutList shortcuts{{m_id,
                                        {{QStringLiteral("description"), m_description},
                                         {QStringLiteral("preferred_trigger"), m_trigger}}}};
    call(QStringLiteral("BindShortcuts"),
         {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts),
          QString(), QVariantMap{{QStringLiteral("handle_token"), token}}},
         token, SLOT(onBindResponse(uint, QVariantMap)));
}

void PortalShortcut::onBindResponse(uint response, const QVariantMap &results)
{
    bool listed = false;
    const QVariant shortcuts = results.value(QStringLiteral("shortcuts"));
    if (shortcuts.canConvert<QDBusArgument>()) {
        PortalShortcutList list;
        shortcuts.value<QDBusArgument>() >> list;
        for (const PortalShortcutEntry &entry : std::as_const(list))
            listed = listed || entry.id == m_id;
    }
    if (response != 0 || !listed) {
        emit refused(response == 1
                         ? QStringLiteral("the shortcut was declined on the desktop")
                         : QStringLiteral("the desktop portal did not bind the shortcut"));
        return;
    }
    m_bound = true;
    qCInfo(lcPortal) << "the desktop portal bound" << m_id;
    emit bound();
}

void PortalShortcut::onActivated(const QDBusObjectPath &session, const QString &id, qulonglong,
                                 const QVariantMap &)
{
    if (m_bound && session.path() == m_session && id == m_id)
        emit activated();
}

void PortalShortcut::closeSession()
{
    if (m_session.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                   SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    bus.send(QDBusMessage::createMethodCall(kService, m_session,
                                            QStringLiteral("org.freedesktop.portal.Session"),
                                            QStringLiteral("Close")));
    m_session.clear();
    m_bound = false;
}

} // namespace kelv
