// A start from the desktop menu: where the configuration folder is, how it is made and entered, and the
// whole program started as the menu starts it and as a terminal does (the settings file lands in the
// configuration folder, or in the terminal's folder), and the first file dialog of a menu start.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ClientApp.h"
#include "ClientDlg.h"
#include "DialogTestSupport.h"
#include "FileDialog.h"
#include "MenuStart.h"

namespace {

namespace fs = std::filesystem;
using dialogtest::Q;

constexpr char kSettingsName[] = "Velnor ClientV090.dat";

unsigned ModeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(MenuStartFolder, FollowsTheBaseDirectoryRule)
{
    struct Case {
        const char* pszXdg;
        const char* pszHome;
        const char* pszExpected;
    };
    const Case cases[] = {
        {"/cfg", "/home/u", "/cfg/velnor-client"},
        {nullptr, "/home/u", "/home/u/.config/velnor-client"},
        {"", "/home/u", "/home/u/.config/velnor-client"},
        // A relative XDG_CONFIG_HOME is invalid and ignored: it would follow the menu's folder.
        {"relative/cfg", "/home/u", "/home/u/.config/velnor-client"},
        {"/cfg", nullptr, "/cfg/velnor-client"},
        {nullptr, nullptr, ""},
        {nullptr, "", ""},
        {"cfg", "home", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MenuStartFolder(c.pszXdg, c.pszHome), fs::path(c.pszExpected))
            << "XDG_CONFIG_HOME=" << (c.pszXdg ? c.pszXdg : "(unset)") << " HOME=" << (c.pszHome ? c.pszHome : "(unset)");
    }
}

TEST(MenuStartOption, OnlyTheMenuEntrysArgumentCounts)
{
    EXPECT_FALSE(IsMenuStart({QStringLiteral("velnor-client")}));
    EXPECT_FALSE(IsMenuStart({}));
    EXPECT_TRUE(IsMenuStart({QStringLiteral("velnor-client"), QStringLiteral("--menu-start")}));
    EXPECT_TRUE(IsMenuStart({QStringLiteral("velnor-client"), QStringLiteral("x"), QStringLiteral("--menu-start")}));
    // Other arguments stay ignored, as before; the program's own name is no argument.
    EXPECT_FALSE(IsMenuStart({QStringLiteral("--menu-start")}));
    EXPECT_FALSE(IsMenuStart({QStringLiteral("velnor-client"), QStringLiteral("--menu-start=1")}));
    EXPECT_FALSE(IsMenuStart({QStringLiteral("velnor-client"), QStringLiteral("-menu-start")}));
}

class EnterFolderTest : public ::testing::Test {
protected:
    testsupport::TempDir m_dir;
    dialogtest::CurrentFolder m_cwd{m_dir.Path()};
};

TEST_F(EnterFolderTest, CreatesMissingFoldersPrivateAndEntersThem)
{
    const fs::path folder = m_dir.Path() / "home" / ".config" / "velnor-client";
    ::umask(0022);
    EXPECT_EQ(EnterMenuStartFolder(folder), "");
    EXPECT_EQ(fs::current_path(), folder);
    EXPECT_EQ(ModeOf(m_dir.Path() / "home"), 0700u);
    EXPECT_EQ(ModeOf(m_dir.Path() / "home" / ".config"), 0700u);
    EXPECT_EQ(ModeOf(folder), 0700u);
}

TEST_F(EnterFolderTest, ExistingFoldersKeepTheirModeAndLinkedParentsAreFollowed)
{
    fs::create_directories(m_dir.Path() / "shared" / "config");
    fs::permissions(m_dir.Path() / "shared" / "config", fs::perms(0755));
    fs::create_directories(m_dir.Path() / "home");
    fs::create_directory_symlink(m_dir.Path() / "shared" / "config", m_dir.Path() / "home" / ".config");
    const fs::path folder = m_dir.Path() / "home" / ".config" / "velnor-client";
    EXPECT_EQ(EnterMenuStartFolder(folder), "");
    EXPECT_TRUE(fs::is_directory(m_dir.Path() / "shared" / "config" / "velnor-client"));
    EXPECT_EQ(ModeOf(m_dir.Path() / "shared" / "config"), 0755u);
    EXPECT_EQ(fs::canonical(fs::current_path()), fs::canonical(folder));
}

TEST_F(EnterFolderTest, RefusesWhatCannotBeTheFolderAndStaysWhereItWas)
{
    testsupport::WriteFileBytes(m_dir.Path() / "file", {1});
    fs::create_directories(m_dir.Path() / "locked");
    fs::permissions(m_dir.Path() / "locked", fs::perms(0500));
    struct Case {
        fs::path folder;
        const char* pszReasonPart;
    };
    const Case cases[] = {
        {m_dir.Path() / "file" / "velnor-client", "is not a folder"},
        {m_dir.Path() / "file", "is not a folder"},
        {fs::path("relative") / "velnor-client", "no configuration folder"},
        {fs::path(), "no configuration folder"},
    };
    for (const Case& c : cases) {
        const std::string strError = EnterMenuStartFolder(c.folder);
        EXPECT_NE(strError.find(c.pszReasonPart), std::string::npos) << c.folder << ": " << strError;
        EXPECT_EQ(fs::current_path(), m_dir.Path()) << c.folder;
    }
    // Root may write into a read-only folder; an ordinary user is refused with the reason.
    if (::geteuid() != 0) {
        const std::string strError = EnterMenuStartFolder(m_dir.Path() / "locked" / "velnor-client");
        EXPECT_NE(strError.find("cannot create"), std::string::npos) << strError;
        EXPECT_EQ(fs::current_path(), m_dir.Path());
    }
    fs::permissions(m_dir.Path() / "locked", fs::perms(0700));
    EXPECT_FALSE(fs::exists(m_dir.Path() / "relative"));
}

// The window run as a menu start: its first file dialog starts in the home folder, the settings file
// is made in the configuration folder, and a later dialog starts where the first one ended.
class MenuStartWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedHome = qgetenv("HOME");
        m_savedXdg = qgetenv("XDG_CONFIG_HOME");
        fs::create_directories(m_dir.Path() / "home");
        qputenv("HOME", QByteArray::fromStdString((m_dir.Path() / "home").string()));
        qunsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override
    {
        CFileDialog::SetDefaultFolder({});
        qputenv("HOME", m_savedHome);
        if (m_savedXdg.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_savedXdg);
        dialogtest::ExpectNoWindowLeft();
    }

