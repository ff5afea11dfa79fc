// The transfer window: its controls, the three operations, the file dialog, the address history and the
// rules that enable Execute. The transfer loop is in ClientDlgTransfer.cpp.

#include "ClientDlg.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QValidator>

#include "AboutDlg.h"
#include "AddressHistory.h"
#include "AppIcon.h"
#include "DialogUnits.h"
#include "TemplateGroupBox.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "RouterAddress.h"
#include "StringTable.h"
#include "Texts.h"

CTftpTransfer* g_pTransfer = nullptr;

namespace {

QString FromText(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString FromString(const std::string& str)
{
    return QString::fromStdString(str);
}

// The check box's caption: the router's file is the destination of a send and the source of a receive.
std::string_view SpecifyFileCaption(std::int16_t nDirection)
{
    return nDirection == DIRECTION_RECEIVE ? kSpecifySourceFile : kSpecifyDestinationFile;
}

// The router field does not scroll: only what fits its visible width can be typed, as in the
// templates' combo box without horizontal scrolling.
class CFitWidthValidator : public QValidator {
public:
    explicit CFitWidthValidator(QLineEdit* pEdit) : QValidator(pEdit), m_pEdit(pEdit) {}

    State validate(QString& input, int& /*pos*/) const override
    {
        const QMargins margins = m_pEdit->textMargins();
        // The line edit keeps a few pixels of its own on each side of the text.
        const int nAvailable = m_pEdit->contentsRect().width() - margins.left() - margins.right() - 4;
        if (m_pEdit->width() <= 0 || m_pEdit->fontMetrics().horizontalAdvance(input) <= nAvailable)
            return Acceptable;
        return Invalid;
    }

private:
    QLineEdit* m_pEdit;
};

// A read-only field without a border looks like the dialog's background, as the templates' read-only
// edits did.
void MakeReadOnlyField(QLineEdit* pEdit)
{
    pEdit->setReadOnly(true);
    pEdit->setFrame(false);
    pEdit->setFocusPolicy(Qt::ClickFocus);
    QPalette palette = pEdit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    pEdit->setPalette(palette);
}

// A combo box's template height includes its dropped list; the closed box keeps its natural height
// and the list shows as many items as fit in the rest.
void PlaceComboBox(QComboBox* pCombo, const CDialogUnits& units, int x, int y, int cx, int cy)
{
    const QRect rect = units.Rect(x, y, cx, cy);
    const int nHeight = pCombo->sizeHint().height();
    pCombo->setGeometry(rect.x(), rect.y(), rect.width(), nHeight);
    const int nItemHeight = pCombo->fontMetrics().height() + 2;
    pCombo->setMaxVisibleItems(std::max(1, (rect.height() - nHeight) / nItemHeight));
}

}  // namespace

CClientDlg::CClientDlg(QWidget* pParent, const TransferTimings& timings)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_loop(this, g_pTransfer, *this)
{
    m_hIcon = AppIcon();
    // The settings object first: the engine is deleted before it, so that nothing of a transfer can
    // outlive the file being written.
    g_pSetData = new CSetData;
    g_pTransfer = new CTftpTransfer(timings);
    g_pTransfer->SetWakeHandler([this] { OnEngineWake(); });
    g_pTransfer->SetTimerKeptBetweenBlocks(true);

    setObjectName(QStringLiteral("CClientDlg"));
    setWindowTitle(FromText(kDialogCaption));
    setFont(DialogFont());
    CreateControls();
    OnInitDialog();
}

CClientDlg::~CClientDlg()
{
    // The engine first (it may still hold the socket and a timer of this window), then the settings
    // object, whose destructor writes the file when a successful transfer changed it.
    g_pTransfer->SetWakeHandler({});
    delete g_pTransfer;
    g_pTransfer = nullptr;
    delete g_pSetData;
    g_pSetData = nullptr;
}

void CClientDlg::CreateControls()
{
    const CDialogUnits units(font());
    setFixedSize(units.X(235), units.Y(171));

    // Created in tab order, so that the order of focus needs no further setting; labels and the
    // read-only fields take no part in it.
    m_pLabelOperation = new QLabel(FromText(kLabelOperation), this);
    m_pLabelOperation->setObjectName(QStringLiteral("IDC_LABEL_OPERATION"));
    m_pLabelOperation->setGeometry(units.Rect(7, 9, 31, 8));

    m_cboOperation = new QComboBox(this);
    m_cboOperation->setObjectName(QStringLiteral("IDC_OPERATION"));
    for (std::string_view item : kOperationItems)
        m_cboOperation->addItem(FromText(item));
    PlaceComboBox(m_cboOperation, units, 62, 7, 69, 48);

    m_pLabelFileName = new QLabel(FromText(kLabelFileName), this);
    m_pLabelFileName->setObjectName(QStringLiteral("IDC_LABEL_FILE_NAME"));
    m_pLabelFileName->setGeometry(units.Rect(7, 25, 41, 8));

    m_editFileName = new QLineEdit(this);
    m_editFileName->setObjectName(QStringLiteral("IDC_FILE_NAME"));
    MakeReadOnlyField(m_editFileName);
    m_editFileName->setGeometry(units.Rect(62, 25, 113, 12));

    m_btnBrowse = new QPushButton(FromText(kButtonBrowse), this);
    m_btnBrowse->setObjectName(QStringLiteral("IDC_BROWSE"));
    m_btnBrowse->setAutoDefault(false);
    m_btnBrowse->setGeometry(units.Rect(180, 22, 48, 14));

    m_chkSpecifyFile = new QCheckBox(this);
    m_chkSpecifyFile->setObjectName(QStringLiteral("IDC_SPECIFY_FILE"));
    m_chkSpecifyFile->setGeometry(units.Rect(7, 41, 99, 10));

    m_pLabelFileNumber = new QLabel(FromText(kLabelFileNumber), this);
    m_pLabelFileNumber->setObjectName(QStringLiteral("IDC_STATIC_FILE_NUMBER"));
    m_pLabelFileNumber->setGeometry(units.Rect(110, 42, 41, 8));

    m_cboFileNumber = new QComboBox(this);
    m_cboFileNumber->setObjectName(QStringLiteral("IDC_FILE_NUMBER"));
    PlaceComboBox(m_cboFileNumber, units, 152, 39, 30, 72);

    m_pLabelRouter = new QLabel(FromText(kLabelRouter), this);
    m_pLabelRouter->setObjectName(QStringLiteral("IDC_LABEL_ROUTER"));
    m_pLabelRouter->setGeometry(units.Rect(7, 59, 54, 8));

    m_cboRouter = new QComboBox(this);
    m_cboRouter->setObjectName(QStringLiteral("IDC_ROUTER"));
    m_cboRouter->setEditable(true);
    // The history keeps its own order and grows only through successful transfers: Enter adds
    // nothing, and nothing is completed while typing.
    m_cboRouter->setInsertPolicy(QComboBox::NoInsert);
    m_cboRouter->setCompleter(nullptr);
    PlaceComboBox(m_cboRouter, units, 62, 57, 120, 135);
    m_cboRouter->lineEdit()->setValidator(new CFitWidthValidator(m_cboRouter->lineEdit()));

    m_pLabelPassword = new QLabel(FromText(kLabelPassword), this);
    m_pLabelPassword->setObjectName(QStringLiteral("IDC_LABEL_PASSWORD"));
    m_pLabelPassword->setGeometry(units.Rect(7, 75, 54, 8));

    m_editPwd = new QLineEdit(this);
    m_editPwd->setObjectName(QStringLiteral("IDC_PASSWORD"));
    m_editPwd->setEchoMode(QLineEdit::Password);
    m_editPwd->setMaxLength(MAX_PASSWORD_LENGTH);
    m_editPwd->setGeometry(units.Rect(62, 72, 120, 14));

    // The group box is a sibling drawn beneath the fields it frames, as in the template.
    m_pGroupProgress = new CTemplateGroupBox(FromText(kGroupProgress), this);
    m_pGroupProgress->setObjectName(QStringLiteral("IDC_GROUP_PROGRESS"));
    m_pGroupProgress->setGeometry(units.Rect(16, 91, 202, 44));
    m_pGroupProgress->setFocusPolicy(Qt::NoFocus);

    m_editStatus = new QLineEdit(this);
    m_editStatus->setObjectName(QStringLiteral("IDC_STATUS"));
    MakeReadOnlyField(m_editStatus);
    m_editStatus->setGeometry(units.Rect(31, 102, 143, 12));

    m_editPercent = new QLineEdit(this);
    m_editPercent->setObjectName(QStringLiteral("IDC_PERCENT"));
    MakeReadOnlyField(m_editPercent);
    m_editPercent->setAlignment(Qt::AlignRight);
    m_editPercent->setGeometry(units.Rect(177, 102, 17, 12));
    // Over the group box, whose frame shows through wherever a font's metrics bring the two together.
    for (QLineEdit* pField : {m_editStatus, m_editPercent}) {
        QPalette palette = pField->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        pField->setPalette(palette);
    }

    m_pLabelPercent = new QLabel(FromText(kLabelPercentUnit), this);
    m_pLabelPercent->setObjectName(QStringLiteral("IDC_LABEL_PERCENT"));
    m_pLabelPercent->setGeometry(units.Rect(197, 102, 9, 12));

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("IDC_PROGRESS"));
    m_progress->setRange(0, 100);
    m_progress->setTextVisible(false);
    m_progress->setGeometry(units.Rect(23, 114, 187, 14));

