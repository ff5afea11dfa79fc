#pragma once
// The file dialog behind the Browse button: Qt's own widget dialog (the same on every desktop), never
// changing the process's current directory, where the settings file is looked for. Tests install a
// handler that answers in place of the real dialog and sees the request it was given.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string_view>

class QFileDialog;
class QWidget;

struct FileDialogRequest {
    bool bSave = false;        // a save dialog (asks before overwriting), else an open dialog
    QString strTitle;
    QStringList nameFilters;   // Qt's "text (patterns)" form, first one selected
    QString strDefaultName;    // preset in the name field; may be empty
    QString strDefaultSuffix;  // appended to a typed name without one
    QString strInitialFolder;  // empty: the dialog's own default
};

// "text|pattern;pattern|text|pattern||" into Qt filters. Each filter keeps its text exactly as shown,
// with its patterns appended in parentheses for Qt to read; "*.*" becomes "*", because here, unlike on
// the platform the filters were written for, "*.*" would hide every name without a dot.
QStringList ConvertFileFilter(std::string_view filter);

// The name an open dialog returns: a typed name without an extension gets the default one only when no
// file of that very name exists, so that a file without a dot, listed under "*.*", can be chosen.
QString CompleteOpenFileName(const QString& strPath, const QString& strDefaultSuffix);

class CFileDialog {
public:
    // The full path the user confirmed, or nothing when the dialog was cancelled.
    using Handler = std::function<std::optional<QString>(const FileDialogRequest&)>;

    static std::optional<QString> GetFileName(QWidget* pOwner, const FileDialogRequest& request);

    // Sets up a dialog exactly as GetFileName shows it (for the real dialog and its test).
    static void Configure(QFileDialog& dialog, const FileDialogRequest& request);

    // Replaces the real dialog (an empty handler restores it). Returns the handler it replaces.
    static Handler SetHandler(Handler handler);

    // The folder a dialog starts in when its request names none (the window has no last folder yet).
    // Empty, as by default: Qt's own choice, the current folder. A start from the desktop menu sets
    // the home folder here, since its current folder is the configuration folder.
    static void SetDefaultFolder(const QString& strFolder);
};