    testsupport::TempDir m_dir;
    dialogtest::CurrentFolder m_cwd{m_dir.Path()};
    dialogtest::FileDialogScript m_files;
    QByteArray m_savedHome;
    QByteArray m_savedXdg;
};

TEST_F(MenuStartWindowTest, FirstFileDialogOpensInHomeAndTheSettingsFileStaysInTheConfigurationFolder)
{
    PrepareMenuStart();
    const fs::path config = m_dir.Path() / "home" / ".config" / "velnor-client";
    EXPECT_EQ(fs::current_path(), config);

    const fs::path chosen = m_dir.Path() / "home" / "firmware" / "image.bin";
    m_files.SetNextFileName(chosen);
    m_files.SetNextCancel();
    int nClicks = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* pDlg = qobject_cast<CClientDlg*>(QApplication::activeModalWidget());
        if (!pDlg)
            return;
        auto* pBrowse = qobject_cast<QPushButton*>(pDlg->Control(CClientDlg::IDC_BROWSE));
        if (nClicks < 2) {
            ++nClicks;
            pBrowse->click();
            return;
        }
        qobject_cast<QPushButton*>(pDlg->Control(CClientDlg::IDCANCEL))->click();
    });
    timer.start();
    CClientApp app;
    app.InitInstance();

    ASSERT_EQ(m_files.requests.size(), 2u);
    EXPECT_EQ(m_files.requests[0].strInitialFolder, QDir::homePath());
    EXPECT_EQ(QDir::homePath(), QString::fromStdString((m_dir.Path() / "home").string()));
    // The second dialog starts where the first one's file is, as every later one does.
    EXPECT_EQ(m_files.requests[1].strInitialFolder, QString::fromStdString((chosen.parent_path() / "").string()));
    EXPECT_TRUE(fs::exists(config / kSettingsName));
    EXPECT_FALSE(fs::exists(m_dir.Path() / "home" / kSettingsName));
    EXPECT_FALSE(fs::exists(m_dir.Path() / kSettingsName));
}

