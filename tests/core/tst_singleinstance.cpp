#include "SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_DECLARE_METATYPE(InstanceRequest)

namespace {

// Sends bytes to the running instance's socket as a later start would, from another
// thread, and returns its one-byte answer (0 when it closed without one).
char sendRaw(const QString &folder, const QByteArray &bytes)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(folder) + "/tellwick.socket";
    std::memcpy(address.sun_path, path.constData(), path.size());
    char answer = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL) == bytes.size() &&
        ::shutdown(fd, SHUT_WR) == 0 && ::recv(fd, &answer, 1, 0) != 1)
        answer = 0;
    ::close(fd);
    return answer;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    // A later start finds the first one and hands its request over, whatever the request.
    void laterStartHandsOver_data()
    {
        QTest::addColumn<InstanceRequest>("request");
        QTest::addRow("plain start") << InstanceRequest{};
        QTest::addRow("setup") << InstanceRequest{InstanceRequest::Kind::Setup, {}};
        QTest::addRow("finger ipv6, forwarded name")
            << InstanceRequest{InstanceRequest::Kind::Finger,
                               {QStringLiteral("root@inner"), QStringLiteral("2001:db8::7")}};
        QTest::addRow("finger list, unicode host") << InstanceRequest{
            InstanceRequest::Kind::Finger, {QString(), QStringLiteral("bü.example")}};
    }

    void laterStartHandsOver()
    {
        QFETCH(InstanceRequest, request);
        QTemporaryDir folder;
        SingleInstance first(folder.path());
        QCOMPARE(first.claim(), SingleInstance::Claim::First);
        first.serve();
        QSignalSpy spy(&first, &SingleInstance::requested);

        SingleInstance later(folder.path());
        QCOMPARE(later.claim(), SingleInstance::Claim::Running);
        auto handedOver =
            std::async(std::launch::async, [&] { return later.handOver(request, 10000); });
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        QVERIFY2(handedOver.get(), qPrintable(later.errorText()));
        QCOMPARE(spy.first().first().value<InstanceRequest>(), request);
    }

    // Whatever arrives that is not a request is closed without an answer or a signal.
    void strangeBytesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("unknown kind") << QByteArray("open\n");
        QTest::addRow("no line end") << QByteArray("setup");
        QTest::addRow("setup with an argument") << QByteArray("setup\nroot@host");
        QTest::addRow("finger without host") << QByteArray("finger\nroot");
        QTest::addRow("finger with a line end") << QByteArray("finger\nro\not@host");
        QTest::addRow("too long") << QByteArray("finger\n") + QByteArray(5000, 'a') + "@host";
    }

    void strangeBytesAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir folder;
        SingleInstance first(folder.path());
        QCOMPARE(first.claim(), SingleInstance::Claim::First);
        first.serve();
        QSignalSpy spy(&first, &SingleInstance::requested);
        auto answer = std::async(std::launch::async, [&] { return sendRaw(folder.path(), bytes); });
        while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            QCoreApplication::processEvents();
        QCOMPARE(answer.get(), char(0));
        // One good request afterwards still gets through.
        answer = std::async(std::launch::async, [&] { return sendRaw(folder.path(), "setup\n"); });
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        QCOMPARE(answer.get(), 'k');
    }

    // A program that crashed leaves its socket file behind, but not its lock.
    void leftoverSocketIsReplaced()
    {
        QTemporaryDir folder;
        {
            SingleInstance crashed(folder.path());
            QCOMPARE(crashed.claim(), SingleInstance::Claim::First);
        }
        // Its lock went with it; a crash would have left its socket file.
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(folder.filePath("tellwick.socket"));
        std::memcpy(address.sun_path, path.constData(), path.size());
        QCOMPARE(::bind(stale, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        ::close(stale);

        SingleInstance next(folder.path());
        QCOMPARE(next.claim(), SingleInstance::Claim::First);
        next.serve();
        QSignalSpy spy(&next, &SingleInstance::requested);
        auto answer =
            std::async(std::launch::async, [&] { return sendRaw(folder.path(), "start\n"); });
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        QCOMPARE(answer.get(), 'k');
    }

    void noFolderFailsClearly()
    {
        SingleInstance instance(QString{});
        QCOMPARE(instance.claim(), SingleInstance::Claim::Failed);
        QVERIFY(!instance.errorText().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
