#pragma once
// One router's protocol: its requests, its one transfer at a time, its retransmissions and its answers,
// with the fault switches and the trace hung on them. A router owns no socket and no thread: the socket
// loop hands it every datagram that reaches its sockets and calls it when its next deadline has come,
// always under the loop's lock, so that a thousand routers share one thread.

#include "RouterSim.h"
#include "SimFaults.h"
#include "SimPackets.h"
#include "SimStore.h"
#include "SimTrace.h"

#include <netinet/in.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace velnor::sim {

using Clock = std::chrono::steady_clock;

// A router's sockets: port 69 (or --port) of its address; another local port for the answers of
// answerFromOtherPort and the injections from another port; the stray address (shared by a fleet).
enum Sock { SOCK_MAIN = 0, SOCK_OTHER = 1, SOCK_STRAY = 2, SOCK_COUNT = 3 };

std::string Endpoint(const sockaddr_in& a);
Clock::duration Seconds(double s);

// What the routers of one loop share.
struct RouterContext {
    Clock::time_point start;                      // trace times count from here
    TraceFile* pTraceFile = nullptr;              // null: no trace file
    std::vector<std::string>* pEvents = nullptr;  // null: nobody listens to events
};

class Router {
public:
    // eventPrefix starts every event line ("127.60.0.7: " in a fleet, empty for a router alone).
    Router(const RouterSimOptions& options, std::string address, std::filesystem::path folder, bool bSilent,
           std::string eventPrefix, const RouterContext& context);
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // Filled by the loop before the first datagram.
    int m_fds[SOCK_COUNT] = {-1, -1, -1};
    std::string m_localName[SOCK_COUNT];

    void HandleDatagram(Sock sock, const sockaddr_in& from, const std::uint8_t* p, std::size_t n);
    void OnTimers(Clock::time_point now);
    // The earliest moment OnTimers has work: a retransmission, the end of a flash, a held-back answer,
    // the end of the memory of the last finished transfer.
    std::optional<Clock::time_point> NextDeadline() const;
    // Drops an unfinished transfer, its partial file included (the router is stopping).
    void Abandon();

    const RouterSimStats& Stats() const { return m_stats; }
    const std::vector<TraceLine>& Trace() const { return m_trace; }
    const std::string& Address() const { return m_address; }
    const std::filesystem::path& Folder() const { return m_files.Folder(); }
    bool IsSilent() const { return m_bSilent; }

private:
    struct Transfer {
        bool bActive = false;
        sockaddr_in peer{};
        bool bRead = false;
        RemoteName name;
        Bytes request;  // as received, to recognise the client repeating it
        Bytes readData;
        int nTempFd = -1;
        std::filesystem::path tempPath;
        std::uint64_t nBytes = 0;
        // Read: number of the DATA last sent. Write: number of the last ACK sent (= blocks taken in).
        std::uint32_t nSeq = 0;
        bool bLastSent = false;  // read: the short DATA has gone out
        bool bOptionsPending = false;
        std::vector<std::pair<std::string, std::string>> acceptedOptions;
        Bytes lastPacket;
        std::uint32_t nLastNumber = 0;
        bool bAwaiting = false;
        Clock::time_point timeout{};
        int nRetries = 0;
        bool bFlashing = false;
        bool bFlashForever = false;
        bool bStraySent = false;  // the stray copy of the next answer went out early
        Clock::time_point flashUntil{};
    };
    // What stays of the last finished transfer, so that a late repeat of its last packet is still
    // understood instead of being answered as an unknown transfer.
    struct Finished {
        bool bValid = false;
        sockaddr_in peer{};
        bool bRead = false;
        std::uint16_t nBlock = 0;
        Bytes finalAck;
        Clock::time_point until{};
    };
    struct Scheduled {
        Clock::time_point due;
        Sock sock;
        sockaddr_in to;
        Bytes bytes;
    };

    void Event(const std::string& text);
    void TraceDatagram(const char* direction, Sock sock, const sockaddr_in& peer, const std::uint8_t* p,
                       std::size_t n);

    // Sending.
    Sock ReplySock() const { return m_options.answerFromOtherPort ? SOCK_OTHER : SOCK_MAIN; }
    void SendNow(Sock sock, const sockaddr_in& to, const Bytes& bytes);
    void Emit(const sockaddr_in& to, const Bytes& bytes);
    void CountSent(const Bytes& bytes, std::uint32_t nNumber);
    void SendError(const sockaddr_in& to, std::uint16_t code, const std::string& text);
    void SendStray(const sockaddr_in& to, const Bytes& answer);
    void Answer(std::uint32_t nNumber, Bytes packet);
    void Arm();

    // Transfers.
    void HandleRequest(const sockaddr_in& from, const std::uint8_t* p, std::size_t n);
    // True when the datagram was the client's ERROR, which ends the transfer.
    bool EndedByClientError(const std::uint8_t* p, std::size_t n);
    void HandleRead(const std::uint8_t* p, std::size_t n);
    void HandleWrite(const std::uint8_t* p, std::size_t n);
    void HandleOutsider(const sockaddr_in& from, const std::uint8_t* p, std::size_t n);
    bool Triggers(std::uint32_t nBlocksPassed);
    void SendReadBlock(std::uint32_t nNumber);
    void FirstAnswer();
    void RefuseTooLarge(const std::string& what);
    void CompleteWrite();
    void EndTransfer(bool bCompleted);

    const RouterSimOptions& m_options;
    const std::string m_address;
    const RouterFiles m_files;
    const bool m_bSilent;
    const std::string m_eventPrefix;
    const RouterContext m_context;

    RouterSimStats m_stats;
    std::vector<TraceLine> m_trace;
    FaultSwitches m_faults;
    Transfer m_t;
    Finished m_finished;
    std::deque<Scheduled> m_scheduled;
    Clock::time_point m_deafUntil{};
};

}  // namespace velnor::sim
