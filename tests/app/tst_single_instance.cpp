#include "app/single_instance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kelv;

namespace {

QString uniqueName()
{
    return QStringLiteral("kelv-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QByteArray ownReply()
{
    return QByteArrayLiteral("RES:") + QByteArray::number(QCoreApplication::applicationPid()) + ';';
}

// Reads from the socket until `wanted` bytes arrived, running the event loop
// meanwhile (the other side lives in this thread too); gives up after 20 s.
QByteArray readAtLeast(QLocalSocket &socket, qsizetype wanted)
{
    QByteArray received;
    QDeadlineTimer deadline(20000);
    while (received.size() < wanted && !deadline.hasExpired()) {
        received += socket.readAll();
        if (received.size() < wanted)
            QTest::qWait(5);
    }
    return received;
}

// Leaves a socket file behind as a crashed instance does: bound, never
// listened on, closed without unlinking.
bool createStaleSocketFile(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (size_t(encoded.size()) >= sizeof(address.sun_path)) {
        ::close(fd);
        return false;
    }
    memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SingleInstance> startPrimary(const QString &name)
    {
        auto instance = std::make_unique<SingleInstance>(name);
        instance->start();
        return instance;
    }

private slots:
    void commandFramingKeepsIncompleteTail()
    {
        InstanceCommandBuffer buffer;
        QCOMPARE(buffer.append("CMD:show;CMD:show;"), QStringList({"show", "show"}));
        QVERIFY(buffer.pending().isEmpty());

        QCOMPARE(buffer.append("CMD:sh"), QStringList());
        QCOMPARE(buffer.pending(), QByteArray("CMD:sh"));
        QCOMPARE(buffer.append("ow;CMD:"), QStringList({"show"}));
        QCOMPARE(buffer.pending(), QByteArray("CMD:"));
        QCOMPARE(buffer.append("ping;"), QStringList({"ping"}));
    }

    void segmentsWithoutCommandPrefixAreSkipped()
    {
        InstanceCommandBuffer buffer;
        QCOMPARE(buffer.append("hello;cmd:show; CMD:show;CMD:;CMD:x;;"),
                 QStringList({QString(), "x"}));
        QVERIFY(buffer.pending().isEmpty());
    }

    void aSegmentLongerThanTheBoundIsDroppedWhole()
    {
        // A peer that sends on without ending its segment: what is kept
        // stays within the bound, and the end of that segment, when it
        // comes, is not taken for a command of its own.
        InstanceCommandBuffer buffer;
        QCOMPARE(buffer.append("CMD:show;CMD:"), QStringList({"show"}));
        for (int i = 0; i < 40; ++i) {
            QCOMPARE(buffer.append(QByteArray(4096, 'x')), QStringList());
            QVERIFY(buffer.pending().size() <= InstanceCommandBuffer::kMaxPending);
        }
        QCOMPARE(buffer.append("xxCMD:quit;CMD:show;"), QStringList({"show"}));
        QVERIFY(buffer.pending().isEmpty());
        // Up to the bound a tail waits as before.
        const QByteArray longName(InstanceCommandBuffer::kMaxPending - 4, 'n');
        QCOMPARE(buffer.append("CMD:" + longName), QStringList());
        QCOMPARE(buffer.append(";"), QStringList({QString::fromLatin1(longName)}));
    }

    void replyIsFoundAnywhereOnceComplete()
    {
        QCOMPARE(parseInstanceReply("RES:123;"), std::optional<quint64>(123));
        QCOMPARE(parseInstanceReply("noiseRES:7;tail"), std::optional<quint64>(7));
        QVERIFY(!parseInstanceReply("RES:12"));
        QVERIFY(!parseInstanceReply("RES:;"));
        QVERIFY(!parseInstanceReply("RES:abc;"));
        QCOMPARE(parseInstanceReply("RES:99999999999999999999999;"), std::optional<quint64>(0));
        QCOMPARE(instanceReply(4242), QByteArray("RES:4242;"));
        // What waits for the rest of an answer is bounded, and the start of
        // an answer survives the noise before it.
        const QString noise(1 << 20, QLatin1Char('x'));
        QVERIFY(instanceReplyTail(noise).size() <= kMaxReplyTail);
        const QString kept = instanceReplyTail(noise + QStringLiteral("RES:18446744073709551615"));
        QCOMPARE(parseInstanceReply(kept + QStringLiteral(";")),
                 std::optional<quint64>(18446744073709551615ULL));
    }

    void primaryAnswersEachCommandOfOneRead()
    {
        const QString name = uniqueName();
        auto primary = startPrimary(name);
        QTRY_COMPARE(primary->role(), SingleInstance::Primary);
        QSignalSpy commands(primary.get(), &SingleInstance::commandReceived);

        QLocalSocket client;
        client.connectToServer(SingleInstance::socketPath(name));
        QVERIFY(client.waitForConnected(5000));
        client.write("CMD:show;CMD:show;");
        client.flush();
        QCOMPARE(readAtLeast(client, 2 * ownReply().size()), ownReply() + ownReply());
        QCOMPARE(commands.count(), 2);
        QCOMPARE(commands.at(0).at(0).toString(), QStringLiteral("show"));
    }

    void commandSplitAcrossReadsIsCompletedByTheNext()
    {
        const QString name = uniqueName();
        auto primary = startPrimary(name);
        QTRY_COMPARE(primary->role(), SingleInstance::Primary);
        QSignalSpy commands(primary.get(), &SingleInstance::commandReceived);

        QLocalSocket client;
        client.connectToServer(SingleInstance::socketPath(name));
        QVERIFY(client.waitForConnected(5000));
        QTRY_COMPARE(primary->clientCount(), 1);
        client.write("CMD:sh");
        client.flush();
        QTest::qWait(200); // let the primary read the first part on its own
        QCOMPARE(commands.count(), 0);
        QCOMPARE(client.bytesAvailable(), 0);

        client.write("ow;");
        client.flush();
        QCOMPARE(readAtLeast(client, ownReply().size()), ownReply());
        QCOMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toString(), QStringLiteral("show"));
    }

    void otherSegmentsGetNoAnswerAndOtherCommandsNoShow()
    {
        const QString name = uniqueName();
        auto primary = startPrimary(name);
        QTRY_COMPARE(primary->role(), SingleInstance::Primary);
        QSignalSpy commands(primary.get(), &SingleInstance::commandReceived);

        QLocalSocket client;
        client.connectToServer(SingleInstance::socketPath(name));
        QVERIFY(client.waitForConnected(5000));
        client.write("hello;");
        client.write("CMD:ping;");
        client.flush();
        QCOMPARE(readAtLeast(client, ownReply().size()), ownReply());
        QTest::qWait(200); // nothing else may follow
        QCOMPARE(client.readAll(), QByteArray());
        QCOMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toString(), QStringLiteral("ping"));
    }

    void anyNumberOfSecondInstancesAtOnce()
    {
        const QString name = uniqueName();
        auto primary = startPrimary(name);
        QTRY_COMPARE(primary->role(), SingleInstance::Primary);

        std::vector<std::unique_ptr<QLocalSocket>> clients;
        for (int i = 0; i < 6; ++i) {
            clients.push_back(std::make_unique<QLocalSocket>());
            clients.back()->connectToServer(SingleInstance::socketPath(name));
            QVERIFY(clients.back()->waitForConnected(5000));
        }
        for (auto &client : clients) {
            client->write("CMD:show;");
            client->flush();
        }
        for (auto &client : clients)
            QCOMPARE(readAtLeast(*client, ownReply().size()), ownReply());

        // Clients that went away are forgotten.
        clients.clear();
        QTRY_COMPARE(primary->clientCount(), 0);
    }

    void commandOfAClientThatLeftAtOnceIsStillCarriedOut()
    {
        const QString name = uniqueName();
        auto primary = startPrimary(name);
        QTRY_COMPARE(primary->role(), SingleInstance::Primary);
        QSignalSpy commands(primary.get(), &SingleInstance::commandReceived);
        {
            QLocalSocket client;
            client.connectToServer(SingleInstance::socketPath(name));
            QVERIFY(client.waitForConnected(5000));
            client.write("CMD:show;");
            client.flush();
            client.disconnectFromServer();
        }
        QTRY_COMPARE(commands.count(), 1);
        QTRY_COMPARE(primary->clientCount(), 0);
    }

    void secondInstanceAsksAndQuitsAfterTheAnswer()
    {
        const QString name = uniqueName();
        auto primary = startPrimary(name);
        QTRY_COMPARE(primary->role(), SingleInstance::Primary);
        QSignalSpy shown(primary.get(), &SingleInstance::commandReceived);

        SingleInstance second(name);
        QSignalSpy quit(&second, &SingleInstance::quitRequested);
        QSignalSpy becamePrimary(&second, &SingleInstance::primaryStarted);
        second.start();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(quit.at(0).at(0).toInt(), 0);
        QCOMPARE(second.role(), SingleInstance::Secondary);
        QCOMPARE(second.answeredPid(), quint64(QCoreApplication::applicationPid()));
        QCOMPARE(becamePrimary.count(), 0);
        QCOMPARE(shown.count(), 1);
        QCOMPARE(shown.at(0).at(0).toString(), QStringLiteral("show"));
    }

    void secondInstanceReadsAnAnswerInPieces()
    {
        const QString name = uniqueName();
        QLocalServer server;
        QVERIFY(server.listen(SingleInstance::socketPath(name)));
        SingleInstance second(name);
        QSignalSpy quit(&second, &SingleInstance::quitRequested);
        second.start();
        QVERIFY(server.waitForNewConnection(5000));
        QLocalSocket *peer = server.nextPendingConnection();
        QCOMPARE(readAtLeast(*peer, 9), QByteArray("CMD:show;"));
        peer->write(QByteArray(4 << 20, 'x')); // a peer that talks on first
        peer->write("RES:4");
        peer->flush();
        QTest::qWait(200);
        QCOMPARE(quit.count(), 0);
        peer->write("2;");
        peer->flush();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(second.answeredPid(), quint64(42));
    }

    void unreadableAnswerWaitsUntilTheConnectionEnds()
    {
        const QString name = uniqueName();
        QLocalServer server;
        QVERIFY(server.listen(SingleInstance::socketPath(name)));
        SingleInstance second(name);
        QSignalSpy quit(&second, &SingleInstance::quitRequested);
        second.start();
        QVERIFY(server.waitForNewConnection(5000));
        QLocalSocket *peer = server.nextPendingConnection();
        QCOMPARE(readAtLeast(*peer, 9), QByteArray("CMD:show;"));
        peer->write("RES:abc;");
        peer->flush();
        QTest::qWait(200);
        QCOMPARE(quit.count(), 0);
        peer->disconnectFromServer();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(quit.at(0).at(0).toInt(), 0);
        QCOMPARE(second.answeredPid(), quint64(0));
    }

    void aStartWaitingForAnotherThatBeginsToListenAsksIt()
    {
        // Two starts at the same moment: the first holds the start-up lock
        // while it begins to listen; the second, which found no server, waits
        // for the lock, then finds the first and asks it.
        const QString name = uniqueName();
        const QString path = SingleInstance::socketPath(name);
        QLockFile lock(SingleInstance::lockPath(path));
        QVERIFY(lock.tryLock(0));
        QThread otherStart;
        QLocalServer *server = nullptr;
        QObject::connect(&otherStart, &QThread::started, [&] {
            QThread::msleep(1000);
            server = new QLocalServer;
            if (server->listen(path)) {
                QObject::connect(server, &QLocalServer::newConnection, server, [server] {
                    while (QLocalSocket *peer = server->nextPendingConnection()) {
                        QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer] {
                            if (peer->readAll().contains("CMD:show;"))
                                peer->write("RES:42;");
                        });
                    }
                });
            }
            lock.unlock();
        });
        QObject::connect(&otherStart, &QThread::finished, [&] { delete server; });
        otherStart.start();
        const auto stopOtherStart = qScopeGuard([&] {
            otherStart.quit();
            otherStart.wait(10000);
        });

