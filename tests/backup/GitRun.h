#pragma once
// git run by a test on a backup folder: the folder's history as the backup left it.

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <string>

namespace fleettest {

// `git -C dir args…` in env; its standard output. A failing git fails the test with its words.
inline std::string RunGit(const QProcessEnvironment& env, const std::filesystem::path& dir, const QStringList& args)
{
    QProcess git;
    git.setProcessEnvironment(env);
    git.start("git", QStringList{"-C", QString::fromStdString(dir.string())} + args);
    EXPECT_TRUE(git.waitForFinished(10000));
    EXPECT_EQ(git.exitCode(), 0) << args.join(' ').toStdString() << ": " << git.readAllStandardError().toStdString();
    return git.readAllStandardOutput().toStdString();
}

}  // namespace fleettest
