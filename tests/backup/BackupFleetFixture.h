#pragma once
// A fleet of router simulators on the test's own loopback addresses and `velnor-tftp backup` run
// against it night after night: the same list, the same backup folder, each run's JSON lines taken
// apart.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "GitRun.h"
#include "RouterSim.h"
#include "TestSupport.h"

namespace fleettest {

namespace fs = std::filesystem;

inline QString Q(const fs::path& p) { return QString::fromStdString(p.string()); }
inline QString Q(const std::string& s) { return QString::fromStdString(s); }
inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
inline std::string Text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

struct Night {
    int nExit = -1;
    std::map<std::string, QJsonObject> routers;  // by name
    QJsonObject summary;
    std::string out, err;
};

class BackupFleetFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("VELNOR_TEST_ROUTER_PORT", QString::number(testsupport::kTestRouterPort));
        m_env.insert("VELNOR_TEST_REPLY_TIMEOUT_MS", "100");
        m_env.insert("HOME", Q(m_home.Path()));
        m_env.insert("GIT_CONFIG_NOSYSTEM", "1");
        m_env.insert("TZ", "UTC");  // the log's local times end in +00:00
        m_env.insert("TMPDIR", Q(m_tmp.Path()));
        for (const char* name : {"GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL", "GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL"})
            m_env.remove(name);
    }

    // A router on an address of its own serving config0 with these bytes; its address.
    std::string AddRouter(const std::string& name, const std::string& config,
                          velnor::sim::RouterSimOptions options = {})
    {
        auto root = std::make_unique<testsupport::TempDir>();
        testsupport::WriteFileBytes(root->Path() / "config0", Bytes(config));
        options.listenAddress = testsupport::LoopbackAddressForTest(static_cast<unsigned>(m_sims.size()));
        options.port = testsupport::kTestRouterPort;
        options.root = root->Path();
        auto sim = std::make_unique<velnor::sim::RouterSim>(options);
        std::string error;
        EXPECT_TRUE(sim->Start(&error)) << error;
        m_roots[name] = std::move(root);
        m_addresses[name] = options.listenAddress;
        m_sims[name] = std::move(sim);
        return options.listenAddress;
    }

    // The router's configuration from now on; none: the router has no such file and refuses the read.
    void SetConfig(const std::string& name, const std::optional<std::string>& config)
    {
        const fs::path file = m_roots.at(name)->Path() / "config0";
        if (config)
            testsupport::WriteFileBytes(file, Bytes(*config));
        else
            fs::remove(file);
    }

    // The list of these routers ("name,address" rows), each line as given after the header.
    void WriteList(const std::vector<std::string>& rows, const std::string& header = "name,address")
    {
        std::string text = header + "\n";
        for (const std::string& row : rows)
            text += row + "\n";
        testsupport::WriteFileBytes(m_dir / "list.csv", Bytes(text));
    }
    std::string Row(const std::string& name) const { return name + "," + m_addresses.at(name); }

    QStringList BackupArgs(const QStringList& extra) const
    {
        return QStringList{"backup", "--inventory", Q(m_dir / "list.csv"), "--out", Q(m_out)} + extra;
    }

    // One run of the program with these arguments; --json lines are taken apart.
    Night RunProgram(const QStringList& args, int nWaitMs = 30000)
    {
        QProcess process;
        process.setProgram(QStringLiteral(VELNOR_TFTP_PROGRAM));
        process.setArguments(args);
        process.setProcessEnvironment(m_env);
        process.start();
        EXPECT_TRUE(process.waitForStarted(5000));
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(nWaitMs)) << "velnor-tftp did not end";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        Night night;
        night.nExit = process.exitCode();
        night.out = process.readAllStandardOutput().toStdString();
        night.err = process.readAllStandardError().toStdString();
        if (!args.contains("--json"))
            return night;
        for (const QByteArray& line : QByteArray::fromStdString(night.out).split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonDocument document = QJsonDocument::fromJson(line);
            EXPECT_TRUE(document.isObject()) << "not a JSON object: " << line.toStdString();
            const QJsonObject object = document.object();
            if (object.value("summary").toBool())
                night.summary = object;
            else
                night.routers[object.value("name").toString().toStdString()] = object;
        }
        return night;
    }

    Night Backup(const QStringList& extra) { return RunProgram(BackupArgs(extra)); }

    std::string Git(const QStringList& args) { return RunGit(m_env, m_out, args); }

    std::uint64_t DatagramsIn() const
    {
        std::uint64_t n = 0;
        for (const auto& [name, sim] : m_sims)
            n += sim->Stats().datagramsIn;
        return n;
    }

    testsupport::TempDir m_home, m_tmp, m_dir;
    fs::path m_out = m_dir / "backups";
    QProcessEnvironment m_env;
    std::map<std::string, std::unique_ptr<testsupport::TempDir>> m_roots;
    std::map<std::string, std::string> m_addresses;
    std::map<std::string, std::unique_ptr<velnor::sim::RouterSim>> m_sims;
};

}  // namespace fleettest
