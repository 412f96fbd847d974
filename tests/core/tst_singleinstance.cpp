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

sockaddr_un socketIn(const QTemporaryDir &folder)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(folder.filePath(QStringLiteral("tellwick.socket")));
    std::memcpy(address.sun_path, path.constData(), path.size());
    return address;
}

// What a later start sends, written raw; returns the one-byte answer, 0 for none.
char sendRaw(const QTemporaryDir &folder, const QByteArray &bytes)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = socketIn(folder);
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
    // A later start finds the first one and hands over whatever it was asked; bytes that are
    // no request get neither an answer nor a signal, and the next request still gets through.
    void laterStartHandsOver_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("taken");
        const auto encoded = [](InstanceRequest::Kind kind, const char *name, const char *host) {
            return InstanceRequest{kind, {QString::fromUtf8(name), QString::fromUtf8(host)}}
                .encoded();
        };
        QTest::addRow("plain start") << encoded(InstanceRequest::Kind::Start, "", "") << true;
        QTest::addRow("setup") << encoded(InstanceRequest::Kind::Setup, "", "") << true;
        QTest::addRow("finger ipv6, forwarded name")
            << encoded(InstanceRequest::Kind::Finger, "root@inner", "2001:db8::7") << true;
        QTest::addRow("finger list, unicode host")
            << encoded(InstanceRequest::Kind::Finger, "", "bü.example") << true;
        QTest::addRow("unknown kind") << QByteArray("open\n") << false;
        QTest::addRow("setup with an argument") << QByteArray("setup\nroot@host") << false;
        QTest::addRow("finger without host") << QByteArray("finger\nroot") << false;
        QTest::addRow("finger with a line end") << QByteArray("finger\nro\not@host") << false;
        QTest::addRow("too long") << QByteArray("finger\n") + QByteArray(5000, 'a') + "@h" << false;
    }

    void laterStartHandsOver()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, taken);
        QTemporaryDir folder;
        SingleInstance first(folder.path());
        QCOMPARE(first.claim(), SingleInstance::Claim::First);
        first.serve();
        QSignalSpy spy(&first, &SingleInstance::requested);
        QCOMPARE(SingleInstance(folder.path()).claim(), SingleInstance::Claim::Running);

        auto answer = std::async(std::launch::async, [&] { return sendRaw(folder, bytes); });
        while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            QCoreApplication::processEvents();
        QCOMPARE(answer.get(), taken ? 'k' : char(0));
        if (taken) {
            QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
            QCOMPARE(spy.first().first().value<InstanceRequest>().encoded(), bytes);
            return;
        }
        SingleInstance later(folder.path());
        QVERIFY(later.claim() == SingleInstance::Claim::Running);
        auto handedOver = std::async(std::launch::async, [&] {
            return later.handOver(InstanceRequest{InstanceRequest::Kind::Setup, {}}, 5000);
        });
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
        QVERIFY2(handedOver.get(), qPrintable(later.errorText()));
    }

    // A program that crashed leaves its socket file behind, but its lock goes with it.
    void leftoverSocketIsReplaced()
    {
        QTemporaryDir folder;
        QCOMPARE(SingleInstance(folder.path()).claim(), SingleInstance::Claim::First);
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = socketIn(folder);
        QCOMPARE(::bind(stale, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        ::close(stale);

        SingleInstance next(folder.path());
        QCOMPARE(next.claim(), SingleInstance::Claim::First);
        next.serve();
        auto answer = std::async(std::launch::async, [&] { return sendRaw(folder, "start\n"); });
        while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            QCoreApplication::processEvents();
        QCOMPARE(answer.get(), 'k');
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