    m_btnExecute = new QPushButton(FromText(kButtonExecute), this);
    m_btnExecute->setObjectName(QStringLiteral("IDC_EXECUTE"));
    m_btnExecute->setEnabled(false);
    m_btnExecute->setGeometry(units.Rect(59, 150, 50, 14));

    m_btnExit = new QPushButton(FromText(kButtonExit), this);
    m_btnExit->setObjectName(QStringLiteral("IDCANCEL"));
    m_btnExit->setGeometry(units.Rect(125, 150, 50, 14));

    // Enter presses the default button wherever the focus is; a focused push button does not take
    // the default over, as it would in Qt's own habit.
    m_btnExecute->setAutoDefault(false);
    m_btnExit->setAutoDefault(false);

    setTabOrder(m_cboOperation, m_btnBrowse);
    setTabOrder(m_btnBrowse, m_chkSpecifyFile);
    setTabOrder(m_chkSpecifyFile, m_cboFileNumber);
    setTabOrder(m_cboFileNumber, m_cboRouter);
    setTabOrder(m_cboRouter, m_editPwd);
    setTabOrder(m_editPwd, m_btnExecute);
    setTabOrder(m_btnExecute, m_btnExit);

    // Controls without a menu of their own pass the context menu (the mouse's or the menu key's) on
    // to the window, whose menu holds the version box; the edit fields keep their editing menus.
    for (QWidget* pControl : std::initializer_list<QWidget*>{
             m_pLabelOperation, m_cboOperation, m_pLabelFileName, m_btnBrowse, m_chkSpecifyFile,
             m_pLabelFileNumber, m_cboFileNumber, m_pLabelRouter, m_pLabelPassword, m_pGroupProgress,
             m_pLabelPercent, m_progress, m_btnExecute, m_btnExit})
        pControl->setContextMenuPolicy(Qt::NoContextMenu);

