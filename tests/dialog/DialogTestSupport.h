#pragma once
// Helpers for the tests of the windows: a current folder of the test's own (the settings file lives in
// the current folder), recorders in place of message boxes and file dialogs, and the check that a test
// leaves no window behind.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>

#include <unistd.h>

#include <cstdint>
#include <deque>
#include <ostream>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FileDialog.h"
#include "MessageBox.h"
#include "TestSupport.h"

// Readable failure messages for Qt's strings.
inline void PrintTo(const QString& text, std::ostream* pStream)
{
    *pStream << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* pStream)
{
    *pStream << '{';
    for (const QString& text : list)
        *pStream << '"' << text.toStdString() << "\" ";
    *pStream << '}';
}

namespace dialogtest {

inline QString Q(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Makes a folder the current one for its own lifetime.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::filesystem::path& path) : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(path);
    }
    ~CurrentFolder() { std::filesystem::current_path(m_previous); }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

private:
    std::filesystem::path m_previous;
};

// Stands in for every message box: records what it would show and answers OK.
class MessageBoxRecorder {
public:
    MessageBoxRecorder()
    {
        m_previous = CMessageBox::SetHandler([this](const MessageBoxRecord& record) {
            boxes.push_back(record);
            if (onShow)
                onShow(record);
            return static_cast<int>(QMessageBox::Ok);
        });
    }
    ~MessageBoxRecorder() { CMessageBox::SetHandler(std::move(m_previous)); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    std::vector<QString> Texts() const
    {
        std::vector<QString> texts;
        for (const MessageBoxRecord& record : boxes)
            texts.push_back(record.strText);
        return texts;
    }

    std::vector<MessageBoxRecord> boxes;
    std::function<void(const MessageBoxRecord&)> onShow;  // runs while the "box" is open

private:
    CMessageBox::Handler m_previous;
};

// Stands in for the file dialog: answers from a queue (nothing left: cancelled) and keeps the requests.
class FileDialogScript {
public:
    FileDialogScript()
    {
        m_previous = CFileDialog::SetHandler([this](const FileDialogRequest& request) -> std::optional<QString> {
            requests.push_back(request);
            if (answers.empty())
                return std::nullopt;
            std::optional<QString> answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    ~FileDialogScript() { CFileDialog::SetHandler(std::move(m_previous)); }
    FileDialogScript(const FileDialogScript&) = delete;
    FileDialogScript& operator=(const FileDialogScript&) = delete;

    void SetNextFileName(const std::filesystem::path& path) { answers.push_back(QString::fromStdString(path.string())); }
    void SetNextCancel() { answers.push_back(std::nullopt); }

    std::deque<std::optional<QString>> answers;
    std::vector<FileDialogRequest> requests;

private:
    CFileDialog::Handler m_previous;
};

// Windows closed with WA_DeleteOnClose go with the deferred deletes.
inline void FlushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

inline void ExpectNoWindowLeft()
{
    FlushDeferredDeletes();
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(pWidget->isVisible()) << "a window is left open: "
                                           << pWidget->metaObject()->className() << " "
                                           << pWidget->windowTitle().toStdString();
    }
}

// The settings file as the program writes it when every text is shorter than 255 bytes: ten history
// entries, the last router and the folder, each behind its one-byte length.
inline std::vector<std::uint8_t> SettingsBytes(const std::vector<std::string>& history, const std::string& last,
                                               const std::string& folder)
{
    std::vector<std::uint8_t> bytes;
    auto append = [&bytes](const std::string& text) {
        bytes.push_back(static_cast<std::uint8_t>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
    };
    for (std::size_t i = 0; i < 10; ++i)
        append(i < history.size() ? history[i] : std::string());
    append(last);
    append(folder);
    return bytes;
}

}  // namespace dialogtest
