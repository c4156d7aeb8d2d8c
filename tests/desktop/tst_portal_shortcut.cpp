// Global hot keys through the desktop portal's GlobalShortcuts, as Wayland
// sessions give them: against a portal service on a private session bus that
// answers as the XDG desktop portals document it (Request objects with their
// Response signals, the session's Activated signal), and without any portal.

#include "desktop/portal_shortcut.h"
#include "desktop/qxt_global_shortcut.h"
#include "tests/testsupport/desktop_session.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QMutex>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

struct Shortcut
{
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Shortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Shortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

// The portal service: runs on a thread of its own with a connection of its
// own, so the client's blocking availability check is answered.
class Portal final : public QDBusVirtualObject
{
public:
    QMutex mutex;
    bool declines = false;
    QList<Shortcut> requested; // what BindShortcuts asked for
    QString session;           // the session handle given out
    QDBusConnection connection{QString()};

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &bus) override
    {
        const QString member = message.member();
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties") &&
            member == QLatin1String("Get")) {
            bus.send(message.createReply(QVariant::fromValue(QDBusVariant(1u))));
            return true;
        }
        if (message.interface() == QLatin1String("org.freedesktop.portal.Session")) {
            bus.send(message.createReply());
            return true;
        }
        if (message.interface() != kInterface)
            return false;
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().constLast());
        const QString request =
            QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                .arg(sender, options.value(QStringLiteral("handle_token")).toString());
        bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));

        QVariantMap results;
        uint response = 0;
        if (member == QLatin1String("CreateSession")) {
            QMutexLocker lock(&mutex);
            session =
                QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                    .arg(sender, options.value(QStringLiteral("session_handle_token")).toString());
            results.insert(QStringLiteral("session_handle"), session);
        } else if (member == QLatin1String("BindShortcuts")) {
            QList<Shortcut> shortcuts;
            message.arguments().at(1).value<QDBusArgument>() >> shortcuts;
            QMutexLocker lock(&mutex);
            requested = shortcuts;
            response = declines ? 1 : 0;
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts));
        } else {
            return false;
        }
        QDBusMessage answer = QDBusMessage::createSignal(
            request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        answer << response << results;
        bus.send(answer);
        return true;
    }

    // A press of the bound key on the desktop.
    void press(const QString &id)
    {
        QMutexLocker lock(&mutex);
        QDBusMessage activated =
            QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                       kInterface, QStringLiteral("Activated"));
        activated << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234)
                  << QVariantMap();
        connection.send(activated);
    }
};

class PortalThread final : public QThread
{
public:
    explicit PortalThread(const QString &address) : m_address(address) {}
    ~PortalThread() override
    {
        quit();
        wait();
    }
    Portal *portal = nullptr; // lives on the thread; set once ready
    QAtomicInt ready;

protected:
    void run() override
    {
        Portal service;
        QDBusConnection bus = QDBusConnection::connectToBus(m_address, QStringLiteral("portal"));
        bus.registerVirtualObject(QStringLiteral("/org/freedesktop"), &service,
                                  QDBusConnection::SubPath);
        bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
        service.connection = bus;
        portal = &service;
        ready.storeRelease(1);
        exec();
        bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop"), QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
    }

private:
    QString m_address;
};

} // namespace

class TestPortalShortcut : public QObject
{
    Q_OBJECT

    std::unique_ptr<DesktopSession> m_session;

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<Shortcut>();
        qDBusRegisterMetaType<QList<Shortcut>>();
        // The session bus is chosen on first use: the private one.
        m_session = std::make_unique<DesktopSession>();
        QVERIFY(m_session->isRunning());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }

    void triggerTextsFollowThePortalRules()
    {
        QCOMPARE(PortalShortcut::triggerFor(QStringLiteral("Ctrl+Alt+M")),
                 QStringLiteral("CTRL+ALT+m"));
        QCOMPARE(PortalShortcut::triggerFor(QStringLiteral("Meta+Shift+F5")),
                 QStringLiteral("SHIFT+LOGO+F5"));
        QCOMPARE(PortalShortcut::triggerFor(QString()), QString());
    }

    void withoutPortalTheKeyIsRefusedWithTheReason()
    {
        QxtGlobalShortcut shortcut;
        shortcut.setBackend(QxtGlobalShortcut::Backend::Portal);
        QVERIFY(!shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+M"))));
        QVERIFY(!shortcut.isRegistered());
        QCOMPARE(shortcut.lastError(), QStringLiteral("the session has no desktop portal"));
    }

    void portalBindsTheKeyAndReportsPresses()
    {
        PortalThread thread(m_session->busAddress());
        thread.start();
        QTRY_VERIFY(thread.ready.loadAcquire());

        QxtGlobalShortcut shortcut;
        shortcut.setBackend(QxtGlobalShortcut::Backend::Portal);
        QSignalSpy activated(&shortcut, &QxtGlobalShortcut::activated);
        QSignalSpy failed(&shortcut, &QxtGlobalShortcut::registrationFailed);
        QVERIFY2(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+M"))),
                 qPrintable(shortcut.lastError()));
        QVERIFY(shortcut.isRegistered());
        QTRY_VERIFY([&] {
            QMutexLocker lock(&thread.portal->mutex);
            return !thread.portal->requested.isEmpty();
        }());
        Shortcut asked;
        {
            QMutexLocker lock(&thread.portal->mutex);
            asked = thread.portal->requested.value(0);
        }
        QCOMPARE(asked.properties.value(QStringLiteral("preferred_trigger")).toString(),
                 QStringLiteral("CTRL+ALT+m"));
        QVERIFY(!asked.properties.value(QStringLiteral("description")).toString().isEmpty());

        // The bound key pressed on the desktop; another program's id is not ours.
        QTRY_VERIFY(shortcut.findChild<PortalShortcut *>() &&
                    shortcut.findChild<PortalShortcut *>()->isBound());
        thread.portal->press(QStringLiteral("someone-else"));
        thread.portal->press(asked.id);
        QTRY_COMPARE(activated.count(), 1);
        // Signals arrive in order: a second press of ours counts once more,
        // so the other program's press was not counted.
        thread.portal->press(asked.id);
        QTRY_COMPARE(activated.count(), 2);
        QCOMPARE(failed.count(), 0);

        // A desktop that declines (the user said no).
        {
            QMutexLocker lock(&thread.portal->mutex);
            thread.portal->declines = true;
        }
        QVERIFY(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+K"))));
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(),
                 QStringLiteral("the shortcut was declined on the desktop"));
        QVERIFY(!shortcut.isRegistered());
    }
};

QTEST_GUILESS_MAIN(TestPortalShortcut)
#include "tst_portal_shortcut.moc"
