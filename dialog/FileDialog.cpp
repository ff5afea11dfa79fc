#include "FileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {

CFileDialog::Handler& CurrentHandler()
{
    static CFileDialog::Handler handler;
    return handler;
}

QString& DefaultFolder()
{
    static QString folder;
    return folder;
}

QString ConvertPatterns(std::string_view patterns)
{
    QStringList converted;
    const QStringList parts = QString::fromUtf8(patterns.data(), static_cast<qsizetype>(patterns.size()))
                                  .split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString part : parts) {
        part = part.trimmed();
        if (part == QLatin1String("*.*"))
            part = QStringLiteral("*");
        if (!part.isEmpty() && !converted.contains(part))
            converted.append(part);
    }
    return converted.join(QLatin1Char(' '));
}

}  // namespace

QStringList ConvertFileFilter(std::string_view filter)
{
    QStringList filters;
    std::size_t nPos = 0;
    while (nPos < filter.size()) {
        const std::size_t nTextEnd = filter.find('|', nPos);
        if (nTextEnd == std::string_view::npos || nTextEnd == nPos)
            break;  // "||" (or a malformed tail) ends the list
        const std::size_t nPatternEnd = filter.find('|', nTextEnd + 1);
        const std::string_view text = filter.substr(nPos, nTextEnd - nPos);
        const std::string_view patterns =
            filter.substr(nTextEnd + 1, (nPatternEnd == std::string_view::npos ? filter.size() : nPatternEnd) -
                                            nTextEnd - 1);
        const QString strPatterns = ConvertPatterns(patterns);
        if (!strPatterns.isEmpty())
            filters.append(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())) +
                           QStringLiteral(" (") + strPatterns + QLatin1Char(')'));
        if (nPatternEnd == std::string_view::npos)
            break;
        nPos = nPatternEnd + 1;
    }
    return filters;
}

QString CompleteOpenFileName(const QString& strPath, const QString& strDefaultSuffix)
{
    const QFileInfo info(strPath);
    if (strDefaultSuffix.isEmpty() || info.exists() || info.fileName().contains(QLatin1Char('.')))
        return strPath;
    return strPath + QLatin1Char('.') + strDefaultSuffix;
}

void CFileDialog::Configure(QFileDialog& dialog, const FileDialogRequest& request)
{
    dialog.setWindowTitle(request.strTitle);
    // The same dialog on every desktop; a native one could not be driven or tested the same way.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    // Only the filter's own text is shown; the patterns appended for Qt stay hidden.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setAcceptMode(request.bSave ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // The open dialog takes the typed name of a file that does not exist too; opening it then fails
    // in the transfer, which reports it.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.bSave);
    dialog.setNameFilters(request.nameFilters);
    if (!request.nameFilters.isEmpty())
        dialog.selectNameFilter(request.nameFilters.front());
    // Qt would append the suffix to every name without a dot, even to an existing file's; the open
    // dialog's name is completed after it closes instead (CompleteOpenFileName).
    dialog.setDefaultSuffix(request.bSave ? request.strDefaultSuffix : QString());
    if (!request.strInitialFolder.isEmpty())
        dialog.setDirectory(request.strInitialFolder);
    if (!request.strDefaultName.isEmpty())
        dialog.selectFile(request.strDefaultName);
}

std::optional<QString> CFileDialog::GetFileName(QWidget* pOwner, const FileDialogRequest& given)
{
    FileDialogRequest request = given;
    if (request.strInitialFolder.isEmpty())
        request.strInitialFolder = DefaultFolder();
    if (CurrentHandler())
        return CurrentHandler()(request);

    QFileDialog dialog(pOwner);
    Configure(dialog, request);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    const QString strPath = QDir::toNativeSeparators(files.front());
    return request.bSave ? strPath : CompleteOpenFileName(strPath, request.strDefaultSuffix);
}

CFileDialog::Handler CFileDialog::SetHandler(Handler handler)
{
    Handler previous = std::move(CurrentHandler());
    CurrentHandler() = std::move(handler);
    return previous;
}

void CFileDialog::SetDefaultFolder(const QString& strFolder)
{
    DefaultFolder() = strFolder;
}
