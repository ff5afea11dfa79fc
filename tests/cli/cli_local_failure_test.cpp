// What a person reads when the local file fails: the window's message and its code, as always, then one
// line with the file and the system's reason, the same text in the JSON line's "detail". The built
// program against the router simulator, on real files in temporary folders: some cases as an
// unprivileged user (root reads and writes whatever the permissions say), the full disk on a small
// tmpfs in a mount namespace of the program's own.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "CliJson.h"
#include "CliProgramSupport.h"
#include "CliReport.h"
#include "ResultMessages.h"
#include "Texts.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velnor::sim::RouterSimOptions;
using namespace std::chrono_literals;
using namespace clitest;
namespace fs = std::filesystem;

constexpr int kNotPossible = 77;
constexpr const char* kNobody = "65534";

// How a case's program is started.
enum class RunAs {
    Self,         // as the tests run
    Unprivileged, // as nobody when the tests run as root
    OtherUser,    // as nobody, on files of root's: only when the tests run as root
    FullDisk,     // its local folder a tmpfs of 16 KiB
};

ProgramRun RunPrefixed(QStringList prefix, const QStringList& args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELNOR_TEST_ROUTER_PORT"), QString::number(testsupport::kTestRouterPort));
    // The system's reasons in the words the tests expect.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(env);
    prefix << QString::fromUtf8(VELNOR_TFTP_PROGRAM) << args;
    process.setProgram(prefix.takeFirst());
    process.setArguments(prefix);
    process.start();
    EXPECT_TRUE(process.waitForStarted(5000));
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(20000)) << "velnor-tftp did not end";
    ProgramRun run;
    run.nExit = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

