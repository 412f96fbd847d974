// tellwick-load: puts queries to a TCP service on 127.0.0.1 (or --host, e.g. ::1) and checks
// every reply byte for byte. Each query connects, sends the request, reads to the end and
// closes.
//
//   tellwick-load --port P --request TEXT (--expect FILE | --expect-daytime) [--host ADDRESS]
//                 [--queries N] [--concurrency C] [--query-timeout-ms MS] [--time-limit-s S]
//                 [--label NAME]
//   tellwick-load --wait-port P --since-ns NS [--host ADDRESS] [--time-limit-s S]
//
// The first form prints one line of key=value figures and exits 0 only when every query got
// its exact reply. The second waits until the port accepts and prints the time from NS
// (CLOCK_REALTIME nanoseconds, as `date +%s%N` gives) to that moment.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome { Ok, Refused, Reset, TimedOut, Short, Wrong, Other };

const char *const OutcomeNames[] = {"ok", "refused", "reset", "timeout", "short", "wrong", "other"};
constexpr int OutcomeCount = 7;

struct Options
{
    int port = 0;
    std::string host = "127.0.0.1";
    std::string request;
    std::string expected;
    bool expectDaytime = false;
    long queries = 1000;
    int concurrency = 1;
    int queryTimeoutMs = 5000;
    int timeLimitS = 120;
    std::string label = "load";
    // --wait-port mode
    bool waitMode = false;
    long long sinceNs = 0;
};

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "tellwick-load: %s\n", why);
    std::exit(2);
}

// C escapes in a request given on the command line: \r \n \t \0 \\ \xHH.
std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 'x':
            if (i + 2 < text.size()) {
                out += char(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
            } else {
                usage("bad \\x escape");
            }
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string readFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        usage("cannot read the expected reply file");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Options parse(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage(("missing value after " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--port")
            options.port = std::atoi(value());
        else if (arg == "--host")
            options.host = value();
        else if (arg == "--request")
            options.request = unescape(value());
        else if (arg == "--expect")
            options.expected = readFile(value());
        else if (arg == "--expect-daytime")
            options.expectDaytime = true;
        else if (arg == "--queries")
            options.queries = std::atol(value());
        else if (arg == "--concurrency")
            options.concurrency = std::atoi(value());
        else if (arg == "--query-timeout-ms")
            options.queryTimeoutMs = std::atoi(value());
        else if (arg == "--time-limit-s")
            options.timeLimitS = std::atoi(value());
        else if (arg == "--label")
            options.label = value();
        else if (arg == "--wait-port") {
            options.waitMode = true;
            options.port = std::atoi(value());
        } else if (arg == "--since-ns")
            options.sinceNs = std::atoll(value());
        else
            usage(("unknown argument " + arg).c_str());
    }
    if (options.port <= 0 || options.port > 65535)
        usage("--port or --wait-port is required");
    if (options.queries < 1 || options.concurrency < 1 || options.queryTimeoutMs < 1 ||
        options.timeLimitS < 1)
        usage("counts and limits must be positive");
    return options;
}

// The server's address: an IPv4 or IPv6 address text and the port.
sockaddr_storage serverAddress(const Options &options)
{
    sockaddr_storage address{};
    auto &ipv4 = reinterpret_cast<sockaddr_in &>(address);
    auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(address);
    if (::inet_pton(AF_INET, options.host.c_str(), &ipv4.sin_addr) == 1) {
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(uint16_t(options.port));
    } else if (::inet_pton(AF_INET6, options.host.c_str(), &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(uint16_t(options.port));
    } else {
        usage("--host takes an IPv4 or IPv6 address");
    }
    return address;
}

int remainingMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left) + 1;
}

// Waits for events on fd until the deadline; false on time-out.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ms = remainingMs(deadline);
        if (ms == 0)
            return false;
        const int ready = ::poll(&entry, 1, ms);
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == -1)
            return false;
        if (ready == 1)
            return true;
    }
}

Outcome errnoOutcome(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return Outcome::Refused;
    case ECONNRESET:
    case EPIPE:
        return Outcome::Reset;
    case ETIMEDOUT:
        return Outcome::TimedOut;
    default:
        return Outcome::Other;
    }
}

// The current second by the precise clock, as servers read it: time() reads a coarse clock
// that may lag it by a few milliseconds, and so a minute, at the turn of a minute.
time_t preciseSecond()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// The daytime replies that a server may have formed while this query ran: one per second.
bool isDaytimeReply(const std::string &reply, time_t from, time_t to)
{
    for (time_t t = from; t <= to; ++t) {
        tm local{};
        localtime_r(&t, &local);
        char hour[8];
        const int h12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
        std::snprintf(hour, sizeof hour, "%d", h12);
        char rest[64];
        std::strftime(rest, sizeof rest, ":%M %p %Y", &local);
        char head[32];
        std::strftime(head, sizeof head, "%a %b %d ", &local);
        if (reply == std::string(head) + hour + rest)
            return true;
    }
    return false;
}

