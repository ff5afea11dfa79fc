#include "MessageBox.h"

#include "StringTable.h"

namespace {

CMessageBox::Handler& CurrentHandler()
{
    static CMessageBox::Handler handler;
    return handler;
}

}  // namespace

MessageBoxRecord CMessageBox::Describe(QWidget* pOwner, const QString& strText)
{
    MessageBoxRecord record;
    record.pOwner = pOwner;
    record.strCaption = QString::fromStdString(LoadString(AFX_IDS_APP_TITLE));
    record.strText = strText;
    record.nIcon = QMessageBox::Warning;
    record.buttons = QMessageBox::Ok;
    return record;
}

int CMessageBox::ShowWarning(QWidget* pOwner, const QString& strText)
{
    const MessageBoxRecord record = Describe(pOwner, strText);
    if (CurrentHandler())
        return CurrentHandler()(record);

    QMessageBox box(record.nIcon, record.strCaption, record.strText, record.buttons, pOwner);
    // The router's text is shown in angle brackets: it must never be taken for markup.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    // The box's own Escape and close box answer OK, as the single-button box did.
    box.setEscapeButton(QMessageBox::Ok);
    return box.exec();
}

int CMessageBox::ShowWarning(QWidget* pOwner, const std::string& strText)
{
    return ShowWarning(pOwner, QString::fromStdString(strText));
}

CMessageBox::Handler CMessageBox::SetHandler(Handler handler)
{
    Handler previous = std::move(CurrentHandler());
    CurrentHandler() = std::move(handler);
    return previous;
}