// Whether this system lets a process mount a tmpfs of its own over folder (in a mount namespace, with a
// user namespace when not root): containers and hardened kernels may refuse either.
bool CanMountTmpfs(const fs::path& folder)
{
    QProcess probe;
    QStringList args;
    if (::geteuid() != 0)
        args << "--map-root-user";
    args << "--mount" << "/bin/sh" << "-c" << "mount -t tmpfs -o size=16k tmpfs \"$0\" 2>/dev/null" << Q(folder);
    probe.start("/usr/bin/unshare", args);
    return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

// The prefix that starts the program as asked, or the reason it cannot be started so here.
bool PrefixFor(RunAs how, const fs::path& folder, QStringList& prefix, std::string& strWhyNot)
{
    switch (how) {
    case RunAs::Self:
        return true;
    case RunAs::OtherUser:
        if (::geteuid() != 0) {
            strWhyNot = "another user's file needs the tests to run as root";
            return false;
        }
        [[fallthrough]];
    case RunAs::Unprivileged:
        if (::geteuid() != 0)
            return true;
        if (::access("/usr/bin/setpriv", X_OK) != 0) {
            strWhyNot = "running as root without setpriv: cannot drop to an unprivileged user";
            return false;
        }
        prefix = {"/usr/bin/setpriv", QString("--reuid=") + kNobody, QString("--regid=") + kNobody,
                  "--clear-groups", "--"};
        return true;
    case RunAs::FullDisk:
        // A mount namespace of the program's own (with a user namespace when not root), so that nothing
        // outside sees the tmpfs; exit 77 when this system does not allow it.
        prefix = {"/usr/bin/unshare"};
        if (::geteuid() != 0)
            prefix << "--map-root-user";
        prefix << "--mount" << "/bin/sh" << "-c"
               << "dir=$1; shift; mount -t tmpfs -o size=16k tmpfs \"$dir\" 2>/dev/null || exit 77; exec \"$@\""
               << "sh" << Q(folder);
        strWhyNot = "mounting a tmpfs in a mount namespace is not allowed here";
        return ::access("/usr/bin/unshare", X_OK) == 0 && CanMountTmpfs(folder);
    }
    return false;
}

class CliLocalFailureTest : public CliProgramFixture {
protected:
    void SetUp() override
    {
        CliProgramFixture::SetUp();
        // Nobody must reach the files of the unprivileged cases.
        fs::permissions(m_localDir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                               | fs::perms::others_read | fs::perms::others_exec);
    }
};

struct LocalCase {
    const char* name;
    RunAs how;
    QStringList args;                             // the command and its options, before ROUTER FILE
    std::function<std::string(const fs::path&)> prepare;  // makes the case in the folder, gives FILE
    TftpResult nCode;
    std::function<std::string(const fs::path&)> reason;   // the detail expected
};

void WriteText(const fs::path& path, const std::string& text)
{
    testsupport::WriteFileBytes(path, Bytes(text.begin(), text.end()));
}

// Every kind of local-file failure a person meets: the message lines as they always were, one line more
// with the file and the reason, and the same text as the JSON line's detail.
TEST_F(CliLocalFailureTest, EachFailureNamesTheFileAndTheReason)
{
    StartRouter();
    // More than the full disk's 16 KiB, so that its write fails after the router sent everything.
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(64 * 1024));
    const auto self = [](const fs::path& f) { return f.string(); };
    const LocalCase cases[] = {
        {"put of a missing file", RunAs::Self, {"put"}, [](const fs::path& d) { return (d / "absent.txt").string(); },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": No such file or directory"; }},
        {"put of a folder", RunAs::Self, {"put"},
         [](const fs::path& d) {
             fs::create_directory(d / "conf");
             return (d / "conf").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": is a folder"; }},
        {"put --check of a folder", RunAs::Self, {"put", "--check"},
         [](const fs::path& d) {
             fs::create_directory(d / "conf");
             return (d / "conf").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": is a folder"; }},
        {"put from a missing folder", RunAs::Self, {"revup"},
         [](const fs::path& d) { return (d / "gone" / "fw.bin").string(); }, TFTP_ERR_FILE_OPEN,
         [](const fs::path& f) { return f.string() + ": the folder " + f.parent_path().string() + " does not exist"; }},
        {"get into a folder", RunAs::Self, {"get"},
         [](const fs::path& d) {
             fs::create_directory(d / "conf");
             return (d / "conf").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": is a folder"; }},
        {"get into a missing folder", RunAs::Self, {"get"},
         [](const fs::path& d) { return (d / "gone" / "gw1.txt").string(); }, TFTP_ERR_FILE_OPEN,
         [](const fs::path& f) { return f.string() + ": the folder " + f.parent_path().string() + " does not exist"; }},
        {"get --check into a missing folder", RunAs::Self, {"get", "--check"},
         [](const fs::path& d) { return (d / "gone" / "gw1.txt").string(); }, TFTP_ERR_FILE_OPEN,
         [](const fs::path& f) { return f.string() + ": the folder " + f.parent_path().string() + " does not exist"; }},
        {"get over a read-only file, for root too", RunAs::Self, {"get"},
         [](const fs::path& d) {
             WriteText(d / "gw1.txt", "old");
             fs::permissions(d / "gw1.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
             return (d / "gw1.txt").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": is read-only"; }},
        {"get through a link that leads nowhere", RunAs::Self, {"get"},
         [](const fs::path& d) {
             fs::create_symlink(d / "nowhere.txt", d / "gw1.txt");
             return (d / "gw1.txt").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": is a symbolic link that leads to no file"; }},
        {"put of an unreadable file", RunAs::Unprivileged, {"put"},
         [](const fs::path& d) {
             WriteText(d / "gw1.txt", "secret");
             fs::permissions(d / "gw1.txt", fs::perms::none);
             return (d / "gw1.txt").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": Permission denied"; }},
        {"put --if-changed of an unreadable file", RunAs::Unprivileged, {"put", "--if-changed"},
         [](const fs::path& d) {
             WriteText(d / "gw1.txt", "secret");
             fs::permissions(d / "gw1.txt", fs::perms::none);
             return (d / "gw1.txt").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": Permission denied"; }},
        {"get over a file of another user", RunAs::OtherUser, {"get"},
         [](const fs::path& d) {
             WriteText(d / "gw1.txt", "old");
             fs::permissions(d / "gw1.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
             return (d / "gw1.txt").string();
         },
         TFTP_ERR_FILE_OPEN, [&](const fs::path& f) { return self(f) + ": Permission denied"; }},
        {"get into a folder this user may not write", RunAs::Unprivileged, {"get"},
         [](const fs::path& d) {
             fs::permissions(d, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
                                    | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
             return (d / "gw1.txt").string();
         },
         TFTP_ERR_FILE_OPEN,
         [&](const fs::path& f) { return self(f) + ": Permission denied"; }},
        {"get onto a full disk", RunAs::FullDisk, {"get"},
         [](const fs::path& d) {
             fs::create_directory(d / "small");
             fs::permissions(d / "small", fs::perms::all);
             return (d / "small" / "gw1.txt").string();
         },
         TFTP_ERR_FILE_WRITE, [&](const fs::path& f) { return self(f) + ": No space left on device"; }},
    };
    int nCase = 0;
    for (const LocalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = m_localDir / ("case" + std::to_string(nCase++));
        fs::create_directory(folder);
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                    | fs::perms::others_read | fs::perms::others_exec);
        const fs::path file = c.prepare(folder);
        QStringList prefix;
        std::string strWhyNot;
        if (!PrefixFor(c.how, c.how == RunAs::FullDisk ? file.parent_path() : folder, prefix, strWhyNot)) {
            std::printf("[  SKIPPED ] %s: %s\n", c.name, strWhyNot.c_str());
            continue;
        }
        const std::string message = ComposeResultMessage(c.nCode) + "\n" + FormatCode(c.nCode) + "\n";
        const std::string detail = c.reason(file);
        const bool bCheck = c.args.contains("--check");

        // As a person reads it: the message, its code, then the file and the reason.
        const ProgramRun plain = RunPrefixed(prefix, QStringList(c.args) << "-q" << Q(m_strRouter) << Q(file));
        if (c.how == RunAs::FullDisk && plain.nExit == kNotPossible) {
            std::printf("[  SKIPPED ] %s: %s\n", c.name, strWhyNot.c_str());
            continue;
        }
        EXPECT_EQ(plain.nExit, bCheck ? 2 : 1) << plain.err;
        EXPECT_EQ(plain.err, message + "velnor-tftp: " + detail + "\n");

        // As a script reads it: the same text in "detail", the contract's fields before it as they were.
        const ProgramRun json =
            RunPrefixed(prefix, QStringList(c.args) << "-q" << "--json" << Q(m_strRouter) << Q(file));
        EXPECT_EQ(json.err, plain.err);
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
        EXPECT_EQ(object.value("code"), Q(CodeText(c.nCode)));
        EXPECT_EQ(object.value("class"), "local");
        EXPECT_EQ(object.value("message"), Q(LookupResultMessage(c.nCode)));
        EXPECT_EQ(object.value("detail"), Q(detail)) << json.out;
        EXPECT_EQ(json.out.rfind("\"detail\":"), json.out.find(",\"detail\":") + 1) << "detail comes last";
    }
    // The cases that fail before the transfer asked the router for nothing, and no case left a
    // temporary file behind.
    for (const auto& entry : fs::recursive_directory_iterator(m_localDir.Path()))
        EXPECT_EQ(entry.path().filename().string().find(".velnor-"), std::string::npos) << entry.path();
}

// Where nothing is known about a local file the detail is null, and no line is added.
TEST_F(CliLocalFailureTest, NoDetailWhereThereIsNoLocalFailure)
{
    RouterSimOptions options;
    options.errorText = "Disk full";
    StartRouter(options);
    testsupport::WriteFileBytes(m_localDir / "c.txt", {1, 2, 3});
    const ProgramRun refused =
        RunProgram({"put", "-q", "--json", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(refused.err, LookupResultMessage(TFTP_ERR_PEER_ERROR) + "\n<Disk full>\n(0x8214)\n");
    EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(refused.out)).object().value("detail").isNull());

    const ProgramRun ok = RunProgram({"put", "-q", "--check", "--json", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(ok.nExit, 0);
    EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(ok.out)).object().value("detail").isNull());
}

// The router's two phrases get the window's messages, which do not show the router's words: one line
// more gives them, and what they usually mean. Quiet or not, as every failure.
TEST_F(CliLocalFailureTest, TheRoutersPhrasesAreShownWithWhatTheyUsuallyMean)
{
    struct Case {
        const char* name;
        std::function<void(RouterSimOptions&)> router;
        QStringList args;
        TftpResult nCode;
        std::string hint;
    };
    const Case cases[] = {
        {"wrong password", [](RouterSimOptions& o) { o.password = "secret"; }, {"get", "-p", "wrong"},
         TFTP_ERR_ACCESS_VIOLATION,
         "velnor-tftp: the router said \"Access violation\": usually a wrong password, or a model without file "
         "numbers\n"},
        {"no file of that number", [](RouterSimOptions&) {}, {"get", "-n", "3"}, TFTP_ERR_NO_SUCH_FILE,
         "velnor-tftp: the router said \"No such file\": usually no settings are stored under that file number\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RouterSimOptions options;
        c.router(options);
        StartRouter(options);
        const ProgramRun run = RunProgram(QStringList(c.args) << "-q" << Q(m_strRouter) << Q(m_localDir / "c.txt"));
        EXPECT_EQ(run.nExit, 1);
        EXPECT_EQ(run.err, LookupResultMessage(c.nCode) + "\n" + FormatCode(c.nCode) + "\n" + c.hint);
        m_pSim.reset();
    }
}

}  // namespace
