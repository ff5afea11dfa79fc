// velnor-router-sim: plays the router on this machine, so that the client can be tried without one.
//
// Exit status: 0 after a clean stop (SIGINT, SIGTERM or --max-seconds), 1 when the router cannot start
// (most often: port 69 may not be bound), 2 for a mistake on the command line.

#include "RouterSim.h"
#include "SimTrace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char* const kUsage = R"(Usage: velnor-router-sim [options]

Plays one of the routers for Velnor Client (or a fleet of them): a TFTP server on UDP port 69 that serves one transfer at a
time and answers every packet from port 69 itself. Its files live in one folder: config0..config4
(configuration files; "config" means config0) and exec0, exec1 (firmware slots; "exec" means exec0).
Configuration names may carry "/" and the router password; firmware can only be written.

Router:
  --listen ADDR            dotted IPv4 address to serve on (default 127.0.0.1); repeatable, or a range
                           FIRST-LAST (e.g. 127.60.0.1-127.60.1.244) for a fleet of routers
  --silent-address ADDR    a router on ADDR that takes everything in and never answers; repeatable,
                           or a range; wins over --listen for the same address
  --port N                 UDP port (default 69; binding 69 needs root or CAP_NET_BIND_SERVICE; tests
                           use a port of their own)
  --root DIR               folder with the router's files (default: the current folder)
  --password PW            configuration names must end in "/PW", else "Access violation"
  --password-file F        the same, PW read from file F (- for standard input; one line end taken
                           off), so that it does not show in the process list
  --no-file-numbers        a model that takes no file number: any number is an "Access violation"
  --oack                   answer requests that carry options ("tsize") with an OACK
  --flash-seconds S        withhold the ACK of a firmware's last block S seconds (negative: forever)
  --flash-config-writes    configuration writes wait --flash-seconds too
  --alter-stored           store every written file with one line added (a router whose storage
                           corrupts what it is sent; the write is acknowledged all the same)
  --retransmit-seconds S   the router's own time-out (default 5)
  --max-retransmits N      retransmissions before it gives a transfer up (default 4)
  --max-file-bytes N       refuse writes larger than N bytes with ERROR 3 "Disk full or allocation
                           exceeded", keeping the old file (default 33553919, the client's largest
                           file of 65535 blocks; 0: no bound)

Faults (for tests):
  --delay S                send every answer S seconds late
  --drop-rate R            drop incoming and outgoing datagrams with probability R (0..1)
  --drop-in-rate R, --drop-out-rate R
  --seed N                 seed of the drop and duplicate decisions (default 1)
  --duplicate-rate R       send outgoing datagrams twice with probability R
  --duplicate-in-rate R    handle incoming datagrams twice with probability R
  --answer-from-other-port answers leave from another local port
  --silent                 take everything in, never answer
  --error-text T           answer every request with ERROR carrying T ...
  --error-code N           ... with this error code (default 0) ...
  --error-after N          ... or only once N data blocks of a transfer have passed
  --restart-after N        forget the transfer after N data blocks, as if the router restarted ...
  --restart-seconds S      ... and stay deaf S seconds
  --no-unknown-transfer-errors
                           stay quiet on DATA/ACK outside a transfer (default: ERROR 5)
  --oversized-reply        send one 1100-byte datagram from port 69 during a transfer ...
  --oversized-at N         ... just before the router's packet number N (default 1)
  --overlong-data-at N     send DATA N of a read first as 517 bytes
  --stray-from ADDR        send stray copies of every answer from this other local address