struct Result
{
    Outcome outcome = Outcome::Other;
    long long micros = 0;
    size_t bytes = 0;
};

Result query(const Options &options, const sockaddr_storage &address)
{
    Result result;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(options.queryTimeoutMs);
    const time_t startSecond = preciseSecond();
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        result.outcome = Outcome::Other;
        return result;
    }
    auto finish = [&](Outcome outcome) {
        ::close(fd);
        result.outcome = outcome;
        result.micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        return result;
    };

    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1) {
        if (errno != EINPROGRESS)
            return finish(errnoOutcome(errno));
        if (!waitFor(fd, POLLOUT, deadline))
            return finish(Outcome::TimedOut);
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == -1)
            error = errno;
        if (error != 0)
            return finish(errnoOutcome(error));
    }

    size_t sent = 0;
    while (sent < options.request.size()) {
        const ssize_t n =
            ::send(fd, options.request.data() + sent, options.request.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += size_t(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLOUT, deadline))
                return finish(Outcome::TimedOut);
            continue;
        }
        // The server may answer and close before it took all of a long request.
        break;
    }

    std::string reply;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            reply.append(buffer, size_t(n));
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline)) {
                result.bytes = reply.size();
                return finish(Outcome::TimedOut);
            }
            continue;
        }
        result.bytes = reply.size();
        return finish(errnoOutcome(errno));
    }
    result.bytes = reply.size();
    if (options.expectDaytime) {
        if (isDaytimeReply(reply, startSecond, preciseSecond()))
            return finish(Outcome::Ok);
        return finish(reply.size() < 20 ? Outcome::Short : Outcome::Wrong);
    }
    if (reply == options.expected)
        return finish(Outcome::Ok);
    if (reply.size() < options.expected.size() &&
        options.expected.compare(0, reply.size(), reply) == 0)
        return finish(Outcome::Short);
    return finish(Outcome::Wrong);
}

int waitForPort(const Options &options)
{
    const sockaddr_storage address = serverAddress(options);
    const auto deadline = Clock::now() + std::chrono::seconds(options.timeLimitS);
    while (Clock::now() < deadline) {
        const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd == -1)
            usage("socket failed");
        const bool accepted =
            ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        ::close(fd);
        if (accepted) {
            const long long ns = now.tv_sec * 1000000000LL + now.tv_nsec;
            std::printf("listening_after_ms=%.1f\n", double(ns - options.sinceNs) / 1e6);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::printf("listening_after_ms=never\n");
    return 1;
}

long long percentile(const std::vector<long long> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t index = size_t(p * double(sorted.size()));
    if (index >= sorted.size())
        index = sorted.size() - 1;
    return sorted[index];
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    if (options.waitMode)
        return waitForPort(options);
    if (!options.expectDaytime && options.expected.empty())
        usage("--expect FILE or --expect-daytime is required");

    const sockaddr_storage address = serverAddress(options);
    const auto overallDeadline = Clock::now() + std::chrono::seconds(options.timeLimitS);
    std::atomic<long> issued{0};
    std::mutex mutex;
    std::vector<long long> latencies;
    latencies.reserve(size_t(options.queries));
    long counts[OutcomeCount] = {};
    unsigned long long okBytes = 0;
    bool overran = false;

    const auto started = Clock::now();
    auto worker = [&] {
        std::vector<long long> mine;
        long mineCounts[OutcomeCount] = {};
        unsigned long long mineBytes = 0;
        bool mineOverran = false;
        while (issued.fetch_add(1) < options.queries) {
            if (Clock::now() >= overallDeadline) {
                mineOverran = true;
                break;
            }
            const Result result = query(options, address);
            ++mineCounts[int(result.outcome)];
            if (result.outcome == Outcome::Ok) {
                mine.push_back(result.micros);
                mineBytes += result.bytes;
            }
        }
        std::lock_guard lock(mutex);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
        for (int i = 0; i < OutcomeCount; ++i)
            counts[i] += mineCounts[i];
        okBytes += mineBytes;
        overran = overran || mineOverran;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < options.concurrency; ++i)
        threads.emplace_back(worker);
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    std::sort(latencies.begin(), latencies.end());
    long total = 0;
    for (long count : counts)
        total += count;
    const long ok = counts[int(Outcome::Ok)];
    std::printf("label=%s queries=%ld ok=%ld qps=%.0f p50_us=%lld p99_us=%lld max_us=%lld "
                "bytes_per_query=%llu",
                options.label.c_str(), total, ok, seconds > 0 ? double(ok) / seconds : 0.0,
                percentile(latencies, 0.50), percentile(latencies, 0.99),
                latencies.empty() ? 0LL : latencies.back(),
                ok ? okBytes / (unsigned long long)ok : 0);
    for (int i = 1; i < OutcomeCount; ++i)
        std::printf(" %s=%ld", OutcomeNames[i], counts[i]);
    std::printf(" overran=%d\n", overran ? 1 : 0);
    return ok == options.queries ? 0 : 1;
}
