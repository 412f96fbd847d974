#pragma once

// What the fault tests share: the replies a finger client must get; the real program in a
// process of its own; and plain blocking clients with time limits.

#include "ExpectedReplies.h"
#include "FingerReply.h"
#include "TestFiles.h"
#include <QByteArray>
#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <memory>

namespace fault {

// The login the program derives for the user this test runs as (no blanks in Unix names).
inline QByteArray login()
{
    const passwd *entry = ::getpwuid(::geteuid());
    QByteArray name = entry ? QByteArray(entry->pw_name) : QByteArray();
    for (char &c : name) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return name;
}

// The facts the program reports about this machine.
inline ComputerFacts machineFacts()
{
    utsname names{};
    ::uname(&names);
    const QByteArrayList release = QByteArray(names.release).split('.');
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return {"Unknown", release.value(0).toInt(), release.value(1).toInt(), QByteArray(host)};
}

inline QByteArray listReply()
{
    return ExpectedReplies::header() + ExpectedReplies::information(machineFacts()) +
           ExpectedReplies::listed(login());
}

// The reply the program sends with its default settings to a request it received: the
// receive ends the request at its first NUL byte.
inline QByteArray replyTo(QByteArray request)
{
    if (const qsizetype nul = request.indexOf('\0'); nul != -1)
        request.truncate(nul);
    FingerDetails details;
    details.RealName = "Unknown";
    details.HPhone = details.OPhone = "-";
    details.Login = login();
    return BuildFingerReply(request, details, machineFacts()).bytes;
}

inline QByteArray registryText(const QList<QPair<QByteArray, QByteArray>> &values)
{
    QByteArray text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tellwick]\r\n";
    for (const auto &[name, value] : values)
        text += "\"" + name + "\"=" + value + "\r\n";
    return text;
}

// A blocking client socket connected to 127.0.0.1:port within the limit, or -1; from the
// loopback address source when one is given (the system picks 127.0.0.1 otherwise).
inline int connectTo(quint16 port, int limitMs = 20000, const char *source = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1)
        return -1;
    const auto fail = [fd] {
        ::close(fd);
        return -1;
    };
    if (source) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1)
            return fail();
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1) {
        if (errno != EINPROGRESS)
            return fail();
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (::poll(&entry, 1, limitMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == -1 || error != 0)
            return fail();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

struct Answer
{
    bool connected = false;
    bool complete = false; // the server closed after its reply, within the time limit
    QByteArray bytes;
};

// Sends the request and reads to the end, within a time limit for the whole query, the
// connect included.
inline Answer query(quint16 port, const QByteArray &request, int limitMs = 20000,
                    const char *source = nullptr)
{
    Answer answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    const int fd = connectTo(port, limitMs, source);
    if (fd == -1)
        return answer;
    answer.connected = true;
    qsizetype sent = 0;
    while (sent < request.size()) {
        const ssize_t n =
            ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            break; // answered and closed before it took everything
        sent += n;
    }
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&entry, 1, int(left)) == 0)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            answer.bytes.append(buffer, n);
            continue;
        }
        if (n == -1 && errno == EINTR)
            continue;
        answer.complete = n == 0;
        break;
    }
    ::close(fd);
    return answer;
}

// The real program, in this test's network namespace, with a settings folder of its own.
class Program
{
public:
    explicit Program(const QString &configHome) : m_configHome(configHome)
    {
        m_runtime.setAutoRemove(true);
    }
    ~Program() { stop(); }

    static QString executable() { return qEnvironmentVariable("TELLWICK_PROGRAM"); }

    // Before start: the program starts with these descriptor limits.
    void limitDescriptors(rlim_t soft, rlim_t hard)
    {
        m_process.setChildProcessModifier([soft, hard] {
            const rlimit limit{soft, hard};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
    }

    // Before start: the program's standard error goes to this file, where a test can count
    // its lines.
    void sendErrorsTo(const QString &path) { m_errorFile = path; }

    qint64 processId() const { return m_process.processId(); }

    // Before start: run the program through this command (setpriv and its options).
    void setWrapper(const QStringList &wrapper) { m_wrapper = wrapper; }
    // Before start: keep the program's standard error for standardError().
    void keepStandardError() { m_keepStandardError = true; }
    QByteArray standardError() { return m_process.readAllStandardError(); }
    QString runtimeFolder() const { return m_runtime.path(); }

    void start()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("XDG_CONFIG_HOME", m_configHome);
        environment.insert("XDG_RUNTIME_DIR", m_runtime.path());
        environment.insert("HOME", m_configHome);
        m_process.setProcessEnvironment(environment);
        const bool separate = m_keepStandardError || !m_errorFile.isEmpty();
        m_process.setProcessChannelMode(separate ? QProcess::SeparateChannels
                                                 : QProcess::ForwardedErrorChannel);
        if (!m_errorFile.isEmpty())
            m_process.setStandardErrorFile(m_errorFile);
        if (m_wrapper.isEmpty())
            m_process.start(executable(), QStringList());
        else
            m_process.start(m_wrapper.first(), m_wrapper.mid(1) << executable());
        m_process.waitForStarted(10000);
    }

    bool isRunning() const { return m_process.state() == QProcess::Running; }

    // Polls until the port accepts, the program ends or the limit passes.
    bool waitListening(quint16 port, int limitMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < limitMs) {
            if (!isRunning())
                return false;
            const int fd = connectTo(port);
            if (fd != -1) {
                ::close(fd);
                return true;
            }
            QTest::qWait(20);
        }
        return false;
    }

    // SIGTERM ends the loop without saving; returns the exit code, or -1.
    int stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        m_process.terminate();
        if (!m_process.waitForFinished(20000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return -1;
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QString m_configHome;
    QString m_errorFile;
    QStringList m_wrapper;
    bool m_keepStandardError = false;
    QTemporaryDir m_runtime;
    QProcess m_process;
};

} // namespace fault
