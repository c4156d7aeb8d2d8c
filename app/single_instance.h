#pragma once

#include <QByteArray>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <optional>

namespace kelv {

// Framing of the commands a second instance sends: ASCII segments, each ended
// by ";". Bytes are collected per connection; every complete segment that
// starts with "CMD:" yields its command (the text after "CMD:"), other complete
// segments are skipped, an incomplete tail waits for the next read.
class InstanceCommandBuffer
{
public:
    // The longest incomplete tail kept: a command is a few bytes, and a peer
    // that sends on without ever ending one must not fill the memory. A tail
    // beyond it is dropped with the rest of its segment (never a command).
    static constexpr qsizetype kMaxPending = 64 * 1024;

    // Appends bytes and returns the commands completed by them, in order.
    QStringList append(const QByteArray &bytes);
    QByteArray pending() const { return m_buffer; }

private:
    QByteArray m_buffer;
    bool m_skipping = false; // inside a segment whose start was dropped
};

// The running instance's answer "RES:<pid>;" found anywhere in what a second
// instance has received so far; nothing while it is incomplete.
std::optional<quint64> parseInstanceReply(const QString &received);

// What a second instance keeps of what it received while no answer is
// complete: the last kMaxReplyTail characters, room for any answer ("RES:",
// twenty digits, ";"), so a peer that sends on without answering cannot fill
// the memory.
constexpr qsizetype kMaxReplyTail = 64;
QString instanceReplyTail(const QString &received);

// The answer to one command: "RES:" + process id + ";".
QByteArray instanceReply(qint64 pid);

// One instance per user over a local socket. start() first tries to reach
// a running instance: when it connects, this process is a second instance,
// sends "CMD:show;", waits for the answer and then asks to quit. When nothing
// answers it becomes the primary instance: it removes a socket file left by a
// crashed instance, listens, reports primaryStarted() and answers every
// command of later starts ("show" also raises commandReceived).
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    enum Role { Undecided, Secondary, Primary, Failed };
    Q_ENUM(Role)

    // The name of the instance server.
    static QString defaultServerName();
    // Where the server of that name listens. On Linux a socket file (with its
    // lock file beside it) in the user's private runtime folder, so one user
    // can neither block nor answer for another; an absolute path is used as
    // it stands. On Windows the name itself.
    static QString socketPath(const QString &serverName);
    // The lock that makes simultaneous starts decide one after the other:
    // beside a socket file; for a server that is no file (a Windows pipe
    // name), in the user's private runtime folder under the name made a file
    // name.
    static QString lockPath(const QString &serverPath);
    // XDG_RUNTIME_DIR when it is private to the user, else a 0700 folder of
    // the user's.
    static QString privateRuntimeFolder();

    explicit SingleInstance(const QString &serverName, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The resolved server name (socketPath of the name given).
    QString serverName() const { return m_serverName; }
    Role role() const { return m_role; }
    // The pid the running instance answered with (second instance only).
    quint64 answeredPid() const { return m_answeredPid; }
    int clientCount() const { return int(m_clients.size()); }

    // Connects to the server name; what follows is driven by the socket.
    void start();
    // Closes the client socket and stops listening.
    void close();

signals:
    // This process is the primary instance and listens now.
    void primaryStarted();
    // A second instance sent a command (before its answer goes out).
    void commandReceived(const QString &command);
    // This process has nothing more to do: a second instance got its answer or
    // lost its connection (exitCode 0), or listening failed (exitCode 1).
    void quitRequested(int exitCode);

public slots:
    void socketConnected();
    void socketError(QLocalSocket::LocalSocketError error);
    void socketDisconnected();
    void socketReading();
    void newInstanceConnected();
    void readClients();
    void removeClients();

private:
    struct Client
    {
        QPointer<QLocalSocket> socket;
        InstanceCommandBuffer buffer;
    };

    void becomePrimary();
    void finishSecondary();

    QString m_serverName;
    Role m_role = Undecided;
    QLocalSocket m_socket;
    QLocalServer m_server;
    QString m_reply;
    QList<Client> m_clients;
    bool m_connectedAsClient = false;
    bool m_finished = false;
    quint64 m_answeredPid = 0;
};

} // namespace kelv
