#pragma once
// A small stand-in for the router's TFTP server, used by the end-to-end tests, the README's run command
// and the benchmarks.
//
// The router serves one transfer at a time from UDP port 69 and answers every packet from that same port
// (it never moves a transfer to a port of its own). Its files live in one folder: configuration files
// config0..config4 and firmware slots exec0, exec1. RouterFleet plays many such routers, each on an
// address of its own, in one process and on one thread. The remote name is a keyword with an optional file
// number ("config" = config0, "exec" = exec0) and, for configuration files, "/" and the router password.
//
// It is written on plain POSIX sockets and shares no code with the client's engine on purpose: a packet
// bug common to both would otherwise pass every test unseen.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velnor::sim {

// A datagram sent at a chosen point of a transfer, for faults the named switches below do not cover
// (a 5-byte ACK, a 4-byte ERROR, an empty datagram, an unexpected opcode ...).
struct RouterSimInjection {
    // Where the router's own outgoing packets of a transfer are numbered: DATA k of a read and ACK k of a
    // write are number k (counted without the 16-bit wrap; ACK 0 answers a write request). The injection
    // fires once, the first time the router is about to send packet number atBlock.
    std::uint32_t atBlock = 1;
    std::vector<std::uint8_t> bytes;
    enum class From { Port69, OtherPort, StrayAddress } from = From::Port69;
    // true: the injected datagram goes out instead of the router's packet, which then leaves only on the
    // router's own retransmission; false: it goes out just before the router's packet.
    bool replacesAnswer = false;
};

// The largest file the client can send: 65535 blocks, the last one short. A router keeps no larger file
// unless told to, so that an endless upload cannot fill its disk.
inline constexpr std::uint64_t DEFAULT_MAX_FILE_BYTES = 65534ull * 512 + 511;

// What a router told to alter stored files (RouterSimOptions::alterStoredFiles) adds to each of them.
inline constexpr const char* kAlteredStoreLine = "# altered by the router's storage\n";

struct RouterSimOptions {
    std::string listenAddress = "127.0.0.1";  // dotted IPv4
    // The router's UDP port. The routers and the client always use 69; tests may take an unprivileged
    // port of their own (0: any free port, see RouterSim::Port).
    std::uint16_t port = 69;
    std::filesystem::path root;  // config0..config4, exec0, exec1
    std::string password;        // empty: configuration names are accepted with or without a password
    bool noFileNumbers = false;  // a model that takes no file number: any number is refused
    bool oack = false;           // answer requests with options by an OACK (opcode 6)

    // Firmware writes withhold the ACK of the last block this long while the flash ROM is written.
    // Below 0: that ACK is never sent (a router that hangs while flashing).
    double flashSeconds = 0;
    bool flashConfigWrites = false;  // configuration writes wait flashSeconds too
    // A router whose storage corrupts what it is sent: every file written is stored with
    // kAlteredStoreLine after its bytes, and the write is acknowledged as if nothing happened.
    bool alterStoredFiles = false;

    double retransmitSeconds = 5;  // the router's own time-out
    int maxRetransmits = 4;        // then it gives the transfer up without a word

    double replyDelaySeconds = 0;  // every answer leaves this much later

    // Faults, each decided per datagram from the seed and the datagram's index, so that a run repeats.
    double dropInRate = 0, dropOutRate = 0;
    std::uint32_t seed = 1;
    double duplicateRate = 0;    // each outgoing datagram is sent twice with this probability
    double duplicateInRate = 0;  // each incoming datagram is handled twice with this probability
    // 1-based indices of datagrams to drop: in counts every datagram received; out counts the router's
    // own packets (answers, retransmissions, ERRORs), not the copies the fault switches add.
    std::vector<std::uint64_t> dropInNth, dropOutNth;
    // Random drops and delays decided by packet instead of by index: the k-th datagram with the same first
    // four bytes (opcode and block number) in a direction meets the fate the seed gives that packet and k.
    // A retransmission that a slow machine adds on its own time-out then shifts no later decision, so
    // that the outcome of a seed does not depend on timing.
    bool faultsByPacket = false;
    // Late answers: each of the router's packets is held back delayOutSeconds with this probability (on
    // top of replyDelaySeconds), so that it arrives after the peer has retransmitted.
    double delayOutRate = 0;
    double delayOutSeconds = 0;

