// velnor-kill-helper: does one of the program's saves so that the kill tests can end it with SIGKILL
// at a chosen point.
//
//   velnor-kill-helper settings-save <dir> <A|B>   loads the settings of <dir>, hands over list A or B, and
//                                                  saves them as the program does at exit
//   velnor-kill-helper settings-first <dir>        a first start: the settings file is created
//   velnor-kill-helper settings-loop <dir>         saves lists A and B alternately until it is killed
//   velnor-kill-helper receive <dir> <address> <size> <name>
//                                                  runs a router simulator on the tests' router port of
//                                                  <address> with a configuration of <size> bytes in
//                                                  <dir>/router and gets it into <dir>/local/<name>
//
// Two ways to be killed:
//  - at a file-system call: the library code linked into this program reaches open, write, fsync,
//    fchmod, close, rename and unlink only through the wrappers below (the linker's --wrap). Once the
//    save is under way ("armed"), the calls of the main thread are counted, and with
//    VELNOR_KILL_AT=n the process kills itself before the n-th one (after it with
//    VELNOR_KILL_AFTER=1). At a normal end the program prints "calls=" and the names of the counted
//    calls, so that the test knows every point there is.
//  - after a delay: with VELNOR_READY_FD=n, one byte is written to descriptor n as the save is armed;
//    the test then waits its chosen number of microseconds and kills.

#include <QCoreApplication>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RouterSim.h"
#include "SetData.h"
#include "TestSupport.h"
#include "TransferDriver.h"

namespace {

std::atomic<bool> g_bArmed{false};
long g_nCalls = 0;
long g_nKillAt = 0;
bool g_bKillAfter = false;
std::thread::id g_mainThread;
std::string g_callNames;
int g_nReadyFd = -1;

// Counts a call of the main thread while armed; the number of this call, or 0 when not counted.
long Before(const char* pName)
{
    if (!g_bArmed.load(std::memory_order_relaxed) || std::this_thread::get_id() != g_mainThread)
        return 0;
    const long nCall = ++g_nCalls;
    if (!g_callNames.empty())
        g_callNames += ',';
    g_callNames += pName;
    if (nCall == g_nKillAt && !g_bKillAfter)
        ::kill(::getpid(), SIGKILL);
    return nCall;
}

void After(long nCall)
{
    if (nCall != 0 && nCall == g_nKillAt && g_bKillAfter)
        ::kill(::getpid(), SIGKILL);
}

void Arm()
{
    // The byte goes out first: a test that kills after a delay starts its clock at the save.
    if (g_nReadyFd >= 0) {
        const char ready = 'R';
        [[maybe_unused]] ssize_t n = ::write(g_nReadyFd, &ready, 1);
    }
    g_bArmed = true;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: velnor-kill-helper settings-save <dir> <A|B> | settings-first <dir> | settings-loop <dir> |\n"
                 "       receive <dir> <address> <size> <name>\n");
    return 64;
}

// Two address lists that differ in every record and in length, so that any mix of the two shows.
AddressList ListA()
{
    AddressList list;
    list[0] = "192.0.2.1";
    list[ADDRESS_HISTORY_SIZE] = "192.0.2.1";
    return list;
}

AddressList ListB()
{
    AddressList list;
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        list[i] = "198.51.100." + std::to_string(100 + i);
    list[ADDRESS_HISTORY_SIZE] = list[ADDRESS_HISTORY_SIZE - 1];
    return list;
}

std::string FolderA() { return "/home/user/a/"; }
// Long enough for the three-byte length prefix and more than one disk block.
std::string FolderB() { return "/srv/" + std::string(5000, 'b') + "/"; }

void Hand(CSetData& data, bool bListB)
{
    data.SetAddressList(bListB ? ListB() : ListA());
    data.m_strFolder = bListB ? FolderB() : FolderA();
}

int SettingsSave(const std::string& strList)
{
    if (strList != "A" && strList != "B")
        return Usage();
    auto* pData = new CSetData;
    Hand(*pData, strList == "B");
    Arm();
    // The program saves from the settings object's destructor, when its window closes.
    delete pData;
    return 0;
}

int SettingsFirst()
{
    Arm();
    delete new CSetData;
    return 0;
}

int SettingsLoop()
{
    CSetData data;
    Arm();
    for (bool bListB = true;; bListB = !bListB) {
        Hand(data, bListB);
        data.Save();
    }
}