Running:
  --trace FILE             one line per datagram in and out: seconds, direction, from -> to, length, hex
                           (a request's password shows as ***); created or emptied, mode 0600, never
                           through a symbolic link (a link, FIFO or hard-linked file is refused)
  --max-seconds S          stop by itself after S seconds
  --quiet                  print no line per transfer
  --help                   this text

A fleet: with more than one address (--listen and --silent-address together), every router serves
its own files from DIR/ADDRESS/, made from copies of the router files in DIR when missing, and keeps
its own one-transfer-at-a-time rule; one thread serves them all.

Busy: a router serves one transfer at a time. A request from another client meanwhile is answered at
once with ERROR 0 "Server busy". A client that sends a request and then goes silent holds the router
for at most its retransmission budget, (--max-retransmits + 1) x --retransmit-seconds (25 s by
default); then the router gives the transfer up, drops its partial file and is free again.

Log lines show requested names and client texts with control bytes escaped (\xNN), cut after 128
bytes, and a password as "***" (config2/***). Of the lines of one kind at most 20 a second are
printed; the rest are counted in a line of their own.

Sample router files to copy into DIR (the simulator writes received files into DIR, so give it copies):
)" VELNOR_SAMPLES_DIR R"(

It stops cleanly on SIGINT (Ctrl+C) and SIGTERM.
)";

struct Args {
    velnor::sim::RouterSimOptions options;
    bool bPasswordGiven = false;
    std::vector<std::string> listen, silent;
    bool bQuiet = false;
    bool bHelp = false;
};

bool ParseDouble(const char* text, double* value)
{
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0';
}

bool ParseUnsigned(const char* text, unsigned long long limit, unsigned long long* value)
{
    if (*text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' && *value <= limit;
}

// One address, or a range FIRST-LAST of dotted IPv4 addresses, appended to the list.
bool ParseAddresses(const std::string& text, std::vector<std::string>* list, std::string* error)
{
    const auto dash = text.find('-');
    if (dash == std::string::npos) {
        list->push_back(text);  // checked when the router binds it
        return true;
    }
    in_addr first{}, last{};
    const std::string a = text.substr(0, dash), b = text.substr(dash + 1);
    if (inet_pton(AF_INET, a.c_str(), &first) != 1 || inet_pton(AF_INET, b.c_str(), &last) != 1) {
        *error = "\"" + text + "\" is not a range FIRST-LAST of dotted IPv4 addresses";
        return false;
    }
    const std::uint32_t from = ntohl(first.s_addr), to = ntohl(last.s_addr);
    constexpr std::uint32_t kMaxRange = 65536;
    if (to < from || to - from >= kMaxRange) {
        *error = "\"" + text + "\": the last address must follow the first, at most " + std::to_string(kMaxRange) +
                 " addresses";
        return false;
    }
    for (std::uint32_t x = from;; ++x) {
        in_addr addr{};
        addr.s_addr = htonl(x);
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
        list->push_back(dotted);
        if (x == to)
            break;
    }
    return true;
}

// The password from a file (or standard input for "-"): at most a line of 1 KiB, one line end taken
// off; an empty one is refused, as it would mean no password at all.
bool ReadPassword(const std::string& path, std::string* password, std::string* error)
{
    constexpr std::size_t kMaxBytes = 1024;
    const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = "--password-file: cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while (text.size() <= kMaxBytes && (n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    const int nError = errno;
    if (fd != STDIN_FILENO)
        ::close(fd);
    if (n < 0) {
        *error = "--password-file: cannot read \"" + path + "\": " + std::strerror(nError);
        return false;
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.size() > kMaxBytes || text.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
        *error = "--password-file: \"" + path + "\" holds more than one line of a password";
        return false;
    }
    if (text.empty()) {
        *error = "--password-file: \"" + path + "\" is empty";
        return false;
    }
    *password = text;
    return true;
}

bool ParseArgs(int argc, char** argv, Args* args, std::string* error)
{
    auto& o = args->options;
    o.root = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                *error = opt + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto real = [&](double* out, double min, double max) {
            const char* text = nullptr;
            if (!value(&text))
                return false;
            if (!ParseDouble(text, out) || *out < min || *out > max) {
                *error = opt + ": \"" + text + "\" is not a number from " + std::to_string(min) + " to " +
                         std::to_string(max);
                return false;
            }
            return true;
        };
        auto whole = [&](unsigned long long* out, unsigned long long limit) {
            const char* text = nullptr;
            if (!value(&text))
                return false;
            if (!ParseUnsigned(text, limit, out)) {
                *error = opt + ": \"" + text + "\" is not a whole number up to " + std::to_string(limit);
                return false;
            }
            return true;
        };
        const char* text = nullptr;
        unsigned long long n = 0;
        double d = 0;
        bool ok = true;
        if (opt == "--help" || opt == "-h") {
            args->bHelp = true;
        } else if (opt == "--listen") {
            ok = value(&text) && ParseAddresses(text, &args->listen, error);
        } else if (opt == "--silent-address") {
            ok = value(&text) && ParseAddresses(text, &args->silent, error);
        } else if (opt == "--port") {
            ok = whole(&n, 65535) && (o.port = static_cast<std::uint16_t>(n), true);
        } else if (opt == "--root") {
            ok = value(&text) && (o.root = text, true);
        } else if (opt == "--password" || opt == "--password-file") {
            if (args->bPasswordGiven) {
                *error = "the password is given twice (--password, --password-file)";
                return false;
            }
            args->bPasswordGiven = true;
            ok = value(&text) && (opt == "--password" ? (o.password = text, true) : ReadPassword(text, &o.password, error));
        } else if (opt == "--no-file-numbers") {
            o.noFileNumbers = true;
        } else if (opt == "--oack") {
            o.oack = true;
        } else if (opt == "--flash-seconds") {
            ok = real(&o.flashSeconds, -1, 86400);
        } else if (opt == "--flash-config-writes") {
            o.flashConfigWrites = true;
        } else if (opt == "--alter-stored") {
            o.alterStoredFiles = true;
        } else if (opt == "--retransmit-seconds") {
            ok = real(&o.retransmitSeconds, 0.001, 3600);
        } else if (opt == "--max-retransmits") {
            ok = whole(&n, 1000) && (o.maxRetransmits = static_cast<int>(n), true);
        } else if (opt == "--max-file-bytes") {
            ok = whole(&n, ~0ull) && (o.maxFileBytes = n, true);
        } else if (opt == "--delay") {
            ok = real(&o.replyDelaySeconds, 0, 3600);
        } else if (opt == "--drop-rate") {
            ok = real(&d, 0, 1) && (o.dropInRate = o.dropOutRate = d, true);
        } else if (opt == "--drop-in-rate") {
            ok = real(&o.dropInRate, 0, 1);
        } else if (opt == "--drop-out-rate") {
            ok = real(&o.dropOutRate, 0, 1);
        } else if (opt == "--seed") {
            ok = whole(&n, 0xFFFFFFFFull) && (o.seed = static_cast<std::uint32_t>(n), true);
        } else if (opt == "--duplicate-rate") {
            ok = real(&o.duplicateRate, 0, 1);
        } else if (opt == "--duplicate-in-rate") {
            ok = real(&o.duplicateInRate, 0, 1);
        } else if (opt == "--answer-from-other-port") {
            o.answerFromOtherPort = true;
        } else if (opt == "--silent") {
            o.silent = true;
        } else if (opt == "--error-text") {
            ok = value(&text) && (o.errorText = text, true);
        } else if (opt == "--error-code") {
            ok = whole(&n, 65535) && (o.errorCode = static_cast<std::uint16_t>(n), true);
        } else if (opt == "--error-after") {
            ok = whole(&n, 1u << 30) && (o.errorAfterBlocks = static_cast<int>(n), true);
        } else if (opt == "--restart-after") {
            ok = whole(&n, 1u << 30) && (o.restartAfterBlocks = static_cast<int>(n), true);
        } else if (opt == "--restart-seconds") {
            ok = real(&o.restartSeconds, 0, 3600);
        } else if (opt == "--no-unknown-transfer-errors") {
            o.answerUnknownTransfer = false;
        } else if (opt == "--oversized-reply") {
            o.oversizedReply = true;
        } else if (opt == "--oversized-at") {
            ok = whole(&n, 0xFFFFFFFFull) && (o.oversizedAtBlock = static_cast<std::uint32_t>(n), true);
        } else if (opt == "--overlong-data-at") {
            ok = whole(&n, 1u << 30) && (o.overlongDataAtBlock = static_cast<int>(n), true);
        } else if (opt == "--stray-from") {
            ok = value(&text) && (o.strayFromAddress = text, true);
        } else if (opt == "--trace") {
            ok = value(&text) && (o.tracePath = text, true);
        } else if (opt == "--max-seconds") {
            ok = real(&o.maxSeconds, 0, 1e7);
        } else if (opt == "--quiet") {
            args->bQuiet = true;
        } else {
            *error = "unknown option \"" + opt + "\"";
            return false;
        }
        if (!ok)
            return false;
    }
    if (args->listen.empty() && args->silent.empty())
        args->listen.push_back(o.listenAddress);
    if (args->listen.size() + args->silent.size() > 65536) {
        *error = "more than 65536 router addresses";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, &args, &error)) {
        std::fprintf(stderr, "velnor-router-sim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (args.bHelp) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // A flood of requests makes no flood of lines: at most so many of a kind a second.
    velnor::sim::LogLimiter limiter;
    std::mutex logMutex;
    const auto start = std::chrono::steady_clock::now();
    auto print = [](const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            std::printf("velnor-router-sim: %s\n", line.c_str());
        std::fflush(stdout);
    };
    if (!args.bQuiet) {
        args.options.onEvent = [&](const std::string& line) {
            const std::lock_guard<std::mutex> lock(logMutex);
            const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
            print(limiter.Take(line, since.count()));
        };
    }

    // The signals are taken by this thread alone (sigtimedwait below); the router's thread, started
    // after this, inherits the blocked mask and is never interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    velnor::sim::RouterFleetOptions fleet;
    fleet.router = args.options;
    fleet.addresses = args.listen;
    fleet.silentAddresses = args.silent;
    velnor::sim::RouterFleet router(std::move(fleet));
    if (!router.Start(&error)) {
        std::fprintf(stderr, "velnor-router-sim: %s\n", error.c_str());
        return 1;
    }
    if (router.Size() == 1) {
        std::printf("velnor-router-sim: serving %s on %s:%u%s (Ctrl+C stops)\n", args.options.root.c_str(),
                    router.Address(0).c_str(), static_cast<unsigned>(router.Port(0)),
                    router.IsSilent(0) && !args.options.silent ? ", silent" : "");
    } else {
        std::size_t nSilent = 0;
        for (std::size_t i = 0; i < router.Size(); ++i)
            nSilent += router.IsSilent(i) ? 1 : 0;
        std::printf("velnor-router-sim: serving %zu routers (%zu silent) from %s/ADDRESS on %s .. %s, port %u "
                    "(Ctrl+C stops)\n",
                    router.Size(), nSilent, args.options.root.c_str(), router.Address(0).c_str(),
                    router.Address(router.Size() - 1).c_str(), static_cast<unsigned>(router.Port(0)));
    }
    std::fflush(stdout);

    const char* reason = "time is up (--max-seconds)";
    while (router.IsRunning()) {
        timespec tick{0, 200 * 1000 * 1000};
        int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) {
            reason = sig == SIGINT ? "SIGINT" : "SIGTERM";
            break;
        }
    }
    router.Stop();
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        print(limiter.Flush());
    }
    const auto stats = router.Stats();
    std::printf("velnor-router-sim: stopped (%s): %llu transfers completed, %llu failed, %llu datagrams in, "
                "%llu out\n",
                reason, static_cast<unsigned long long>(stats.transfersCompleted),
                static_cast<unsigned long long>(stats.transfersFailed),
                static_cast<unsigned long long>(stats.datagramsIn),
                static_cast<unsigned long long>(stats.datagramsOut));
    return 0;
}
