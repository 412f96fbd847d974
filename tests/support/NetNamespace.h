#pragma once

#include <QString>

// Moves the calling process into a network namespace of its own with only loopback up,
// so that a test may use ports 79 and 13 without touching the machine's network.
// Must run before any thread or socket exists. Returns false with the reason when the
// system allows neither a plain nor a user-owned network namespace.
bool enterPrivateNetworkNamespace(QString *whyNot);

// Adds an address of another host (one from the documentation ranges, 192.0.2.0/24 or
// 2001:db8::/32) to loopback as a /32 or /128: a client bound to it is a peer that is neither
// loopback nor on any subnet of the computer, while its traffic never leaves the namespace.
// Call only inside a private network namespace.
bool addForeignAddress(const char *address, QString *whyNot);

// The outcome of the call made by TELLWICK_TEST_MAIN_IN_NETNS, for initTestCase to check.
bool privateNetworkNamespaceEntered(QString *whyNot = nullptr);

// Like QTEST_MAIN / QTEST_GUILESS_MAIN, but enters a private network namespace first.
// The test's initTestCase() calls TELLWICK_REQUIRE_NETNS() to skip where that failed.
// Enters the namespace on the first call; later calls return the first outcome.
bool enterPrivateNetworkNamespaceOnce();

#define TELLWICK_TEST_MAIN_IN_NETNS(TestObject)                                                    \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        enterPrivateNetworkNamespaceOnce();                                                        \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define TELLWICK_GUILESS_TEST_MAIN_IN_NETNS(TestObject)                                            \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        enterPrivateNetworkNamespaceOnce();                                                        \
        QCoreApplication app(argc, argv);                                                          \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define TELLWICK_REQUIRE_NETNS()                                                                   \
    do {                                                                                           \
        QString whyNot;                                                                            \
        if (!privateNetworkNamespaceEntered(&whyNot))                                              \
            QSKIP(qPrintable(whyNot));                                                             \
    } while (false)