    FitControlsToTexts();

    connect(m_cboOperation, &QComboBox::currentIndexChanged, this, [this] { OnControlChanged(IDC_OPERATION); });
    connect(m_cboRouter, &QComboBox::editTextChanged, this, [this] { OnControlChanged(IDC_ROUTER); });
    connect(m_cboRouter, &QComboBox::activated, this, [this] { OnRouterSelChange(); });
    connect(m_editPwd, &QLineEdit::textChanged, this, [this] { OnControlChanged(IDC_PASSWORD); });
    // The read-only fields change only through writes, whose notifications never arrive; they share
    // the handler all the same.
    connect(m_editFileName, &QLineEdit::textChanged, this, [this] { OnControlChanged(IDC_FILE_NAME); });
    connect(m_editStatus, &QLineEdit::textChanged, this, [this] { OnControlChanged(IDC_STATUS); });
    connect(m_editPercent, &QLineEdit::textChanged, this, [this] { OnControlChanged(IDC_PERCENT); });
    connect(m_chkSpecifyFile, &QCheckBox::clicked, this, [this] { OnSpecifyFile(); });
    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnExecute, &QPushButton::clicked, this, [this] { OnExecute(); });
    connect(m_btnExit, &QPushButton::clicked, this, [this] { OnCancel(); });
}

