// The engine's file side: the file to send is read whole into the send block array before the
// request goes out; a received file is collected in memory and written only once the whole receive
// has succeeded. Nothing here touches the disk while packets are being exchanged.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <string_view>

#include "TftpTransfer.h"

SendBlock* g_pSendBlocks = nullptr;
RecvBlock* g_pRecvHead = nullptr;
RecvBlock* g_pRecvTail = nullptr;

namespace {

// The local file is read and written in pieces of this size (a multiple of the block size), through
// one buffer: a process runs one transfer at a time.
constexpr std::size_t kFileChunk = CReceivedBytes::kMaxPiece;
std::uint8_t s_fileChunk[kFileChunk];

// The received blocks in order, gathered into pieces of up to kFileChunk bytes: one system call or
// comparison per block would cost more than receiving the block did. False as soon as visit is.
bool GatherReceivedBlocks(const std::function<bool(std::string_view piece)>& visit)
{
    std::size_t nHeld = 0;
    for (const RecvBlock* pNode = g_pRecvHead; pNode; pNode = pNode->pNext) {
        const std::size_t nLength = static_cast<std::size_t>(pNode->nLength);
        if (nHeld + nLength > kFileChunk) {
            if (!visit(std::string_view(reinterpret_cast<const char*>(s_fileChunk), nHeld)))
                return false;
            nHeld = 0;
        }
        std::memcpy(s_fileChunk + nHeld, pNode->data, nLength);
        nHeld += nLength;
    }
    return nHeld == 0 || visit(std::string_view(reinterpret_cast<const char*>(s_fileChunk), nHeld));
}

// Block memory of a large file comes in whole huge pages (2 MiB, aligned) that are advised as such
// and provided by the system in one call. Touching fresh small pages one by one costs a fault each,
// and where faults are expensive (virtual machines that shadow the page tables) that alone costs
// more than exchanging the blocks. A system without huge pages, or without the request to provide
// pages, hands out small pages as they are touched, exactly as for any other allocation.
constexpr std::size_t kHugePage = 2 * 1024 * 1024;

void* NewLargeBlockMemory(std::size_t nBytes)
{
    const std::size_t nRounded = (nBytes + kHugePage - 1) & ~(kHugePage - 1);
    void* pMemory = std::aligned_alloc(kHugePage, nRounded);
    if (!pMemory)
        return nullptr;
#ifdef MADV_HUGEPAGE
    ::madvise(pMemory, nRounded, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    const auto nPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    ::madvise(pMemory, (nBytes + nPage - 1) & ~(nPage - 1), MADV_POPULATE_WRITE);
#endif
    return pMemory;
}

// The send block array when LoadSendFile took it from NewLargeBlockMemory (released with free);
// any other array in g_pSendBlocks came from new[].
SendBlock* s_pLargeSendBlocks = nullptr;

// Received blocks are carved from arrays, so that a file of megabytes costs a few dozen allocations
// rather than one per block: a few small arrays for the usual configuration file, then huge pages.
// The list through pNext stays the only order of the blocks; the arrays only hold them.
constexpr std::uint32_t kSmallRecvArrays[] = {16, 64, 256};
constexpr std::uint32_t kLargeRecvArray = kHugePage / sizeof(RecvBlock);
// The receive bound needs fewer arrays than this; past it, memory counts as exhausted.
constexpr std::size_t kMaxRecvArrays = 64;
static_assert(TFTP_MAX_RECEIVE_BYTES / TFTP_BLOCK_SIZE + 1 < kLargeRecvArray * (kMaxRecvArrays - 4),
              "the receive bound fits in the arrays");
RecvBlock* s_recvArrays[kMaxRecvArrays];
std::size_t s_nRecvArrays = 0;
std::uint32_t s_nRecvArrayUsed = 0;
std::uint32_t s_nRecvArraySize = 0;

RecvBlock* NewRecvBlock()
{
    if (s_nRecvArrayUsed == s_nRecvArraySize) {
        if (s_nRecvArrays == kMaxRecvArrays)
            return nullptr;
        void* pArray = nullptr;
        std::uint32_t nSize = 0;
        if (s_nRecvArrays < std::size(kSmallRecvArrays)) {
            nSize = kSmallRecvArrays[s_nRecvArrays];
            pArray = std::malloc(nSize * sizeof(RecvBlock));
        } else {
            nSize = kLargeRecvArray;
            pArray = NewLargeBlockMemory(nSize * sizeof(RecvBlock));
        }
        if (!pArray)
            return nullptr;
        s_recvArrays[s_nRecvArrays++] = static_cast<RecvBlock*>(pArray);
        s_nRecvArraySize = nSize;
        s_nRecvArrayUsed = 0;
    }
    return &s_recvArrays[s_nRecvArrays - 1][s_nRecvArrayUsed++];
}

void DeleteRecvBlocks()
{
    for (std::size_t i = 0; i < s_nRecvArrays; ++i)
        std::free(s_recvArrays[i]);
    s_nRecvArrays = 0;
    s_nRecvArrayUsed = 0;
    s_nRecvArraySize = 0;
}

// A received file is the user's: a link at its name is followed, as editing "the file" means, and the
// replaced file keeps its permissions and owner. A configuration holds the router password: a new
// file is readable by its owner only. The check before the request and the save use these alike.
ReplaceRules ReceivedFileRules()
{
    ReplaceRules rules;
    rules.link = LinkRule::Follow;
    rules.mode = ModeRule::KeepOld;
    rules.nNewFileMode = 0600;
    rules.bNewFileModeExact = true;
    return rules;
}

}  // namespace

TftpResult CTftpTransfer::PrepareLocal()
{
    if (m_nDirection == DIRECTION_SEND) {
        TftpResult nResult = LoadSendFile();
        if (nResult != TFTP_OK)
            return nResult;
        m_nTotalBytes = m_nFileSize;
        // The router answers a write request with the ACK of block 0.
        m_nBlock = 0;
    } else {
        // A file that could not take the received data is found now, before the router is asked for
        // anything, not after the whole file has crossed the network. The save checks once more. A
        // file that will not be saved (its bytes go to the owner only) is not looked at.
        if (m_bSaveReceived
            && CheckReplaceable(m_strLocalPath, &m_localFailure, ReceivedFileRules()) != ReplaceOutcome::Replaced)
            return TFTP_ERR_FILE_OPEN;
        m_nBlock = 1;
    }
    m_nStep = STEP_SEND_REQUEST;
    return TFTP_OK;
}

TftpResult CTftpTransfer::LoadSendFile()
{
    CLocalFile::Status status;
    if (!m_file.OpenForRead(m_strLocalPath, status)) {
        m_localFailure = FailureOfOpen(m_strLocalPath, m_file.LastError());
        return TFTP_ERR_FILE_OPEN;
    }
    // Block numbers are 16 bits and index the array: 65535 entries, the last one short, is the most
    // a transfer can carry. Refused here, before any packet goes out.
    if (status.nSize > TFTP_MAX_SEND_BYTES) {
        m_localFailure = LocalFailure{LocalFailure::Kind::TooLarge, m_strLocalPath, 0, TFTP_MAX_SEND_BYTES};
        m_file.Abort();
        return TFTP_ERR_FILE_READ;
    }
    m_nFileSize = status.nSize;
    // One entry more than the full blocks: a size that is a multiple of 512 (0 included) must end
    // with an empty DATA block.
    m_nBlockCount = static_cast<std::uint16_t>(m_nFileSize / TFTP_BLOCK_SIZE + 1);
    const std::size_t nArrayBytes = std::size_t{m_nBlockCount} * sizeof(SendBlock);
    if (nArrayBytes >= kHugePage) {
        s_pLargeSendBlocks = static_cast<SendBlock*>(NewLargeBlockMemory(nArrayBytes));
        g_pSendBlocks = s_pLargeSendBlocks;
    } else {
        g_pSendBlocks = new (std::nothrow) SendBlock[m_nBlockCount];
    }
    if (!g_pSendBlocks) {
        m_file.Abort();
        return TFTP_ERR_NO_MEMORY;
    }

    // Read in large pieces and cut into blocks here: one system call per block would cost more than
    // sending the block.
    std::int64_t nLeft = m_nFileSize;
    std::uint32_t nBlock = 0;
    while (nLeft > 0) {
        const std::size_t nWant = std::min(static_cast<std::size_t>(nLeft), kFileChunk);
        const std::int64_t nRead = m_file.Read(s_fileChunk, nWant);
        // A file that changes size while it is read is being rewritten by someone: what was measured
        // and what was read no longer describe the same image, and a firmware image cut or spliced
        // that way must not reach the router's flash ROM.
        if (nRead != static_cast<std::int64_t>(nWant)) {
            m_localFailure = nRead < 0 ? LocalFailure{LocalFailure::Kind::System, m_strLocalPath, m_file.LastError(), 0}
                                       : LocalFailure{LocalFailure::Kind::Changed, m_strLocalPath, 0, 0};
            m_file.Abort();
            return TFTP_ERR_FILE_READ;
        }
        for (std::size_t nOffset = 0; nOffset < nWant; nOffset += TFTP_BLOCK_SIZE, ++nBlock) {
            const std::size_t nLength = std::min<std::size_t>(TFTP_BLOCK_SIZE, nWant - nOffset);
            SendBlock& block = g_pSendBlocks[nBlock];
            std::memcpy(block.data, s_fileChunk + nOffset, nLength);
            block.nLength = static_cast<std::int16_t>(nLength);
        }
        nLeft -= static_cast<std::int64_t>(nWant);
    }
    // A size that is a multiple of 512 (0 included) ends with an empty block.
    if (nBlock + 1 == m_nBlockCount)
        g_pSendBlocks[nBlock].nLength = 0;
    // The file grew after it was measured.
    std::uint8_t extra = 0;
    if (m_file.Read(&extra, 1) != 0) {
        m_localFailure = LocalFailure{LocalFailure::Kind::Changed, m_strLocalPath, 0, 0};
        m_file.Abort();
        return TFTP_ERR_FILE_READ;
    }
    // Closing a file that was only read cannot lose anything: every byte is already in the array.
    m_file.Close();
    return TFTP_OK;
}

TftpResult CTftpTransfer::StoreReceivedBlock()
{
    const int nLength = m_nRecvLen - 4;
    if (nLength < 0 || nLength > TFTP_BLOCK_SIZE)
        return TFTP_ERR_RECV_NO_MEMORY;
    // A router that never sends its short block would otherwise fill all memory; the user is told
    // the same as when memory runs out, and the router is told to stop.
    if (m_nBytesDone + nLength > TFTP_MAX_RECEIVE_BYTES)
        return TFTP_ERR_RECV_NO_MEMORY;
    RecvBlock* pNode = NewRecvBlock();
    if (!pNode)
        return TFTP_ERR_RECV_NO_MEMORY;
    pNode->nLength = static_cast<std::int16_t>(nLength);
    std::memcpy(pNode->data, g_recvBuffer + 4, static_cast<std::size_t>(nLength));
    pNode->pNext = nullptr;
    if (!g_pRecvHead)
        g_pRecvHead = pNode;
    else
        g_pRecvTail->pNext = pNode;
    g_pRecvTail = pNode;

    if (nLength < TFTP_BLOCK_SIZE)
        m_bLastBlock = true;
    m_nBlockLen = nLength;
    return TFTP_OK;
}

TftpResult CTftpTransfer::FinishLocal()
{
    if (m_nDirection == DIRECTION_SEND) {
        FreeBlocks();
        return TFTP_OK;
    }
    return FinishReceive();
}

TftpResult CTftpTransfer::FinishReceive()
{
    if (m_nResult == TFTP_OK) {
        // The blocks stay held on failure; the pass through PHASE_FAILED brings us back here with
        // m_nResult set, and only then are they released.
        TftpResult nResult = m_onReceived ? HandOverReceived() : TFTP_OK;
        if (nResult == TFTP_OK && m_bSaveReceived)
            nResult = SaveReceivedFile();
        if (nResult != TFTP_OK)
            return nResult;
    }
    FreeBlocks();
    return TFTP_OK;
}

TftpResult CTftpTransfer::SaveReceivedFile()
{
    // The received data goes to a new file beside the chosen one, which replaces it only once every
    // byte is safely on disk: a full disk or a failing device never costs the user the file they
    // already had, and never leaves a half-written one in its place. A configuration holds the router
    // password: a new file is readable by its owner only, and a replaced one keeps its permissions.
    const ReplaceOutcome nOutcome = ReplaceWholeFile(m_strLocalPath, ReceivedFileRules(), [](CLocalFile& file) {
        return GatherReceivedBlocks([&file](std::string_view piece) { return file.Write(piece.data(), piece.size()); });
    }, &m_localFailure);
    switch (nOutcome) {
    case ReplaceOutcome::Replaced:
        return TFTP_OK;
    case ReplaceOutcome::Refused:
        return TFTP_ERR_FILE_OPEN;
    case ReplaceOutcome::WriteFailed:
        return TFTP_ERR_FILE_WRITE;
    case ReplaceOutcome::SaveFailed:
        return TFTP_ERR_FILE_SAVE;
    }
    return TFTP_ERR_FILE_SAVE;
}

void CTftpTransfer::SetReceivedHandler(ReceivedHandler handler, bool bSaveLocalFile)
{
    m_onReceived = std::move(handler);
    m_bSaveReceived = bSaveLocalFile;
}

TftpResult CTftpTransfer::HandOverReceived()
{
    return m_onReceived(CReceivedBytes(m_nBytesDone));
}

bool CReceivedBytes::ForEachPiece(const std::function<bool(std::string_view piece)>& visit) const
{
    return GatherReceivedBlocks(visit);
}

TftpResult CTftpTransfer::FreeBlocks()
{
    if (g_pSendBlocks && g_pSendBlocks == s_pLargeSendBlocks)
        std::free(g_pSendBlocks);
    else
        delete[] g_pSendBlocks;
    g_pSendBlocks = nullptr;
    s_pLargeSendBlocks = nullptr;
    DeleteRecvBlocks();
    g_pRecvHead = nullptr;
    g_pRecvTail = nullptr;
    return TFTP_OK;
}
