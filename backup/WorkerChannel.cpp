#include "WorkerChannel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool ReadExactly(int nFd, void* pBuffer, std::size_t nSize)
{
    auto* p = static_cast<char*>(pBuffer);
    while (nSize > 0) {
        const ssize_t n = ::read(nFd, p, nSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        nSize -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string EncodeFrame(const std::vector<std::string>& fields)
{
    std::string frame;
    auto put = [&](std::uint32_t n) { frame.append(reinterpret_cast<const char*>(&n), sizeof n); };
    put(static_cast<std::uint32_t>(fields.size()));
    for (const std::string& field : fields) {
        put(static_cast<std::uint32_t>(field.size()));
        frame += field;
    }
    return frame;
}

bool ReadFrame(int nFd, std::vector<std::string>& fields)
{
    std::uint32_t nFields = 0;
    if (!ReadExactly(nFd, &nFields, sizeof nFields) || nFields > kMaxFrameFields)
        return false;
    fields.assign(nFields, {});
    for (std::string& field : fields) {
        std::uint32_t nSize = 0;
        if (!ReadExactly(nFd, &nSize, sizeof nSize) || nSize > kMaxFrameFieldBytes)
            return false;
        field.resize(nSize);
        if (!ReadExactly(nFd, field.data(), nSize))
            return false;
    }
    return true;
}

FrameTake TakeFrame(std::string& buffer, std::vector<std::string>& fields)
{
    std::size_t nAt = 0;
    auto number = [&](std::uint32_t& n) {
        if (buffer.size() - nAt < sizeof n)
            return false;
        std::memcpy(&n, buffer.data() + nAt, sizeof n);
        nAt += sizeof n;
        return true;
    };
    std::uint32_t nFields = 0;
    if (!number(nFields))
        return FrameTake::Partial;
    if (nFields > kMaxFrameFields)
        return FrameTake::Malformed;
    std::vector<std::string> taken(nFields);
    for (std::string& field : taken) {
        std::uint32_t nSize = 0;
        if (!number(nSize))
            return FrameTake::Partial;
        if (nSize > kMaxFrameFieldBytes)
            return FrameTake::Malformed;
        if (buffer.size() - nAt < nSize)
            return FrameTake::Partial;
        field.assign(buffer, nAt, nSize);
        nAt += nSize;
    }
    buffer.erase(0, nAt);
    fields = std::move(taken);
    return FrameTake::Whole;
}

bool SendAll(int nFd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(nFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}