TEST_F(MenuStartWindowTest, AFailedMenuStartStaysInItsFolderWithQtsDefaultDialog)
{
    // ~/.config is a file: the folder cannot be made, so nothing changes.
    testsupport::WriteFileBytes(m_dir.Path() / "home" / ".config", {1});
    PrepareMenuStart();
    EXPECT_EQ(fs::current_path(), m_dir.Path());
    FileDialogRequest request;
    request.strTitle = QStringLiteral("t");
    m_files.SetNextCancel();
    CFileDialog::GetFileName(nullptr, request);
    ASSERT_EQ(m_files.requests.size(), 1u);
    EXPECT_TRUE(m_files.requests[0].strInitialFolder.isEmpty());
}

// The program itself, started as the desktop entry starts it and as a terminal does, on the offscreen
// platform. It runs until ended: the test waits for the settings file it makes when its window opens.
class ProgramStartTest : public ::testing::Test {
protected:
    // Starts velnor-client in the folder "terminal" with HOME in "home"; returns once the settings file
    // has appeared somewhere under the test's folder, or after 20 s. Ends the program.
    void StartAndWaitForSettings(const QStringList& args, const QString& strXdgConfigHome = {})
    {
        fs::create_directories(m_dir.Path() / "home");
        fs::create_directories(m_dir.Path() / "terminal");
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), QString::fromStdString((m_dir.Path() / "home").string()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (strXdgConfigHome.isNull())
            env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        else
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), strXdgConfigHome);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(QString::fromStdString((m_dir.Path() / "terminal").string()));
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(VELNOR_CLIENT_PROGRAM), args);
        ASSERT_TRUE(process.waitForStarted(10000));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (FindSettings().empty() && process.state() == QProcess::Running
               && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(process.state(), QProcess::Running) << "the window ended by itself";
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    fs::path FindSettings() const
    {
        for (const auto& entry : fs::recursive_directory_iterator(m_dir.Path())) {
            if (entry.path().filename() == kSettingsName)
                return entry.path();
        }
        return {};
    }

    testsupport::TempDir m_dir;
};

TEST_F(ProgramStartTest, FromATerminalTheSettingsFileIsInTheCurrentFolder)
{
    StartAndWaitForSettings({});
    EXPECT_EQ(FindSettings(), m_dir.Path() / "terminal" / kSettingsName);
    EXPECT_FALSE(fs::exists(m_dir.Path() / "home" / ".config"));
}

TEST_F(ProgramStartTest, FromTheMenuTheSettingsFileIsInTheConfigurationFolder)
{
    struct Case {
        QString strXdgConfigHome;
        fs::path expected;
    };
    const std::vector<Case> cases = {
        {QString(), fs::path("home") / ".config" / "velnor-client"},
        {QString::fromStdString((m_dir.Path() / "xdg").string()), fs::path("xdg") / "velnor-client"},
    };
    for (const Case& c : cases) {
        fs::remove_all(m_dir.Path() / "home");
        fs::remove_all(m_dir.Path() / "xdg");
        StartAndWaitForSettings({QStringLiteral("--menu-start")}, c.strXdgConfigHome);
        EXPECT_EQ(FindSettings(), m_dir.Path() / c.expected / kSettingsName) << c.expected;
    }
}

}  // namespace