void CClientDlg::FitControlsToTexts()
{
    // Every text each control can come to show, so that the window keeps one layout whatever the
    // operation or the phase.
    const auto texts = [](auto&& list) {
        QStringList result;
        for (std::string_view text : list)
            result.append(FromText(text));
        return result;
    };
    QStringList fileNumbers;
    for (int i = 0; i < 5; ++i)
        fileNumbers.append(QString::number(i));
    // Left to right on each line, so that a control meets its right-hand neighbour as it stands.
    m_textGrowths = GrowToFitTexts({
        {m_pLabelOperation, {FromText(kLabelOperation)}},
        {m_cboOperation, texts(kOperationItems)},
        {m_pLabelFileName, {FromText(kLabelFileName)}},
        {m_editFileName, {FromString(LoadString(IDS_FILE_PROMPT))}},
        {m_btnBrowse, {FromText(kButtonBrowse)}},
        {m_chkSpecifyFile, texts(std::initializer_list<std::string_view>{kSpecifyDestinationFile, kSpecifySourceFile})},
        {m_pLabelFileNumber, {FromText(kLabelFileNumber)}},
        {m_cboFileNumber, fileNumbers},
        {m_pLabelRouter, {FromText(kLabelRouter)}},
        {m_pLabelPassword, {FromText(kLabelPassword)}},
        {m_pGroupProgress, {FromText(kGroupProgress)}},
        {m_editStatus, texts(kStatusTexts)},
        {m_editPercent, {QStringLiteral("100")}},
        {m_pLabelPercent, {FromText(kLabelPercentUnit)}},
        {m_btnExecute, {FromText(kButtonExecute)}},
        {m_btnExit, {FromText(kButtonExit)}},
    });
}

bool CClientDlg::OnInitDialog()
{
    // The framework's first write: every field from the members as the constructor left them.
    WriteControls();

    // The title bar's menu cannot be extended on X11 or Wayland: the version box's item lives in a
    // context menu of the window instead, also reached with Alt+F1 and the menu key.
    const std::string strAboutMenu = LoadString(IDS_ABOUTBOX);
    if (!strAboutMenu.empty()) {
        m_pSystemMenu = new QMenu(this);
        m_pSystemMenu->setObjectName(QStringLiteral("SystemMenu"));
        m_pSystemMenu->addSeparator();
        QAction* pAbout = m_pSystemMenu->addAction(FromString(strAboutMenu));
        pAbout->setData(IDM_ABOUTBOX);
        connect(m_pSystemMenu, &QMenu::triggered, this,
                [this](QAction* pAction) { OnSysCommand(pAction->data().toUInt()); });
        auto* pShortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F1), this);
        connect(pShortcut, &QShortcut::activated, this, [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
    }

    setWindowIcon(m_hIcon);
    InitControls();
    m_cboOperation->setFocus();
    return true;
}

