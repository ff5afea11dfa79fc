#include "SimRouter.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "FileBytes.h"

namespace velnor::sim {

namespace {

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

constexpr std::size_t OVERSIZED_LENGTH = 1100;

// The message of an ERROR packet: up to its zero byte, never past the datagram's end.
std::string ErrorMessage(const std::uint8_t* p, std::size_t n)
{
    if (n <= 4)
        return {};
    const char* text = reinterpret_cast<const char*>(p + 4);
    return std::string(text, strnlen(text, n - 4));
}

}  // namespace

std::string Endpoint(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

Clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

Router::Router(const RouterSimOptions& options, std::string address, std::filesystem::path folder, bool bSilent,
               std::string eventPrefix, const RouterContext& context)
    : m_options(options),
      m_address(std::move(address)),
      m_files(std::move(folder)),
      m_bSilent(bSilent || options.silent),
      m_eventPrefix(std::move(eventPrefix)),
      m_context(context),
      m_faults(options)
{
}

// ---------------------------------------------------------------------------------------------------
// Time

std::optional<Clock::time_point> Router::NextDeadline() const
{
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (m_t.bActive && m_t.bAwaiting && !m_t.bFlashing)
        consider(m_t.timeout);
    if (m_t.bActive && m_t.bFlashing && !m_t.bFlashForever)
        consider(m_t.flashUntil);
    for (const auto& s : m_scheduled)
        consider(s.due);
    if (m_finished.bValid)
        consider(m_finished.until);
    return next;
}

void Router::OnTimers(Clock::time_point now)
{
    while (!m_scheduled.empty()) {
        auto it = std::min_element(m_scheduled.begin(), m_scheduled.end(),
                                   [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
        if (it->due > now)
            break;
        Scheduled s = std::move(*it);
        m_scheduled.erase(it);
        SendNow(s.sock, s.to, s.bytes);
    }
    if (m_finished.bValid && now >= m_finished.until)
        m_finished.bValid = false;
    if (!m_t.bActive)
        return;
    if (m_t.bFlashing) {
        if (!m_t.bFlashForever && now >= m_t.flashUntil) {
            m_t.bFlashing = false;
            CompleteWrite();
        }
        return;
    }
    if (!m_t.bAwaiting || now < m_t.timeout)
        return;
    if (m_t.nRetries >= m_options.maxRetransmits) {
        // The end of the "busy" time of a client that went silent: the router is free again.
        Event("gave up " + m_t.name.FileName() + " with " + Endpoint(m_t.peer) + " after " +
              std::to_string(m_t.nRetries) + " retransmissions");
        EndTransfer(false);
        return;
    }
    ++m_t.nRetries;
    ++m_stats.retransmits;
    if (m_t.bOptionsPending) {
        // No answer to the OACK: a client that does not read options waits for DATA 1 (or ACK 0) and
        // never acknowledges the OACK. Going on without options lets it finish.
        m_t.bOptionsPending = false;
        int nRetries = m_t.nRetries;
        FirstAnswer();
        if (m_t.bActive)
            m_t.nRetries = nRetries;
        return;
    }
    CountSent(m_t.lastPacket, m_t.nLastNumber);
    Emit(m_t.peer, m_t.lastPacket);
    m_t.timeout = now + Seconds(m_options.retransmitSeconds);
}

void Router::Abandon()
{
    if (m_t.bActive)
        EndTransfer(false);
}

// ---------------------------------------------------------------------------------------------------
// Telling

void Router::Event(const std::string& text)
{
    if (m_context.pEvents)
        m_context.pEvents->push_back(m_eventPrefix + text);
}

void Router::TraceDatagram(const char* direction, Sock sock, const sockaddr_in& peer, const std::uint8_t* p,
                           std::size_t n)
{
    if (!m_context.pTraceFile && !m_options.traceInMemory)
        return;
    TraceLine line;
    line.seconds = std::chrono::duration<double>(Clock::now() - m_context.start).count();
    line.direction = direction;
    line.peer = Endpoint(peer);
    line.local = m_localName[sock];
    line.bytes = TracedBytes(p, n);  // the password of a request never reaches the trace
    if (m_context.pTraceFile)
        m_context.pTraceFile->WriteLine(line.Text());
    if (m_options.traceInMemory)
        m_trace.push_back(std::move(line));
}

// ---------------------------------------------------------------------------------------------------
// Sending

void Router::SendNow(Sock sock, const sockaddr_in& to, const Bytes& bytes)
{
    if (m_fds[sock] < 0)
        return;
    ssize_t n = ::sendto(m_fds[sock], bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
    if (n < 0) {
        Event("cannot send to " + Endpoint(to) + ": " + std::strerror(errno));
        return;
    }
    ++m_stats.datagramsOut;
    if (sock == SOCK_OTHER)
        ++m_stats.otherPortDatagramsSent;
    TraceDatagram("out", sock, to, bytes.data(), bytes.size());
}

void Router::Emit(const sockaddr_in& to, const Bytes& bytes)
{
    const Sock sock = ReplySock();
    const auto fate = m_faults.TakeOut(bytes.data(), bytes.size());
    if (fate.bDrop) {
        ++m_stats.droppedOut;
        TraceDatagram("drop-out", sock, to, bytes.data(), bytes.size());
        return;
    }
    if (fate.nCopies > 1)
        ++m_stats.duplicatedOut;
    if (fate.bDelayed)
        ++m_stats.delayedOut;
    for (int i = 0; i < fate.nCopies; ++i) {
        if (fate.delaySeconds > 0)
            m_scheduled.push_back({Clock::now() + Seconds(fate.delaySeconds), sock, to, bytes});
        else
            SendNow(sock, to, bytes);
    }
}

void Router::CountSent(const Bytes& bytes, std::uint32_t nNumber)
{
    switch (ReadU16(bytes.data())) {
    case OP_DATA:
        ++m_stats.dataSent;
        ++m_stats.dataSentPerBlock[nNumber];
        break;
    case OP_ACK:
        ++m_stats.acksSent;
        ++m_stats.acksSentPerBlock[nNumber];
        break;
    case OP_OACK:
        ++m_stats.oacksSent;
        break;
    default:
        break;
    }
}

void Router::SendError(const sockaddr_in& to, std::uint16_t code, const std::string& text)
{
    ++m_stats.errorsSent;
    m_stats.lastErrorSent = text;
    Emit(to, MakeError(code, text));
}

void Router::SendStray(const sockaddr_in& to, const Bytes& answer)
{
    if (m_fds[SOCK_STRAY] < 0 || !m_options.strayCopies)
        return;
    Bytes copy = answer;
    // A DATA copy carries other bytes, so that a client taking it would store a corrupted file.
    if (ReadU16(copy.data()) == OP_DATA) {
        for (std::size_t i = 4; i < copy.size(); ++i)
            copy[i] = static_cast<std::uint8_t>(~copy[i]);
    }
    ++m_stats.strayDatagramsSent;
    SendNow(SOCK_STRAY, to, copy);
}

// Sends the router's packet number nNumber of the transfer (DATA k of a read, ACK k of a write), with the
// fault switches that hang on a packet number, and waits for its answer.
void Router::Answer(std::uint32_t nNumber, Bytes packet)
{
    const sockaddr_in to = m_t.peer;
    bool bReplaced = false;
    for (const RouterSimInjection* inj : m_faults.InjectionsAt(nNumber)) {
        ++m_stats.injectionsSent;
        const Sock sock = inj->from == RouterSimInjection::From::OtherPort      ? SOCK_OTHER
                          : inj->from == RouterSimInjection::From::StrayAddress ? SOCK_STRAY
                                                                                : SOCK_MAIN;
        if (m_fds[sock] < 0)
            continue;  // a stray address the options did not give
        SendNow(sock, to, inj->bytes);
        bReplaced = bReplaced || inj->replacesAnswer;
    }
    if (m_faults.TakeOversized(nNumber)) {
        ++m_stats.oversizedSent;
        Bytes big(OVERSIZED_LENGTH, 0x5A);
        big[0] = 0;
        big[1] = OP_DATA;
        big[2] = static_cast<std::uint8_t>(nNumber >> 8);
        big[3] = static_cast<std::uint8_t>(nNumber);
        SendNow(SOCK_MAIN, to, big);
    }
    if (!m_t.bStraySent)
        SendStray(to, packet);
    m_t.bStraySent = false;
    CountSent(packet, nNumber);
    if (!bReplaced && m_t.bRead && m_faults.TakeOverlong(nNumber)) {
        // One byte too many: the client must drop it and the router's retransmission brings the block.
        Bytes overlong = packet;
        overlong.resize(4 + BLOCK_SIZE + 1, 0x0A);
        Emit(to, overlong);
    } else if (!bReplaced) {
        Emit(to, packet);
    }
    m_t.lastPacket = std::move(packet);
    m_t.nLastNumber = nNumber;
    Arm();
}

void Router::Arm()
{
    m_t.bAwaiting = true;
    m_t.nRetries = 0;
    m_t.timeout = Clock::now() + Seconds(m_options.retransmitSeconds);
}

// ---------------------------------------------------------------------------------------------------
// Taking datagrams in

void Router::HandleDatagram(Sock sock, const sockaddr_in& from, const std::uint8_t* p, std::size_t n)
{
    ++m_stats.datagramsIn;
    if (m_faults.DropIn(p, n)) {
        ++m_stats.droppedIn;
        TraceDatagram("drop-in", sock, from, p, n);
        return;
    }
    TraceDatagram("in", sock, from, p, n);
    if (Clock::now() < m_deafUntil) {
        ++m_stats.ignoredWhileRestarting;
        return;
    }
    if (m_bSilent)
        return;
    const int nTimes = m_faults.TimesIn();
    if (nTimes > 1)
        ++m_stats.duplicatedIn;
    for (int i = 0; i < nTimes; ++i) {
        if (n < 2) {
            ++m_stats.malformedIn;
            return;
        }
        const std::uint16_t op = ReadU16(p);
        if (op == OP_RRQ || op == OP_WRQ) {
            HandleRequest(from, p, n);
        } else if (op < OP_DATA || op > OP_ERROR) {
            ++m_stats.malformedIn;
        } else if (m_t.bActive && SameEndpoint(from, m_t.peer)) {
            if (m_t.bRead)
                HandleRead(p, n);
            else
                HandleWrite(p, n);
        } else {
            HandleOutsider(from, p, n);
        }
    }
}

void Router::HandleOutsider(const sockaddr_in& from, const std::uint8_t* p, std::size_t n)
{
    const std::uint16_t op = ReadU16(p);
    if (m_finished.bValid && SameEndpoint(from, m_finished.peer) && n >= 4) {
        const std::uint16_t block = ReadU16(p + 2);
        if (!m_finished.bRead && op == OP_DATA && block == m_finished.nBlock) {
            // Our final ACK was lost and the client sends its last block again.
            ++m_stats.dataReceived;
            ++m_stats.duplicateDataReacked;
            CountSent(m_finished.finalAck, m_finished.nBlock);
            Emit(from, m_finished.finalAck);
            return;
        }
        if (m_finished.bRead && op == OP_ACK && block == m_finished.nBlock) {
            ++m_stats.acksReceived;
            ++m_stats.duplicateAcksIgnored;
            return;
        }
    }
    ++m_stats.unknownTransferIn;
    if (op == OP_ERROR) {
        ++m_stats.errorsReceived;
        return;  // never answer an ERROR with an ERROR
    }
    if (m_options.answerUnknownTransfer)
        SendError(from, ERR_UNKNOWN_TID, "Unknown transfer ID");
}

void Router::HandleRequest(const sockaddr_in& from, const std::uint8_t* p, std::size_t n)
{
    ++m_stats.requests;
    auto req = ParseRequest(p, n);
    if (!req) {
        ++m_stats.malformedIn;
        SendError(from, ERR_ILLEGAL_OP, "Illegal TFTP operation");
        return;
    }
    const Bytes bytes(p, p + n);
    if (m_t.bActive) {
        if (!SameEndpoint(from, m_t.peer)) {
            // One transfer at a time, as the routers do; the other client hears why at once.
            ++m_stats.busyRejects;
            Event("busy: refused " + ShownName(req->name) + " from " + Endpoint(from));
            SendError(from, ERR_UNDEFINED, "Server busy");
            return;
        }
        if (bytes == m_t.request) {
            if (m_t.bOptionsPending) {
                // The client repeats its request instead of answering the OACK: it does not read
                // options, so go on without them.
                m_t.bOptionsPending = false;
                FirstAnswer();
            } else if (m_t.nSeq == (m_t.bRead ? 1u : 0u) && m_t.bAwaiting && !m_t.bFlashing) {
                // Our first answer was lost: the repeated request is answered like a time-out would be,
                // without a new time-out, so that repeating it cannot hold the router longer.
                CountSent(m_t.lastPacket, m_t.nLastNumber);
                Emit(m_t.peer, m_t.lastPacket);
            } else {
                ++m_stats.unexpectedIn;
            }
            return;
        }
        Event("abandoned " + m_t.name.FileName() + ": " + Endpoint(from) + " asked anew");
        EndTransfer(false);
    }

    const bool bRead = req->opcode == OP_RRQ;
    (bRead ? m_stats.readRequests : m_stats.writeRequests) += 1;
    m_stats.lastRequestName = req->name;
    m_stats.lastMode = req->mode;
    m_stats.lastOptions.clear();
    for (const auto& [key, value] : req->options) {
        m_stats.lastOptions.push_back(key);
        m_stats.lastOptions.push_back(value);
    }
    // Names and modes come from the client: a password masked, control bytes escaped.
    const std::string what = std::string(bRead ? "read " : "write ") + ShownName(req->name) + " (" +
                             ShownText(req->mode) + ") from " + Endpoint(from);
    auto refuse = [&](std::uint16_t code, const std::string& text) {
        Event("refused " + what + ": " + text);
        SendError(from, code, text);
    };

    if (!m_options.errorText.empty() && m_options.errorAfterBlocks < 0) {
        refuse(m_options.errorCode, m_options.errorText);
        return;
    }
    if (!IsServedMode(req->mode)) {
        refuse(ERR_ILLEGAL_OP, "Illegal TFTP operation");
        return;
    }
    auto name = ParseRemoteName(req->name);
    if (!name) {
        refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
        return;
    }
    const unsigned nLimit = name->kind == FileKind::Config ? 4 : 1;
    if ((m_options.noFileNumbers && name->hasNumber) || name->number > nLimit) {
        refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
        return;
    }
    if (name->kind == FileKind::Config) {
        if (!m_options.password.empty() && (!name->hasPassword || name->password != m_options.password)) {
            refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
            return;
        }
    } else if (name->hasPassword || bRead) {
        // Firmware is only ever written, and its name never carries a password.
        refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
        return;
    }

    Transfer t;
    t.peer = from;
    t.bRead = bRead;
    t.name = *name;
    t.request = bytes;
    if (bRead) {
        switch (m_files.Read(name->FileName(), &t.readData)) {
        case RouterFiles::Load::Ok:
            break;
        case RouterFiles::Load::Missing:
            refuse(ERR_NOT_FOUND, TEXT_NO_SUCH_FILE);
            return;
        case RouterFiles::Load::Refused:
            refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
            return;
        }
    }
    for (const auto& [key, value] : req->options) {
        std::string lower(key);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower != "tsize")
            continue;  // the only option this router knows
        if (bRead) {
            t.acceptedOptions.emplace_back(key, std::to_string(t.readData.size()));
        } else {
            if (m_options.maxFileBytes && std::strtoull(value.c_str(), nullptr, 10) > m_options.maxFileBytes) {
                // Announced too large: refused before a byte is taken, the old file untouched.
                refuse(ERR_DISK_FULL, "Disk full or allocation exceeded");
                return;
            }
            t.acceptedOptions.emplace_back(key, value);
        }
    }
    if (!bRead) {
        std::string error;
        t.nTempFd = m_files.CreateTemporary(name->FileName(), &t.tempPath, &error);
        if (t.nTempFd < 0) {
            refuse(ERR_UNDEFINED, "Cannot store " + name->FileName() + ": " + error);
            return;
        }
    }
    m_t = std::move(t);
    m_t.bActive = true;
    m_finished.bValid = false;
    Event("accepted " + what);
    if (m_options.oack && !m_t.acceptedOptions.empty()) {
        m_t.bOptionsPending = true;
        Bytes oack = MakeOack(m_t.acceptedOptions);
        CountSent(oack, 0);
        Emit(m_t.peer, oack);
        m_t.lastPacket = std::move(oack);
        m_t.nLastNumber = 0;
        Arm();
        return;
    }
    FirstAnswer();
}

void Router::FirstAnswer()
{
    if (m_t.bRead) {
        SendReadBlock(1);
    } else {
        if (Triggers(0))
            return;
        Answer(0, MakeAck(0));
    }
}

// The fault switches that replace the router's next packet once so many data blocks have passed.
bool Router::Triggers(std::uint32_t nBlocksPassed)
{
    if (m_options.restartAfterBlocks >= 0 &&
        nBlocksPassed == static_cast<std::uint32_t>(m_options.restartAfterBlocks)) {
        Event("restarting in the middle of " + m_t.name.FileName());
        ++m_stats.restarts;
        EndTransfer(false);
        m_finished.bValid = false;
        m_deafUntil = Clock::now() + Seconds(m_options.restartSeconds);
        return true;
    }
    if (!m_options.errorText.empty() && m_options.errorAfterBlocks >= 0 &&
        nBlocksPassed == static_cast<std::uint32_t>(m_options.errorAfterBlocks)) {
        sockaddr_in peer = m_t.peer;
        Event("failing " + m_t.name.FileName() + " on purpose: " + m_options.errorText);
        EndTransfer(false);
        SendError(peer, m_options.errorCode, m_options.errorText);
        return true;
    }
    return false;
}

void Router::SendReadBlock(std::uint32_t nNumber)
{
    if (Triggers(nNumber - 1))
        return;
    const std::size_t offset = static_cast<std::size_t>(nNumber - 1) * BLOCK_SIZE;
    const std::size_t n = std::min(BLOCK_SIZE, m_t.readData.size() - offset);
    m_t.nSeq = nNumber;
    m_t.bLastSent = n < BLOCK_SIZE;
    // Block numbers wrap from 65535 to 0 on large files.
    Answer(nNumber, MakeData(static_cast<std::uint16_t>(nNumber), m_t.readData.data() + offset, n));
}

bool Router::EndedByClientError(const std::uint8_t* p, std::size_t n)
{
    // A client may give up on either kind of transfer with an ERROR; the router then gives up too.
    if (ReadU16(p) != OP_ERROR)
        return false;
    ++m_stats.errorsReceived;
    m_stats.lastErrorReceived = ErrorMessage(p, n);
    Event("the client ended " + m_t.name.FileName() + " with an error: " + ShownText(m_stats.lastErrorReceived));
    EndTransfer(false);
    return true;
}

void Router::HandleRead(const std::uint8_t* p, std::size_t n)
{
    if (EndedByClientError(p, n))
        return;
    const std::uint16_t op = ReadU16(p);
    if (op != OP_ACK) {
        ++m_stats.unexpectedIn;
        return;
    }
    if (n != 4) {
        ++m_stats.malformedIn;
        return;
    }
    ++m_stats.acksReceived;
    const std::uint16_t block = ReadU16(p + 2);
    if (m_t.bOptionsPending) {
        if (block != 0) {
            ++m_stats.unexpectedIn;
            return;
        }
        m_t.bOptionsPending = false;
        SendReadBlock(1);
        return;
    }
    if (block == static_cast<std::uint16_t>(m_t.nSeq)) {
        if (m_t.bLastSent) {
            Event("sent " + m_t.name.FileName() + " (" + std::to_string(m_t.readData.size()) + " bytes) to " +
                  Endpoint(m_t.peer));
            EndTransfer(true);
            return;
        }
        SendReadBlock(m_t.nSeq + 1);
        return;
    }
    if (block == static_cast<std::uint16_t>(m_t.nSeq - 1)) {
        // Answering a repeated ACK with the DATA again would double every packet from then on (the
        // Sorcerer's Apprentice); only our own time-out resends.
        ++m_stats.duplicateAcksIgnored;
        return;
    }
    ++m_stats.unexpectedIn;
}

void Router::RefuseTooLarge(const std::string& what)
{
    sockaddr_in peer = m_t.peer;
    Event(what);
    // The temporary file goes with the transfer; the old file stays as it was.
    EndTransfer(false);
    SendError(peer, ERR_DISK_FULL, "Disk full or allocation exceeded");
}

void Router::HandleWrite(const std::uint8_t* p, std::size_t n)
{
    if (EndedByClientError(p, n))
        return;
    const std::uint16_t op = ReadU16(p);
    if (m_t.bFlashing) {
        ++m_stats.ignoredWhileFlashing;
        return;
    }
    if (op != OP_DATA) {
        ++m_stats.unexpectedIn;
        return;
    }
    if (n < 4 || n > 4 + BLOCK_SIZE) {
        ++m_stats.malformedIn;
        return;
    }
    ++m_stats.dataReceived;
    const std::uint16_t block = ReadU16(p + 2);
    const std::uint16_t expected = static_cast<std::uint16_t>(m_t.nSeq + 1);
    if (block != expected) {
        if (m_t.nSeq >= 1 && block == static_cast<std::uint16_t>(m_t.nSeq)) {
            // Our ACK was lost; the client sends the block again and must hear the same ACK.
            ++m_stats.duplicateDataReacked;
            CountSent(m_t.lastPacket, m_t.nLastNumber);
            Emit(m_t.peer, m_t.lastPacket);
        } else {
            ++m_stats.unexpectedIn;
        }
        return;
    }
    m_t.bOptionsPending = false;  // DATA 1 after an OACK is the client's agreement
    const std::size_t nData = n - 4;
    if (m_options.maxFileBytes && m_t.nBytes + nData > m_options.maxFileBytes) {
        RefuseTooLarge("refused the rest of " + m_t.name.FileName() + ": larger than " +
                       std::to_string(m_options.maxFileBytes) + " bytes");
        return;
    }
    if (!WriteAllTo(m_t.nTempFd, std::string_view(reinterpret_cast<const char*>(p + 4), nData))) {
        RefuseTooLarge("cannot write " + m_t.tempPath.string() + ": " + std::strerror(errno));
        return;
    }
    m_t.nBytes += nData;
    m_t.nSeq += 1;
    if (Triggers(m_t.nSeq))
        return;
    if (nData == BLOCK_SIZE) {
        Answer(m_t.nSeq, MakeAck(static_cast<std::uint16_t>(m_t.nSeq)));
        return;
    }
    // The last block: the file is complete.
    const bool bFlash = m_options.flashSeconds != 0 &&
                        (m_t.name.kind == FileKind::Exec || m_options.flashConfigWrites);
    if (!bFlash) {
        CompleteWrite();
        return;
    }
    Event("writing the flash ROM with " + m_t.name.FileName() + " (" + std::to_string(m_t.nBytes) + " bytes)");
    // A stray copy of the final ACK goes out now, while the real one is withheld: a client that took it
    // would end before the router has finished.
    SendStray(m_t.peer, MakeAck(static_cast<std::uint16_t>(m_t.nSeq)));
    m_t.bStraySent = true;
    m_t.bFlashing = true;
    m_t.bAwaiting = false;
    m_t.bFlashForever = m_options.flashSeconds < 0;
    m_t.flashUntil = Clock::now() + Seconds(std::max(0.0, m_options.flashSeconds));
}

void Router::CompleteWrite()
{
    std::string error;
    bool bStored = true;
    if (m_t.nTempFd >= 0 && m_options.alterStoredFiles) {
        const std::size_t nExtra = std::strlen(kAlteredStoreLine);
        if (!WriteAllTo(m_t.nTempFd, std::string_view(kAlteredStoreLine, nExtra))) {
            error = std::strerror(errno);
            bStored = false;
        }
    }
    if (m_t.nTempFd >= 0) {
        const int r = ::close(m_t.nTempFd);
        m_t.nTempFd = -1;
        if (r != 0 && bStored) {
            error = std::strerror(errno);
            bStored = false;
        }
    }
    // Only a complete file replaces the old one; the rename does it in one go.
    if (bStored)
        bStored = m_files.Commit(m_t.tempPath, m_t.name.FileName(), &error);
    if (!bStored) {
        sockaddr_in peer = m_t.peer;
        Event("cannot store " + m_t.name.FileName() + ": " + error);
        EndTransfer(false);
        // The client must not take a lost file for a stored one: no final ACK, an ERROR instead.
        SendError(peer, ERR_DISK_FULL, "Disk full or allocation exceeded");
        return;
    }
    m_t.tempPath.clear();
    Event("stored " + m_t.name.FileName() + " (" + std::to_string(m_t.nBytes) + " bytes) from " +
          Endpoint(m_t.peer));
    const std::uint32_t nNumber = m_t.nSeq;
    Bytes ack = MakeAck(static_cast<std::uint16_t>(nNumber));
    m_finished = Finished{};
    Answer(nNumber, ack);
    m_finished.bValid = true;
    m_finished.peer = m_t.peer;
    m_finished.bRead = false;
    m_finished.nBlock = static_cast<std::uint16_t>(nNumber);
    m_finished.finalAck = std::move(ack);
    m_finished.until = Clock::now() + Seconds(m_options.retransmitSeconds * (m_options.maxRetransmits + 2));
    EndTransfer(true);
}

void Router::EndTransfer(bool bCompleted)
{
    if (!m_t.bActive)
        return;
    if (m_t.nTempFd >= 0)
        ::close(m_t.nTempFd);
    if (!m_t.tempPath.empty())
        ::unlink(m_t.tempPath.c_str());  // the name only: it was created by us, never a link
    if (bCompleted) {
        ++m_stats.transfersCompleted;
        if (m_t.bRead) {
            m_finished = Finished{};
            m_finished.bValid = true;
            m_finished.peer = m_t.peer;
            m_finished.bRead = true;
            m_finished.nBlock = static_cast<std::uint16_t>(m_t.nSeq);
            m_finished.until = Clock::now() + Seconds(m_options.retransmitSeconds * (m_options.maxRetransmits + 2));
        }
    } else if (m_t.bRead && m_t.bLastSent) {
        ++m_stats.transfersUnconfirmed;
    } else {
        ++m_stats.transfersFailed;
    }
    m_t = Transfer{};
}

}  // namespace velnor::sim
