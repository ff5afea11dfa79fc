// The framing of a worker's channel, on a real socket pair: what goes in comes out field for field
// (any byte, empty fields, frames back to back), and a frame cut short or out of bounds is refused
// rather than read into a huge buffer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "WorkerChannel.h"

namespace {

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair()
    {
        for (int fd : fds) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    void CloseWriter()
    {
        ::close(fds[1]);
        fds[1] = -1;
    }
};

std::string Number(std::uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), sizeof n); }

}  // namespace

TEST(WorkerChannel, FramesArriveFieldForField)
{
    const std::vector<std::vector<std::string>> frames = {
        {"0", "pass\nword", "velnor-tftp", "get", "--", "10.0.0.1", "/tmp/w/r.conf"},
        {},
        {"", std::string("\0\xff", 2), ""},
        {std::string(kMaxFrameFieldBytes, 'x')},
    };
    SocketPair pair;
    for (const auto& frame : frames) {
        SCOPED_TRACE(frame.size());
        ASSERT_TRUE(SendAll(pair.fds[1], EncodeFrame(frame)));
        std::vector<std::string> got{"stale"};
        ASSERT_TRUE(ReadFrame(pair.fds[0], got));
        EXPECT_EQ(got, frame);
    }
    pair.CloseWriter();
    std::vector<std::string> got;
    EXPECT_FALSE(ReadFrame(pair.fds[0], got)) << "the end of the channel";
}

TEST(WorkerChannel, MalformedFramesAreRefused)
{
    struct Case {
        const char* pszName;
        std::string bytes;
    };
    const Case cases[] = {
        {"too many fields", Number(kMaxFrameFields + 1)},
        {"a field too long", Number(1) + Number(kMaxFrameFieldBytes + 1)},
        {"cut in the count", std::string("\x01\x00", 2)},
        {"cut in a length", Number(2) + Number(1) + "a" + std::string("\x01", 1)},
        {"cut in a field", Number(1) + Number(5) + "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        SocketPair pair;
        ASSERT_TRUE(SendAll(pair.fds[1], c.bytes));
        pair.CloseWriter();
        std::vector<std::string> got;
        EXPECT_FALSE(ReadFrame(pair.fds[0], got));
    }
}

TEST(WorkerChannel, SendToAnEndedPeerFailsWithoutASignal)
{
    SocketPair pair;
    ::close(pair.fds[0]);
    pair.fds[0] = -1;
    // Without MSG_NOSIGNAL the SIGPIPE would end this test binary.
    EXPECT_FALSE(SendAll(pair.fds[1], EncodeFrame({"job"})));
}
