#pragma once
// Every message box of the program goes through here: a modal warning box with one OK button and the
// application title as caption. Tests install a handler in place of the real box, so that no test blocks
// on a modal window; the handler sees exactly what the box would show.

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

struct MessageBoxRecord {
    QWidget* pOwner = nullptr;
    QString strCaption;
    QString strText;
    QMessageBox::Icon nIcon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

class CMessageBox {
public:
    using Handler = std::function<int(const MessageBoxRecord&)>;

    // Shows the box modally over pOwner (or application-modal without one) and returns its answer.
    static int ShowWarning(QWidget* pOwner, const QString& strText);
    static int ShowWarning(QWidget* pOwner, const std::string& strText);

    // The record of the box that ShowWarning would show.
    static MessageBoxRecord Describe(QWidget* pOwner, const QString& strText);

    // Replaces the real box (an empty handler restores it). Returns the handler it replaces.
    static Handler SetHandler(Handler handler);
};