        SingleInstance second(name);
        QSignalSpy quit(&second, &SingleInstance::quitRequested);
        QSignalSpy becamePrimary(&second, &SingleInstance::primaryStarted);
        QTest::ignoreMessage(QtInfoMsg, "an instance started meanwhile; contacting it");
        second.start();
        QTRY_COMPARE_WITH_TIMEOUT(quit.count(), 1, 20000);
        QCOMPARE(quit.at(0).at(0).toInt(), 0);
        QCOMPARE(second.role(), SingleInstance::Secondary);
        QCOMPARE(second.answeredPid(), quint64(42));
        QCOMPARE(becamePrimary.count(), 0);
    }

    void staleSocketFileDoesNotStopTheNextStart()
    {
        const QString name = uniqueName();
        const QString path = SingleInstance::socketPath(name);
        QVERIFY(createStaleSocketFile(path));
        QVERIFY(QFile::exists(path));

        SingleInstance primary(name);
        QSignalSpy started(&primary, &SingleInstance::primaryStarted);
        primary.start();
        QTRY_COMPARE(started.count(), 1);
        QCOMPARE(primary.role(), SingleInstance::Primary);

        QLocalSocket client;
        client.connectToServer(SingleInstance::socketPath(name));
        QVERIFY(client.waitForConnected(5000));
        client.write("CMD:show;");
        client.flush();
        QCOMPARE(readAtLeast(client, ownReply().size()), ownReply());
    }

    void listenFailureRequestsQuitWithFailure()
    {
        SingleInstance primary(QStringLiteral("/nonexistent-kelv-folder/instance"));
        QSignalSpy quit(&primary, &SingleInstance::quitRequested);
        QSignalSpy started(&primary, &SingleInstance::primaryStarted);
        primary.start();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(quit.at(0).at(0).toInt(), 1);
        QCOMPARE(primary.role(), SingleInstance::Failed);
        QCOMPARE(started.count(), 0);
    }

    void socketAndLockLiveInTheUsersPrivateFolder()
    {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid()); // created 0700
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString name = uniqueName();
        {
            SingleInstance primary(name);
            QCOMPARE(primary.serverName(), runtime.filePath(name));
            QSignalSpy started(&primary, &SingleInstance::primaryStarted);
            primary.start();
            QTRY_COMPARE(started.count(), 1);
            QVERIFY(QFileInfo(runtime.filePath(name)).exists());
            QVERIFY(!QFile::exists(QDir::temp().filePath(name)));
        }
        // The Windows-style name becomes one file name.
        QCOMPARE(SingleInstance::socketPath(SingleInstance::defaultServerName()),
                 runtime.filePath(QStringLiteral("Global_{3D7D4291-F1B2-41FC-BC09-95730FDD23AB}")));
        // The start-up lock sits beside a socket file; a pipe name as Windows
        // listens on (no file, no folder) gets its lock in the private folder,
        // never relative to the current folder.
        QCOMPARE(SingleInstance::lockPath(runtime.filePath(name)),
                 runtime.filePath(name) + QStringLiteral(".lock"));
        QCOMPARE(
            SingleInstance::lockPath(SingleInstance::defaultServerName()),
            runtime.filePath(QStringLiteral("Global_{3D7D4291-F1B2-41FC-BC09-95730FDD23AB}.lock")));

        // A runtime folder that others may enter is not used: the socket goes
        // to a 0700 folder of this user's instead.
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                          QFile::ExeOwner | QFile::ReadOther |
                                                          QFile::WriteOther | QFile::ExeOther));
        const QString fallback = SingleInstance::privateRuntimeFolder();
        const QString path = SingleInstance::socketPath(name);
        if (saved.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY(!path.startsWith(runtime.path()));
        QCOMPARE(QFileInfo(path).absolutePath(), fallback);
        const QFileInfo folder(fallback);
        QCOMPARE(folder.ownerId(), uint(geteuid()));
        QCOMPARE(
            int(folder.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther)),
            0);
    }

    void aLongRuntimeFolderStillHoldsTheSocket()
    {
        // A socket file's path has a bound (107 bytes on Linux); the default
        // name in a runtime folder of 70 characters is beyond it.
        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QString runtime =
            base.filePath(QString(qMax(1, 70 - base.path().size()), QLatin1Char('r')));
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        const auto restore = qScopeGuard([&] {
            if (saved.isNull())
                qunsetenv("XDG_RUNTIME_DIR");
            else
                qputenv("XDG_RUNTIME_DIR", saved);
        });
        const QString name = SingleInstance::defaultServerName();
        const QString path = SingleInstance::socketPath(name);
        QCOMPARE(QFileInfo(path).absolutePath(), runtime);
        QCOMPARE(SingleInstance::socketPath(name), path);

        SingleInstance primary(name);
        QSignalSpy started(&primary, &SingleInstance::primaryStarted);
        primary.start();
        QTRY_COMPARE(started.count(), 1);
        QCOMPARE(primary.role(), SingleInstance::Primary);
        SingleInstance second(name);
        QSignalSpy quit(&second, &SingleInstance::quitRequested);
        second.start();
        QTRY_COMPARE(quit.count(), 1);
        QCOMPARE(second.role(), SingleInstance::Secondary);
    }

    void defaultServerNameIsTheMachineWideOne()
    {
        QCOMPARE(SingleInstance::defaultServerName(),
                 QStringLiteral("Global\\{3D7D4291-F1B2-41FC-BC09-95730FDD23AB}"));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
