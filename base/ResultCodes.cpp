#include "ResultCodes.h"

#include <cstdio>

const char* ResultCodeName(TftpResult nCode)
{
    switch (nCode) {
    case TFTP_OK: return "TFTP_OK";
    case TFTP_ERR_NO_MEMORY: return "TFTP_ERR_NO_MEMORY";
    case TFTP_ERR_FILE_OPEN: return "TFTP_ERR_FILE_OPEN";
    case TFTP_ERR_FILE_READ: return "TFTP_ERR_FILE_READ";
    case TFTP_ERR_FILE_WRITE: return "TFTP_ERR_FILE_WRITE";
    case TFTP_ERR_FILE_SAVE: return "TFTP_ERR_FILE_SAVE";
    case TFTP_ERR_BAD_ADDRESS: return "TFTP_ERR_BAD_ADDRESS";
    case TFTP_ERR_BAD_PASSWORD: return "TFTP_ERR_BAD_PASSWORD";
    case TFTP_ERR_OTHER: return "TFTP_ERR_OTHER";
    case TFTP_ERR_NET_OPEN: return "TFTP_ERR_NET_OPEN";
    case TFTP_ERR_NET_FAULT: return "TFTP_ERR_NET_FAULT";
    case TFTP_ERR_NO_RESPONSE: return "TFTP_ERR_NO_RESPONSE";
    case TFTP_ERR_PEER_ERROR: return "TFTP_ERR_PEER_ERROR";
    case TFTP_ERR_RECV_NO_MEMORY: return "TFTP_ERR_RECV_NO_MEMORY";
    case TFTP_ERR_NO_SUCH_FILE: return "TFTP_ERR_NO_SUCH_FILE";
    case TFTP_ERR_ACCESS_VIOLATION: return "TFTP_ERR_ACCESS_VIOLATION";
    default: return "";
    }
}

std::string CodeText(TftpResult nCode)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(nCode));
    return text;
}