    bool answerFromOtherPort = false;  // answers leave from another local port (a client must ignore them)
    bool silent = false;               // takes everything in, never answers

    std::string errorText;  // non-empty: answer with ERROR (errorCode, errorText) ...
    std::uint16_t errorCode = 0;
    int errorAfterBlocks = -1;  // ... every request (-1), or instead of the next packet once this many
                                // data blocks have passed in the transfer

    int restartAfterBlocks = -1;  // >= 0: the router forgets the transfer after this many data blocks, as if
    double restartSeconds = 0;    // it restarted, and stays deaf this long
    bool answerUnknownTransfer = true;  // DATA/ACK outside any transfer: ERROR 5 "Unknown transfer ID"

    bool oversizedReply = false;  // once, from port 69, a 1100-byte datagram just before packet number
    std::uint32_t oversizedAtBlock = 1;  // oversizedAtBlock of the transfer
    int overlongDataAtBlock = -1;  // >= 1: a read sends DATA of that number first as 517 bytes (513 data)

    std::string strayFromAddress;  // a 127.x address: before every answer, a copy that a careless client
                                   // would take (the same ACK; DATA with its payload bytes inverted) is
                                   // sent from port 69 (or `port`) of this address
    bool strayCopies = true;       // false: the stray address sends only the injections that name it

    std::vector<RouterSimInjection> injections;

    // A larger write gets ERROR 3 "Disk full or allocation exceeded" and the old file stays; 0: unbounded.
    std::uint64_t maxFileBytes = DEFAULT_MAX_FILE_BYTES;

    std::string tracePath;       // one line per datagram in and out (a request's password as "***");
                                 // opened without following a link, mode 0600
    bool traceInMemory = false;  // keep the same lines for Trace()
    double maxSeconds = 0;       // 0 = unbounded; the router stops by itself after this long

    // One line per event worth telling a person (request, refusal, completion, giving up), called on the
    // router's own thread, outside its lock (Stats() may be called from it; Stop() may not). Names and
    // texts from a client come masked (the password as "***") and escaped for a terminal.
    std::function<void(const std::string&)> onEvent;
};

struct RouterSimStats {
    std::uint64_t datagramsIn = 0, datagramsOut = 0;
    std::uint64_t requests = 0, readRequests = 0, writeRequests = 0;
    std::uint64_t dataSent = 0, dataReceived = 0, acksSent = 0, acksReceived = 0;
    std::uint64_t oacksSent = 0, errorsSent = 0, errorsReceived = 0;
    std::map<std::uint32_t, unsigned> dataSentPerBlock;  // unwrapped block number -> times sent
    std::map<std::uint32_t, unsigned> acksSentPerBlock;
    std::uint64_t retransmits = 0;              // on the router's own time-out
    std::uint64_t duplicateAcksIgnored = 0;     // never answered by a DATA
    std::uint64_t duplicateDataReacked = 0;     // a repeated DATA answered by its ACK again
    std::uint64_t ignoredWhileFlashing = 0;     // datagrams of the peer while the last ACK is withheld
    std::uint64_t droppedIn = 0, droppedOut = 0, duplicatedIn = 0, duplicatedOut = 0, delayedOut = 0;
    std::uint64_t malformedIn = 0;              // too short, unknown opcode, bad request
    std::uint64_t unexpectedIn = 0;             // well-formed but out of turn (a block from the future ...)
    std::uint64_t ignoredWhileRestarting = 0;
    std::uint64_t busyRejects = 0;              // requests of another client while a transfer runs
    std::uint64_t unknownTransferIn = 0;        // DATA/ACK/ERROR outside the running transfer
    std::uint64_t strayDatagramsSent = 0, otherPortDatagramsSent = 0, oversizedSent = 0, injectionsSent = 0;
    std::uint64_t transfersCompleted = 0;       // the last ACK received (read) or stored and ACKed (write)
    std::uint64_t transfersFailed = 0;          // refused requests are not counted here
    std::uint64_t transfersUnconfirmed = 0;     // a read whose final ACK never came
    std::uint64_t restarts = 0;
    std::string lastRequestName, lastMode;      // of the last request taken in
    std::vector<std::string> lastOptions;       // name, value, name, value ...
    std::string lastErrorSent, lastErrorReceived;
};