QWidget* CClientDlg::Control(int nId) const
{
    switch (nId) {
    case IDC_EXECUTE:
        return m_btnExecute;
    case IDC_FILE_NAME:
        return m_editFileName;
    case IDC_PASSWORD:
        return m_editPwd;
    case IDC_OPERATION:
        return m_cboOperation;
    case IDC_BROWSE:
        return m_btnBrowse;
    case IDC_STATUS:
        return m_editStatus;
    case IDC_PERCENT:
        return m_editPercent;
    case IDC_LABEL_OPERATION:
        return m_pLabelOperation;
    case IDC_LABEL_FILE_NAME:
        return m_pLabelFileName;
    case IDC_LABEL_ROUTER:
        return m_pLabelRouter;
    case IDC_LABEL_PASSWORD:
        return m_pLabelPassword;
    case IDC_GROUP_PROGRESS:
        return m_pGroupProgress;
    case IDC_LABEL_PERCENT:
        return m_pLabelPercent;
    case IDC_ROUTER:
        return m_cboRouter;
    case IDC_SPECIFY_FILE:
        return m_chkSpecifyFile;
    case IDC_FILE_NUMBER:
        return m_cboFileNumber;
    case IDC_PROGRESS:
        return m_progress;
    case IDCANCEL:
        return m_btnExit;
    case IDC_STATIC:
        return m_pLabelFileNumber;
    default:
        return nullptr;
    }
}

void CClientDlg::ReadControls()
{
    m_nOperation = m_cboOperation->currentIndex();
    m_strFileName = m_editFileName->text().toStdString();
    m_strPwd = m_editPwd->text().toStdString();
    m_strStatus = m_editStatus->text().toStdString();
    m_strPercent = m_editPercent->text().toStdString();
    m_strRouterAddr = m_cboRouter->currentText().toStdString();
}

void CClientDlg::WriteControls()
{
    const QSignalBlocker blockOperation(m_cboOperation);
    const QSignalBlocker blockFileName(m_editFileName);
    const QSignalBlocker blockPwd(m_editPwd);
    const QSignalBlocker blockStatus(m_editStatus);
    const QSignalBlocker blockPercent(m_editPercent);
    const QSignalBlocker blockRouter(m_cboRouter);
    const QSignalBlocker blockRouterEdit(m_cboRouter->lineEdit());

    m_cboOperation->setCurrentIndex(m_nOperation);
    // A field is rewritten only when its text differs, so that a write while the user types never
    // moves the caret.
    const auto write = [](QLineEdit* pEdit, const std::string& str) {
        const QString text = FromString(str);
        if (pEdit->text() != text)
            pEdit->setText(text);
    };
    write(m_editFileName, m_strFileName);
    m_editPwd->setMaxLength(MAX_PASSWORD_LENGTH);
    write(m_editPwd, m_strPwd);
    write(m_editStatus, m_strStatus);
    write(m_editPercent, m_strPercent);
    // The address goes into the field unchanged, even where it would not fit or pass the check.
    write(m_cboRouter->lineEdit(), m_strRouterAddr);
    m_editFileName->setCursorPosition(0);
    m_editStatus->setCursorPosition(0);
}

void CClientDlg::ShowStatus(int nIndex)
{
    m_strStatus = (nIndex >= 0 && nIndex < static_cast<int>(kStatusTexts.size()))
                      ? std::string(kStatusTexts[static_cast<std::size_t>(nIndex)])
                      : std::string();
    m_nShownPhase = static_cast<std::uint16_t>(nIndex);
    WriteControls();
    if (m_onStatusShown)
        m_onStatusShown(nIndex);
}

void CClientDlg::ShowPercent(int nValue)
{
    m_nShownPercent = static_cast<std::int16_t>(nValue);
    m_strPercent = std::to_string(m_nShownPercent);
    WriteControls();
    m_progress->setValue(nValue);
    if (m_onPercentShown)
        m_onPercentShown(nValue);
}

