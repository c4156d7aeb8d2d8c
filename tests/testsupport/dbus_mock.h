#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace kelv::test {

// A private D-Bus bus of the test's own (dbus-daemon), standing in for the system or the
// session bus while the object lives (DBUS_SYSTEM_BUS_ADDRESS or DBUS_SESSION_BUS_ADDRESS),
// and Debian's python3-dbusmock serving its templates on it (upower, notification_daemon).
class DBusMock
{
public:
    enum class Kind { System, Session };

    explicit DBusMock(Kind kind);
    // Templates on a bus that is already there (another fixture's): nothing is started and no
    // variable is changed but for the templates.
    DBusMock(Kind kind, const QString &address);
    ~DBusMock();
    DBusMock(const DBusMock &) = delete;
    DBusMock &operator=(const DBusMock &) = delete;

    // Empty when dbusmock can run here; otherwise why not (the suites skip).
    static QString unavailable();

    bool running() const
    {
        return (!m_ownBus || m_bus.state() == QProcess::Running) && !m_address.isEmpty();
    }
    QString address() const { return m_address; }
    // Starts `python3 -m dbusmock --template <name>` on the bus and waits for its name.
    bool startTemplate(const QString &name, const QString &busName);
    // Ends the template's process (its name goes from the bus).
    void stopTemplates();
    // busctl on the bus; its standard output (--json=short when json).
    QByteArray busctl(const QStringList &arguments, bool *ok = nullptr, bool json = false) const;
    // The calls the mock object at path received (org.freedesktop.DBus.Mock.GetCalls): one
    // [time, method, [arguments]] per call, as busctl prints them in JSON.
    QJsonArray calls(const QString &busName, const QString &path) const;

private:
    Kind m_kind;
    QTemporaryDir m_root;
    QProcess m_bus;
    std::vector<std::unique_ptr<QProcess>> m_templates;
    QString m_address;
    const char *m_variable;
    QByteArray m_saved;
    bool m_had = false;
    bool m_ownBus = true;
};

} // namespace kelv::test
