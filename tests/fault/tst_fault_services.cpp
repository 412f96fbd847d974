// The finger service in this process, so that its log can be read: after a storm of resets,
// silent and stalled clients, every session the log opened it also closed, no line is lost
// beyond the log's restart rule, and the next query is answered.

#include "ExpectedReplies.h"
#include "MainFormFixture.h"
#include "NetNamespace.h"

namespace {

const QString RestartHeader = QStringLiteral("Log Restart.\r\n------------\r\n");

// Every line that reaches the log, in order, as the log reports it: what was appended, and
// every time the log was emptied.
class LogRecorder
{
public:
    explicit LogRecorder(TStatDialog *log)
    {
        QObject::connect(log, &TStatDialog::logAppended, log, [this](const QString &lines) {
            const QStringList appended = lines.split(QChar::ParagraphSeparator);
            all += appended;
            sinceEmptied += appended;
        });
        QObject::connect(log, &TStatDialog::logEmptied, log, [this] { sinceEmptied.clear(); });
    }

    QStringList all;          // every line ever appended
    QStringList sinceEmptied; // appended since the log was last emptied
};

} // namespace

class TestFaultServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TELLWICK_REQUIRE_NETNS(); }
    void init() { writeRegistry({}); }

    void stormLosesNoSessionAndNoLine()
    {
        Program program;
        LogRecorder recorder(program.stat.get());
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < 220; ++i) {
            LoopbackClient::Options options;
            if (i < 200)
                (i % 2 ? options.resetAtOnce : options.leaveSilently) = true;
            else
                options.request = "la"; // half a request, and never the rest
            options.receiveTimeoutMs = 20000;
            clients.push_back(std::make_unique<LoopbackClient>(79, options));
        }
        for (const auto &client : clients)
            QTRY_VERIFY_WITH_TIMEOUT(client->isFinished(), 150000);
        QTRY_VERIFY_WITH_TIMEOUT(!QueryBusy, 30000);
        // A client that got in (the system turns some away from the queue of 5 in such a
        // storm) got the one reply to its half request.
        int stalledAnswered = 0;
        for (int i = 200; i < 220; ++i) {
            if (clients[i]->received().isEmpty())
                continue;
            ++stalledAnswered;
            QCOMPARE(clients[i]->received(), ExpectedReplies::noSuchUser(""));
        }

        LoopbackClient next(79, request("\r\n"));
        WAIT_FOR_CLIENT(next);
        QVERIFY(next.received().endsWith(ExpectedReplies::listed(FakeLogin)));

        // The log holds exactly what arrived since its last restart.
        const QString log = program.stat->logText();
        const QString expected = recorder.sinceEmptied.join(QLatin1String("\r\n"));
        QCOMPARE(log, expected + QLatin1String("\r\n"));
        QVERIFY(log.size() <= TStatDialog::MaxLogLength);
        if (recorder.all.join(QLatin1String("\r\n")).size() > TStatDialog::MaxLogLength)
            QVERIFY(log.startsWith(RestartHeader));

        // Every accepted session ended in exactly one way: closed by its client, answered, or
        // reset: shown in a box or logged while a box was open, one by one or as the count of
        // repeats left out ("... 12 more"), which may follow some seconds later.
        const QStringList &all = recorder.all;
        const auto count = [&all](const QString &prefix) {
            return std::count_if(all.begin(), all.end(), [&prefix](const QString &line) {
                return line.startsWith(prefix);
            });
        };
        const qsizetype accepted = count("Client session accepted, socket(");
        const qsizetype closed = count("Socket: ");
        const qsizetype answered = count("Sending data to Socket: ");
        const auto resets = [&] {
            const QString reset = QStringLiteral("Connection reset by peer");
            qsizetype total = 0;
            for (const QString &text : recorder.all + program.dialogs.texts()) {
                if (text == reset)
                    ++total;
                else if (text.startsWith(reset + " ... ") && text.endsWith(" more"))
                    total += text.section(QLatin1Char(' '), -2, -2).toLongLong();
            }
            return total;
        };
        QVERIFY(accepted > 0);
        QTRY_COMPARE_WITH_TIMEOUT(closed + answered + resets(), accepted, 40000);
        QCOMPARE(answered, stalledAnswered + 1); // and the last query
    }
};

TELLWICK_TEST_MAIN_IN_NETNS(TestFaultServices)
#include "tst_fault_services.moc"