struct TraceLine {
    double seconds = 0;      // since Start
    std::string direction;   // "in", "out", "drop-in", "drop-out"
    std::string peer;        // address:port of the other side
    std::string local;       // address:port of our side
    std::vector<std::uint8_t> bytes;  // as on the wire, but a request's password replaced by "***"
    std::string Text() const;  // the line as written to the trace file
};

class RouterSim {
public:
    explicit RouterSim(RouterSimOptions options);
    ~RouterSim();  // stops
    RouterSim(const RouterSim&) = delete;
    RouterSim& operator=(const RouterSim&) = delete;

    // Binds its sockets and starts its thread, once per object. False with a message, e.g. when port 69
    // may not be bound, the address is not this machine's or the root folder is missing.
    bool Start(std::string* error);
    // Ends the thread, drops an unfinished transfer (its partial file included) and frees the port.
    void Stop();
    bool IsRunning() const;  // false before Start, after Stop, and once maxSeconds have passed

    const RouterSimOptions& Options() const;
    std::uint16_t Port() const;  // the bound port (useful with port 0)

    RouterSimStats Stats() const;    // a consistent snapshot, from any thread
    std::vector<TraceLine> Trace() const;  // only with traceInMemory

    // For tests: wait until so many transfers have completed, or until the predicate holds on a snapshot.
    bool WaitForTransfers(int n, std::chrono::milliseconds timeout) const;
    bool WaitFor(const std::function<bool(const RouterSimStats&)>& predicate,
                 std::chrono::milliseconds timeout) const;

private:
    class Impl;
    std::unique_ptr<Impl> m_pImpl;
};

struct RouterFleetOptions {
    // What every router does: the switches of a single router. listenAddress is not used; root is the
    // folder of the fleet (see RouterFleet).
    RouterSimOptions router;
    std::vector<std::string> addresses;        // routers that answer, dotted IPv4
    std::vector<std::string> silentAddresses;  // routers that take everything in and never answer; an
                                               // address in both lists is silent
};

// Many routers in one process, one thread and one socket loop: each on port `router.port` of an address of
// its own, each with its own files, its own one-transfer-at-a-time rule, its own statistics and faults.
// With more than one router, each keeps its files in ROOT/ADDRESS, made from the router files in ROOT
// (the samples) when missing; a single router uses ROOT itself, as RouterSim does.
class RouterFleet {
public:
    explicit RouterFleet(RouterFleetOptions options);
    ~RouterFleet();  // stops
    RouterFleet(const RouterFleet&) = delete;
    RouterFleet& operator=(const RouterFleet&) = delete;

    // Prepares the folders, binds every socket and starts the thread. False with a message when any
    // router cannot start (no router then runs).
    bool Start(std::string* error);
    void Stop();
    bool IsRunning() const;

    std::size_t Size() const;  // routers, answering and silent, in the order given (duplicates once)
    const std::string& Address(std::size_t i) const;
    bool IsSilent(std::size_t i) const;
    std::filesystem::path Folder(std::size_t i) const;  // empty for a silent router of a fleet
    std::uint16_t Port(std::size_t i) const;            // the bound port

    RouterSimStats Stats() const;               // every router summed (the last-* texts are left empty)
    RouterSimStats Stats(std::size_t i) const;  // one router
    std::vector<TraceLine> Trace(std::size_t i) const;  // only with traceInMemory
    bool WaitFor(const std::function<bool(const RouterSimStats&)>& predicate,
                 std::chrono::milliseconds timeout) const;  // on the sum

private:
    class Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace velnor::sim
