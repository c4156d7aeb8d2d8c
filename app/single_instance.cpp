#include "app/single_instance.h"

#include "app/app_log.h"
#include "app/window_title.h"
#include "platform/instance_window.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QStandardPaths>

namespace kelv {

QStringList InstanceCommandBuffer::append(const QByteArray &bytes)
{
    // The rest of a segment whose start was dropped is dropped too.
    qsizetype from = 0;
    if (m_skipping) {
        from = bytes.indexOf(';');
        if (from < 0)
            return {};
        ++from;
        m_skipping = false;
    }
    m_buffer.append(bytes.constData() + from, bytes.size() - from);
    QStringList commands;
    const qsizetype last = m_buffer.lastIndexOf(';');
    if (last >= 0) {
        const QList<QByteArray> segments = m_buffer.left(last).split(';');
        for (const QByteArray &segment : segments) {
            const QString text = QString::fromLocal8Bit(segment);
            if (text.startsWith(QLatin1String("CMD:")))
                commands.append(text.mid(4));
        }
        m_buffer.remove(0, last + 1);
    }
    if (m_buffer.size() > kMaxPending) {
        m_buffer.clear();
        m_skipping = true;
    }
    return commands;
}

std::optional<quint64> parseInstanceReply(const QString &received)
{
    static const QRegularExpression answer(QStringLiteral("RES:(\\d+);"));
    const QRegularExpressionMatch match = answer.match(received);
    if (!match.hasMatch())
        return std::nullopt;
    // Digits that overflow 64 bits read as 0, like any other unreadable id.
    return match.captured(1).toULongLong();
}

QString instanceReplyTail(const QString &received)
{
    return received.right(kMaxReplyTail);
}

QByteArray instanceReply(qint64 pid)
{
    return QByteArrayLiteral("RES:") + QByteArray::number(pid) + ';';
}

QString SingleInstance::defaultServerName()
{
    return QStringLiteral("Global\\{3D7D4291-F1B2-41FC-BC09-95730FDD23AB}");
}

QString SingleInstance::privateRuntimeFolder()
{
    // XDG_RUNTIME_DIR when it is a folder of this user's that nobody else may
    // enter; otherwise Qt makes (or repairs) a 0700 folder of the user's in
    // the temporary folder. When even that belongs to someone else, a folder
    // under the user's own cache folder takes its place.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime;
    const QString fallback =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
        QStringLiteral("/kelv-runtime");
    QDir().mkpath(fallback);
    QFile::setPermissions(fallback, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return fallback;
}

namespace {

// The server name made one file name in the private runtime folder.
QString privateFilePath(const QString &serverName)
{
    QString fileName = serverName;
    fileName.replace(QLatin1Char('/'), QLatin1Char('_'))
        .replace(QLatin1Char('\\'), QLatin1Char('_'));
    return SingleInstance::privateRuntimeFolder() + QLatin1Char('/') + fileName;
}

#ifndef Q_OS_WIN
// The longest path a local socket can be bound to (the address holds 108
// bytes with the terminating NUL).
constexpr qsizetype kMaxSocketPathBytes = 107;

// A socket path within that bound: in a runtime folder with a long path the
// server name gives way to a short one made from it, the same for every start.
QString boundedSocketPath(const QString &path, const QString &serverName)
{
    if (QFile::encodeName(path).size() <= kMaxSocketPathBytes)
        return path;
    const QByteArray digest =
        QCryptographicHash::hash(serverName.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QFileInfo(path).path() + QStringLiteral("/kelv-") + QString::fromLatin1(digest.left(16));
}
#endif

} // namespace

QString SingleInstance::socketPath(const QString &serverName)
{
#ifdef Q_OS_WIN
    // A named pipe of the user's session.
    return serverName;
#else
    // A local socket is a file: in a shared folder any local user could
    // create it first and block or answer for this user's program.
    if (QDir::isAbsolutePath(serverName))
        return serverName;
    return boundedSocketPath(privateFilePath(serverName), serverName);
#endif
}

QString SingleInstance::lockPath(const QString &serverPath)
{
    // A pipe name is relative: a lock named after it would go to whatever the
    // current folder is (and fail there), and two starts would both listen.
    if (QDir::isAbsolutePath(serverPath))
        return serverPath + QStringLiteral(".lock");
    return privateFilePath(serverPath) + QStringLiteral(".lock");
}

SingleInstance::SingleInstance(const QString &serverName, QObject *parent)
    : QObject(parent), m_serverName(socketPath(serverName))
{
    connect(&m_socket, &QLocalSocket::connected, this, &SingleInstance::socketConnected);
    connect(&m_socket, &QLocalSocket::disconnected, this, &SingleInstance::socketDisconnected);
    connect(&m_socket, &QLocalSocket::errorOccurred, this, &SingleInstance::socketError);
    connect(&m_socket, &QLocalSocket::readyRead, this, &SingleInstance::socketReading);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::newInstanceConnected);
}

SingleInstance::~SingleInstance()
{
    close();
}

void SingleInstance::start()
{
    m_socket.connectToServer(m_serverName, QIODevice::ReadWrite);
}

void SingleInstance::close()
{
    // The server deletes its sockets when it closes, and a socket that goes
    // reports "disconnected": forget the clients first so that nothing here
    // runs for sockets that are being deleted.
    for (const Client &client : std::as_const(m_clients)) {
        if (client.socket)
            client.socket->disconnect(this);
    }
    m_clients.clear();
    m_server.close();
    m_socket.blockSignals(true);
    m_socket.abort();
    m_socket.blockSignals(false);
}

void SingleInstance::socketConnected()
{
    m_connectedAsClient = true;
    m_role = Secondary;
    qCInfo(lcApp) << "another instance is running, asking it to show its window";
    m_socket.write(QStringLiteral("CMD:show;").toLocal8Bit());
    m_socket.flush();
}

void SingleInstance::socketReading()
{
    if (m_socket.state() != QLocalSocket::ConnectedState)
        return;
    m_reply += QString::fromUtf8(m_socket.readAll());
    const std::optional<quint64> pid = parseInstanceReply(m_reply);
    if (!pid) {
        m_reply = instanceReplyTail(m_reply);
        return;
    }
    m_answeredPid = *pid;
    qCInfo(lcApp) << "running instance" << m_answeredPid << "answered";
    // The running instance also raises itself when it handles "show"; on X11
    // it may not take the focus from another program without this request.
    if (m_answeredPid != 0 && !platform::raiseInstanceWindow(m_answeredPid, kMainWindowTitle))
        qCInfo(lcApp) << "the running instance's window could not be raised from here";
    finishSecondary();
}

void SingleInstance::socketDisconnected()
{
    if (m_connectedAsClient)
        finishSecondary();
}

void SingleInstance::socketError(QLocalSocket::LocalSocketError error)
{
    if (m_connectedAsClient) {
        finishSecondary();
        return;
    }
    if (m_role != Undecided)
        return;
    qCInfo(lcApp) << "no running instance answered:" << error;
    becomePrimary();
}

void SingleInstance::becomePrimary()
{
    m_socket.blockSignals(true);
    m_socket.abort();
    m_socket.blockSignals(false);

    // Starts that happen at the same moment decide one after the other: the
    // lock makes "check again, remove a stale socket file, listen" one step,
    // so a start never removes the socket of an instance that just began to
    // listen.
    // The lock sits beside the socket, in the user's private folder.
    QLockFile lock(lockPath(m_serverName));
    lock.setStaleLockTime(10000);
    const bool locked = lock.tryLock(10000);

    QLocalSocket probe;
    probe.connectToServer(m_serverName, QIODevice::ReadWrite);
    if (probe.waitForConnected(1000)) {
        probe.abort();
        if (locked)
            lock.unlock();
        qCInfo(lcApp) << "an instance started meanwhile; contacting it";
        // Not from within the socket's own error report (this runs in it):
        // the socket ends that report by closing itself, which would leave a
        // connection made now deaf, and this start waiting for ever.
        QMetaObject::invokeMethod(
            this, [this] { m_socket.connectToServer(m_serverName, QIODevice::ReadWrite); },
            Qt::QueuedConnection);
        return;
    }

    // Nobody answers: a socket file that is still there was left by an
    // instance that crashed, and would make listen fail.
    QLocalServer::removeServer(m_serverName);
    if (!m_server.listen(m_serverName)) {
        m_role = Failed;
        qCWarning(lcApp) << "cannot listen on" << m_serverName << ":" << m_server.errorString();
        emit quitRequested(1);
        return;
    }
    m_role = Primary;
    emit primaryStarted();
}

void SingleInstance::finishSecondary()
{
    if (m_finished)
        return;
    m_finished = true;
    emit quitRequested(0);
}

void SingleInstance::newInstanceConnected()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        m_clients.append(Client{socket, {}});
        connect(socket, &QLocalSocket::readyRead, this, &SingleInstance::readClients);
        connect(socket, &QLocalSocket::disconnected, this, &SingleInstance::removeClients);
    }
}

void SingleInstance::readClients()
{
    const QByteArray answer = instanceReply(QCoreApplication::applicationPid());
    for (qsizetype i = 0; i < m_clients.size(); ++i) {
        QLocalSocket *socket = m_clients[i].socket;
        if (!socket || !socket->isOpen() || socket->bytesAvailable() <= 0)
            continue;
        const QByteArray bytes = socket->readAll();
        const QStringList commands = m_clients[i].buffer.append(bytes);
        for (const QString &command : commands) {
            emit commandReceived(command);
            if (socket->state() == QLocalSocket::ConnectedState) {
                socket->write(answer);
                socket->flush();
            }
        }
    }
}

void SingleInstance::removeClients()
{
    // A start that wrote its command and went away at once still gets its
    // command carried out.
    readClients();
    for (qsizetype i = m_clients.size() - 1; i >= 0; --i) {
        QLocalSocket *socket = m_clients[i].socket;
        if (!socket || socket->state() != QLocalSocket::ConnectedState) {
            m_clients.removeAt(i);
            if (socket)
                socket->deleteLater();
        }
    }
}

} // namespace kelv
