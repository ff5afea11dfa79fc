#pragma once
// Records, phases and steps shared by the engine, the dialog and the console companion (the result
// codes are everyone's: ResultCodes.h).

#include <cstdint>
#include <string>

#include "ResultCodes.h"

// Where a transfer stands. The dialog shows the status text with the same number.
enum TransferPhase : std::uint16_t {
    PHASE_IDLE = 0,
    PHASE_OPEN = 1,
    PHASE_PREPARE = 2,
    PHASE_WAIT_REPLY = 3,
    PHASE_SENDING = 4,
    PHASE_RECEIVING = 5,
    PHASE_WRITING_ROM = 6,
    PHASE_FAILED = 7,
    PHASE_FINISH = 8,
    PHASE_CLOSE = 9,
};

// The engine's inner step; meaningful only in phases 3 to 6.
enum TransferStep : std::uint16_t {
    STEP_NONE = 0,
    STEP_SEND_REQUEST = 1,
    STEP_SEND_DATA = 2,
    STEP_WAIT_ACK = 3,
    STEP_SEND_ACK = 4,
    STEP_WAIT_DATA = 5,
    STEP_RESEND = 6,
    STEP_WAIT_ROM_WRITE = 7,
    STEP_SEND_ERROR = 8,
};

inline constexpr std::int16_t DIRECTION_SEND = 0;     // local file to the router (write request)
inline constexpr std::int16_t DIRECTION_RECEIVE = 1;  // router to the local file (read request)
inline constexpr std::int16_t FILE_KIND_CONFIG = 0;
inline constexpr std::int16_t FILE_KIND_FIRMWARE = 1;

// What the dialog (or the console companion) hands to the engine to start a transfer.
// Texts are UTF-8 bytes, sent on the wire unchanged.
struct TransferRequest {
    std::int16_t nDirection = DIRECTION_SEND;
    std::int16_t nFileKind = FILE_KIND_FIRMWARE;
    std::string strRouter;      // dotted IPv4 text as typed
    std::string strPassword;    // empty or up to 32 bytes
    std::string strFileNumber;  // empty, or the decimal digits of the file number
};

inline constexpr int TFTP_BLOCK_SIZE = 512;
inline constexpr int TFTP_SEND_BUFFER_SIZE = 1028;
inline constexpr int TFTP_RECV_BUFFER_SIZE = 1024;
inline constexpr std::uint16_t TFTP_PORT = 69;

// One entry of the send block array.
struct SendBlock {
    std::int16_t nLength;                  // valid bytes in data, 0..512
    std::uint8_t data[TFTP_BLOCK_SIZE];
};

// One node of the receive block list.
struct RecvBlock {
    std::int16_t nLength;                  // payload length of the DATA packet, 0..512
    std::uint8_t data[TFTP_BLOCK_SIZE];
    RecvBlock* pNext;
};
