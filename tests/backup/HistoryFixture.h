#pragma once
// The backup folder with a real git history beside a fleet of router simulators: what the restore's
// and the push's program tests share. Commits are made at dates the test chooses; a snapshot of the
// folder (.git included) tells that a run changed nothing in it.

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "BackupFleetFixture.h"

namespace historytest {

using namespace fleettest;
using namespace std::chrono_literals;

struct ProgramResult {
    int nExit = -1;
    std::string out, err;
    QJsonObject json;  // the last line, when it is an object
};

class HistoryFixture : public BackupFleetFixture {
protected:
    void SetUp() override
    {
        BackupFleetFixture::SetUp();
        // The answer wait of a real router: nothing here stays silent, and a read back on a loaded
        // machine must not fail for a late answer.
        m_env.remove("VELNOR_TEST_REPLY_TIMEOUT_MS");
        for (const char* name : {"GIT_COMMITTER_DATE", "GIT_AUTHOR_DATE", "GIT_DIR", "GIT_WORK_TREE"})
            m_env.remove(name);
        fs::create_directory(m_out);
    }

    std::string RouterFile(const std::string& name, const char* file = "config0")
    {
        return Text(testsupport::ReadFileBytes(m_roots[name]->Path() / file));
    }

    void WriteList(const std::string& text) { testsupport::WriteFileBytes(m_dir / "list.csv", Bytes(text)); }
    using BackupFleetFixture::WriteList;
    void WriteCopy(const std::string& name, const std::string& text)
    {
        testsupport::WriteFileBytes(m_out / (name + ".conf"), Bytes(text));
    }

    // The fixture's run, with the last JSON line (a restore's only one, a backup's summary) as json.
    ProgramResult Program(const QStringList& args)
    {
        const Night night = RunProgram(args);
        ProgramResult run{night.nExit, night.out, night.err, night.summary};
        if (run.json.isEmpty() && night.routers.size() == 1)
            run.json = night.routers.begin()->second;
        return run;
    }

    ProgramResult Restore(const QStringList& extra)
    {
        return Program(QStringList{"restore", "--inventory", Q(m_dir / "list.csv"), "--out", Q(m_out)} + extra);
    }

    ProgramResult Backup(const QStringList& extra)
    {
        return Program(QStringList{"backup", "--inventory", Q(m_dir / "list.csv"), "--out", Q(m_out), "--git"} + extra);
    }

    std::string Git(const fs::path& dir, const QStringList& args, const std::map<QString, QString>& env = {})
    {
        QProcessEnvironment e = m_env;
        for (const auto& [name, value] : env)
            e.insert(name, value);
        return QByteArray::fromStdString(RunGit(e, dir, args)).trimmed().toStdString();
    }

    // A commit of the folder's copies, made at a date the test chooses.
    std::string Commit(const std::string& strDate, const std::string& message)
    {
        const std::map<QString, QString> env{{"GIT_COMMITTER_DATE", Q(strDate)}, {"GIT_AUTHOR_DATE", Q(strDate)},
                                             {"GIT_COMMITTER_NAME", "t"}, {"GIT_COMMITTER_EMAIL", "t@localhost"},
                                             {"GIT_AUTHOR_NAME", "t"}, {"GIT_AUTHOR_EMAIL", "t@localhost"}};
        Git(m_out, {"add", "-A"}, env);
        Git(m_out, {"commit", "-q", "-m", Q(message)}, env);
        return Git(m_out, {"rev-parse", "HEAD"});
    }

    // Everything in the backup folder, names and bytes, .git included: what a restore must leave as is.
    std::map<std::string, std::string> Snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(m_out)) {
            if (entry.is_regular_file())
                files[fs::relative(entry.path(), m_out).string()] = Text(testsupport::ReadFileBytes(entry.path()));
            else
                files[fs::relative(entry.path(), m_out).string()] = "<folder>";
        }
        return files;
    }

    bool NothingReached(const std::string& name)
    {
        return !m_sims[name]->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 100ms);
    }

};

}  // namespace historytest