void CClientDlg::EnableControls(bool bEnable)
{
    m_cboOperation->setEnabled(bEnable);
    m_cboRouter->setEnabled(bEnable);
    m_editPwd->setEnabled(bEnable);
    m_btnBrowse->setEnabled(bEnable);
    m_btnExit->setEnabled(bEnable);
    m_btnExecute->setEnabled(bEnable);
    m_chkSpecifyFile->setEnabled(bEnable);
    m_cboFileNumber->setEnabled(bEnable && m_chkSpecifyFile->isChecked());
}

void CClientDlg::InitControls()
{
    m_nOperation = 0;
    m_strFileName = LoadString(IDS_FILE_PROMPT);
    ApplyOperation();
    LoadAddressHistory();

    if (m_cboRouter->count() == 0) {
        const QSignalBlocker block(m_cboRouter);
        m_cboRouter->addItem(QString());
        m_bPlaceholderEntry = true;
    } else {
        m_bPlaceholderEntry = false;
    }

    ShowStatus(g_pTransfer->GetPhase());
    m_nShownPercent = 0;
    m_strPercent = "0";
    WriteControls();
    m_progress->setValue(0);

    m_btnExecute->setEnabled(false);
    SetDefaultButton(m_btnExecute);
    m_cboFileNumber->setEnabled(false);

    m_strLastFolder = g_pSetData->m_strFolder;
}

void CClientDlg::ApplyOperation()
{
    if (m_nOperation < 0 || m_nOperation >= static_cast<int>(std::size(kOperationRules)))
        return;
    const OperationRule& rule = kOperationRules[m_nOperation];
    m_request.nDirection = rule.nDirection;
    m_request.nFileKind = rule.nFileKind;
    m_chkSpecifyFile->setText(FromText(SpecifyFileCaption(rule.nDirection)));
    FillFileNumbers(rule.nHighestFileNumber + 1);
}

void CClientDlg::FillFileNumbers(int nCount)
{
    {
        const QSignalBlocker block(m_cboFileNumber);
        m_cboFileNumber->clear();
        for (int i = 0; i < nCount; ++i)
            m_cboFileNumber->addItem(QString::number(i));
        m_cboFileNumber->setCurrentIndex(0);
    }
    WriteControls();
}

void CClientDlg::LoadAddressHistory()
{
    AddressList list;
    g_pSetData->GetAddressList(list);
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        m_strHistory[i] = list[i];
    m_strLastRouter = list[ADDRESS_HISTORY_SIZE];

    m_strRouterAddr = m_strLastRouter;
    WriteControls();

    {
        const QSignalBlocker block(m_cboRouter);
        m_cboRouter->clear();
        for (const std::string& strAddress : CAddressHistory(list).Listed())
            m_cboRouter->addItem(FromString(strAddress));
    }
    WriteControls();
}

void CClientDlg::AddAddressToHistory()
{
    const QSignalBlocker block(m_cboRouter);
    if (m_bPlaceholderEntry) {
        m_cboRouter->removeItem(0);
        m_bPlaceholderEntry = false;
    }

    AddressList list;
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        list[i] = m_strHistory[i];
    list[ADDRESS_HISTORY_SIZE] = m_strLastRouter;
    CAddressHistory history(list, static_cast<std::size_t>(m_cboRouter->count()));
    const CAddressHistory::Change change = history.Add(m_strRouterAddr);
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        m_strHistory[i] = history.List()[i];
    m_strLastRouter = history.Last();

    if (change.bDropOldest)
        m_cboRouter->removeItem(0);
    if (change.bAppend)
        m_cboRouter->addItem(FromString(m_strRouterAddr));
    // Removing and adding list entries moves the combo's field to another entry: the field shows
    // the address used, whatever happened to the list.
    WriteControls();

    g_pSetData->SetAddressList(history.List());
}

bool CClientDlg::ValidateRouterAddress()
{
    ReadControls();
    return IsValidRouterAddress(m_strRouterAddr);
}

