// tellwick-refserver: the fastest server of Tellwick's design that this machine allows, to
// measure the program against. One thread, one query at a time: accept, read once (finger only),
// reply in sends of 100 bytes, close. The replies are prepared before the first client arrives.
//
//   tellwick-refserver --port P --list FILE --user FILE   (finger: list or user reply)
//   tellwick-refserver --port P --daytime                 (the daytime line of this second)
//
// Runs until SIGTERM or SIGINT; prints "listening" on standard output once it listens.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// The program's listen queue, so that both see the same kernel behaviour under load.
constexpr int ListenBacklog = 128;
constexpr size_t ChunkSize = 100;
constexpr size_t MaximumReceiveLength = 8192;

volatile std::sig_atomic_t stopRequested = 0;

void onStop(int)
{
    stopRequested = 1;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "tellwick-refserver: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

std::string readFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tellwick-refserver: cannot read %s\n", path);
        std::exit(2);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isListRequest(const char *request, ssize_t size)
{
    const std::string text(request, size_t(size));
    return text == "\r\n" || text == "\n\r" || text == "\r" || text == "\n";
}

std::string daytimeNow()
{
    // The precise clock, as the program and the load client read it (time() may lag it).
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char head[32];
    char rest[32];
    std::strftime(head, sizeof head, "%a %b %d ", &local);
    std::strftime(rest, sizeof rest, ":%M %p %Y", &local);
    return head + std::to_string(hour) + rest;
}

void sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent == -1) {
            if (errno == EINTR)
                continue;
            return; // the client is gone: nothing more to do for it
        }
        data += sent;
        size -= size_t(sent);
    }
}

} // namespace

int main(int argc, char **argv)
{
    int port = 0;
    bool daytime = false;
    std::string listReply;
    std::string userReply;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (arg == "--list" && i + 1 < argc)
            listReply = readFile(argv[++i]);
        else if (arg == "--user" && i + 1 < argc)
            userReply = readFile(argv[++i]);
        else if (arg == "--daytime")
            daytime = true;
        else {
            std::fprintf(stderr, "usage: tellwick-refserver --port P (--daytime | --list FILE "
                                 "--user FILE)\n");
            return 2;
        }
    }
    if (port <= 0 || port > 65535)
        return 2;

    struct sigaction action
    {
    };
    action.sa_handler = onStop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    // Both families on one socket, as the program listens.
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener == -1)
        fail("socket");
    const int on = 1;
    const int off = 0;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(uint16_t(port));
    address.sin6_addr = in6addr_any;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1)
        fail("bind");
    if (::listen(listener, ListenBacklog) == -1)
        fail("listen");
    std::printf("listening\n");
    std::fflush(stdout);

    char request[MaximumReceiveLength];
    while (!stopRequested) {
        const int session = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (session == -1) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            fail("accept");
        }
        // The daytime service never reads what a client sends.
        ssize_t received = 0;
        if (!daytime) {
            do
                received = ::recv(session, request, sizeof request, 0);
            while (received == -1 && errno == EINTR);
        }
        const std::string reply =
            daytime ? daytimeNow()
                    : (received > 0 && isListRequest(request, received) ? listReply : userReply);
        for (size_t from = 0; from < reply.size(); from += ChunkSize)
            sendAll(session, reply.data() + from, std::min(ChunkSize, reply.size() - from));
        ::close(session);
    }
    ::close(listener);
    return 0;
}