int Receive(const std::filesystem::path& dir, const std::string& strAddress, const std::string& strSize,
            const std::string& strName)
{
    const std::size_t nSize = std::strtoull(strSize.c_str(), nullptr, 10);
    const std::filesystem::path routerDir = dir / "router";
    std::filesystem::create_directories(routerDir);
    std::filesystem::create_directories(dir / "local");
    testsupport::WriteFileBytes(routerDir / "config0", testsupport::PatternBytes(nSize, 99));

    velnor::sim::RouterSimOptions options;
    options.listenAddress = strAddress;
    options.port = testsupport::kTestRouterPort;
    options.root = routerDir;
    velnor::sim::RouterSim sim(options);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 3;
    }

    CTransferDriver driver(TransferTimings{500, 2000, testsupport::kTestRouterPort});
    QObject::connect(&driver, &CTransferDriver::phaseChanged, [](int nPhase) {
        // The step that follows PHASE_FINISH writes the received file.
        if (nPhase == PHASE_FINISH && !g_bArmed)
            Arm();
    });
    TransferRequest request;
    request.nDirection = DIRECTION_RECEIVE;
    request.nFileKind = FILE_KIND_CONFIG;
    request.strRouter = strAddress;
    driver.Engine().SetLocalFile(true, (dir / "local" / strName).string());
    if (driver.Start(request) != TFTP_OK)
        return 4;
    const TftpResult nResult = driver.RunToEnd();
    g_bArmed = false;
    if (nResult != TFTP_OK) {
        std::fprintf(stderr, "the transfer failed: 0x%X\n", static_cast<unsigned>(nResult));
        return 5;
    }
    return 0;
}

}  // namespace

// The wrappers. Each passes the call on unchanged; only the counting and the kill are added.
extern "C" {
int __real_open(const char* pPath, int nFlags, ...);
ssize_t __real_write(int nFd, const void* pBuffer, size_t nCount);
int __real_fsync(int nFd);
int __real_fchmod(int nFd, mode_t nMode);
int __real_close(int nFd);
int __real_rename(const char* pFrom, const char* pTo);
int __real_unlink(const char* pPath);

int __wrap_open(const char* pPath, int nFlags, ...)
{
    mode_t nMode = 0;
    if ((nFlags & O_CREAT) || (nFlags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, nFlags);
        nMode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    const long nCall = Before("open");
    const int nResult = __real_open(pPath, nFlags, nMode);
    After(nCall);
    return nResult;
}

ssize_t __wrap_write(int nFd, const void* pBuffer, size_t nCount)
{
    const long nCall = Before("write");
    const ssize_t nResult = __real_write(nFd, pBuffer, nCount);
    After(nCall);
    return nResult;
}

int __wrap_fsync(int nFd)
{
    const long nCall = Before("fsync");
    const int nResult = __real_fsync(nFd);
    After(nCall);
    return nResult;
}

int __wrap_fchmod(int nFd, mode_t nMode)
{
    const long nCall = Before("fchmod");
    const int nResult = __real_fchmod(nFd, nMode);
    After(nCall);
    return nResult;
}

int __wrap_close(int nFd)
{
    const long nCall = Before("close");
    const int nResult = __real_close(nFd);
    After(nCall);
    return nResult;
}

int __wrap_rename(const char* pFrom, const char* pTo)
{
    const long nCall = Before("rename");
    const int nResult = __real_rename(pFrom, pTo);
    After(nCall);
    return nResult;
}

int __wrap_unlink(const char* pPath)
{
    const long nCall = Before("unlink");
    const int nResult = __real_unlink(pPath);
    After(nCall);
    return nResult;
}
}

int main(int argc, char** argv)
{
    g_mainThread = std::this_thread::get_id();
    if (const char* pAt = std::getenv("VELNOR_KILL_AT"))
        g_nKillAt = std::strtol(pAt, nullptr, 10);
    if (const char* pAfter = std::getenv("VELNOR_KILL_AFTER"))
        g_bKillAfter = std::strcmp(pAfter, "1") == 0;
    if (const char* pReady = std::getenv("VELNOR_READY_FD"))
        g_nReadyFd = static_cast<int>(std::strtol(pReady, nullptr, 10));
    if (argc < 3)
        return Usage();

    QCoreApplication app(argc, argv);
    const std::string strMode = argv[1];
    const std::filesystem::path dir = argv[2];
    int nExit = 0;
    if (strMode == "receive") {
        if (argc != 6)
            return Usage();
        nExit = Receive(dir, argv[3], argv[4], argv[5]);
    } else {
        // The settings file lives in the current directory.
        std::error_code ec;
        std::filesystem::current_path(dir, ec);
        if (ec) {
            std::fprintf(stderr, "cannot enter %s: %s\n", dir.c_str(), ec.message().c_str());
            return 3;
        }
        if (strMode == "settings-save" && argc == 4)
            nExit = SettingsSave(argv[3]);
        else if (strMode == "settings-first" && argc == 3)
            nExit = SettingsFirst();
        else if (strMode == "settings-loop" && argc == 3)
            nExit = SettingsLoop();
        else
            return Usage();
    }
    g_bArmed = false;
    std::printf("calls=%s\n", g_callNames.c_str());
    return nExit;
}