void CClientDlg::UpdateExecuteForAddress()
{
    m_btnExecute->setEnabled(g_pTransfer->IsFileChosen() && !m_strRouterAddr.empty());
}

void CClientDlg::OnControlChanged(int nId)
{
    ReadControls();
    if (nId == IDC_OPERATION) {
        ApplyOperation();
        // A change of operation always discards the chosen local file.
        m_strFileName = LoadString(IDS_FILE_PROMPT);
        WriteControls();
        m_btnExecute->setEnabled(false);
        g_pTransfer->SetFileChosen(false);
    } else if (nId == IDC_ROUTER) {
        UpdateExecuteForAddress();
    }
    if (m_bResetOnEdit) {
        ShowStatus(g_pTransfer->GetPhase());
        ShowPercent(0);
        m_bResetOnEdit = false;
    }
}

void CClientDlg::OnRouterSelChange()
{
    const int nIndex = m_cboRouter->currentIndex();
    if (nIndex >= 0)
        m_strRouterAddr = m_cboRouter->itemText(nIndex).toStdString();
    UpdateExecuteForAddress();
    if (m_bResetOnEdit) {
        ShowStatus(g_pTransfer->GetPhase());
        ShowPercent(0);
        m_bResetOnEdit = false;
    }
}

void CClientDlg::OnSpecifyFile()
{
    m_cboFileNumber->setEnabled(m_chkSpecifyFile->isChecked());
}

void CClientDlg::OnBrowse()
{
    FileDialogRequest request;
    request.bSave = m_request.nDirection == DIRECTION_RECEIVE;
    request.strTitle = FromText(kFileDialogTitle);
    const bool bFirmware = m_request.nFileKind == FILE_KIND_FIRMWARE;
    request.nameFilters = ConvertFileFilter(bFirmware ? kFirmwareFilter : kConfigFilter);
    request.strDefaultName = bFirmware ? QString() : FromText(kConfigDefaultName);
    request.strDefaultSuffix = bFirmware ? QStringLiteral("bin") : QStringLiteral("txt");
    request.strInitialFolder = FromString(m_strLastFolder);

    const std::optional<QString> path = CFileDialog::GetFileName(this, request);
    if (!path || path->isEmpty())
        return;

    const std::string strPath = path->toStdString();
    const std::string strName = QFileInfo(*path).fileName().toStdString();
    m_strLastFolder = strPath.substr(0, strPath.size() - std::min(strPath.size(), strName.size()));
    g_pTransfer->SetLocalFile(true, strPath);
    m_strFileName = strName;
    WriteControls();
    if (!m_strRouterAddr.empty())
        m_btnExecute->setEnabled(true);
    m_cboRouter->setFocus();
}

void CClientDlg::SetDefaultButton(QPushButton* pButton)
{
    QPushButton* pOther = pButton == m_btnExecute ? m_btnExit : m_btnExecute;
    pOther->setDefault(false);
    pButton->setDefault(true);
}

void CClientDlg::OnSysCommand(unsigned nId)
{
    if ((nId & 0xFFF0) != IDM_ABOUTBOX)
        return;
    // Shown without a nested event loop of its own, so that a transfer goes on behind it however the
    // command arrived (even from inside a step's dispatch of waiting events). It is modal to this
    // window and deletes itself when closed.
    auto* pAbout = new CAboutDlg(this);
    pAbout->setAttribute(Qt::WA_DeleteOnClose);
    pAbout->open();
}

void CClientDlg::ShowSystemMenu(const QPoint& globalPos)
{
    if (m_pSystemMenu)
        m_pSystemMenu->popup(globalPos);
}

void CClientDlg::contextMenuEvent(QContextMenuEvent* pEvent)
{
    // A popup, not a nested loop: the menu must not hold a running transfer up.
    if (m_pSystemMenu) {
        ShowSystemMenu(pEvent->globalPos());
        pEvent->accept();
        return;
    }
    QDialog::contextMenuEvent(pEvent);
}
