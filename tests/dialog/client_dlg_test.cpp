// The transfer window's controls, the three operations, the file dialog, the address history and the
// rules that enable Execute, on the real dialog (offscreen platform), with the message boxes and the
// file dialog answered by recorders.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ClientDlg.h"
#include "DialogTestSupport.h"
#include "DialogUnits.h"
#include "ResultMessages.h"
#include "StringTable.h"
#include "Texts.h"

namespace {

using dialogtest::Q;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char* const kSettingsFileName = "Velnor ClientV090.dat";

using dialogtest::SettingsBytes;

class ClientDlgTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        m_pDlg.reset();
        dialogtest::ExpectNoWindowLeft();
    }

    void Create() { m_pDlg = std::make_unique<CClientDlg>(); }

    fs::path SettingsPath() const { return m_dir / kSettingsFileName; }

    QComboBox* Combo(int nId) const { return qobject_cast<QComboBox*>(m_pDlg->Control(nId)); }
    QLineEdit* Edit(int nId) const { return qobject_cast<QLineEdit*>(m_pDlg->Control(nId)); }
    QPushButton* Button(int nId) const { return qobject_cast<QPushButton*>(m_pDlg->Control(nId)); }
    QCheckBox* Check() const { return qobject_cast<QCheckBox*>(m_pDlg->Control(CClientDlg::IDC_SPECIFY_FILE)); }
    bool ExecuteEnabled() const { return Button(CClientDlg::IDC_EXECUTE)->isEnabled(); }

    QStringList Items(int nId) const
    {
        QStringList items;
        QComboBox* pCombo = Combo(nId);
        for (int i = 0; i < pCombo->count(); ++i)
            items.append(pCombo->itemText(i));
        return items;
    }

    // As the user types it: the field's change reaches the dialog's handler.
    void TypeAddress(const std::string& address) { Combo(CClientDlg::IDC_ROUTER)->setEditText(QString::fromStdString(address)); }
    void SelectOperation(int nOperation) { Combo(CClientDlg::IDC_OPERATION)->setCurrentIndex(nOperation); }
    void ChooseFile(const fs::path& path)
    {
        m_files.SetNextFileName(path);
        Button(CClientDlg::IDC_BROWSE)->click();
    }
    // What a successful transfer to this address does to the history.
    void Succeed(const std::string& address)
    {
        TypeAddress(address);
        m_pDlg->AddAddressToHistory();
    }

    testsupport::TempDir m_dir;
    dialogtest::CurrentFolder m_cwd{m_dir.Path()};
    dialogtest::MessageBoxRecorder m_boxes;
    dialogtest::FileDialogScript m_files;
    std::unique_ptr<CClientDlg> m_pDlg;
};

// ---- The window and its controls ------------------------------------------------------------------

struct ControlRow {
    int nId;
    const char* pszClass;
    std::string_view text;  // caption of labels, buttons, the check box and the group
    int x, y, cx, cy;       // dialog units
};

const ControlRow kControls[] = {
    {CClientDlg::IDC_LABEL_OPERATION, "QLabel", kLabelOperation, 7, 9, 31, 8},
    {CClientDlg::IDC_OPERATION, "QComboBox", {}, 62, 7, 69, 48},
    {CClientDlg::IDC_LABEL_FILE_NAME, "QLabel", kLabelFileName, 7, 25, 41, 8},
    {CClientDlg::IDC_FILE_NAME, "QLineEdit", {}, 62, 25, 113, 12},
    {CClientDlg::IDC_BROWSE, "QPushButton", "参照(&R)", 180, 22, 48, 14},
    {CClientDlg::IDC_SPECIFY_FILE, "QCheckBox", "転送先ファイルを指定する", 7, 41, 99, 10},
    {CClientDlg::IDC_STATIC, "QLabel", "ファイル番号：", 110, 42, 41, 8},
    {CClientDlg::IDC_FILE_NUMBER, "QComboBox", {}, 152, 39, 30, 72},
    {CClientDlg::IDC_LABEL_ROUTER, "QLabel", "ルータのアドレス", 7, 59, 54, 8},
    {CClientDlg::IDC_ROUTER, "QComboBox", {}, 62, 57, 120, 135},
    {CClientDlg::IDC_LABEL_PASSWORD, "QLabel", "パスワード", 7, 75, 54, 8},
    {CClientDlg::IDC_PASSWORD, "QLineEdit", {}, 62, 72, 120, 14},
    {CClientDlg::IDC_GROUP_PROGRESS, "QGroupBox", "経過表示", 16, 91, 202, 44},
    {CClientDlg::IDC_STATUS, "QLineEdit", {}, 31, 102, 143, 12},
    {CClientDlg::IDC_PERCENT, "QLineEdit", {}, 177, 102, 17, 12},
    {CClientDlg::IDC_LABEL_PERCENT, "QLabel", "%", 197, 102, 9, 12},
    {CClientDlg::IDC_PROGRESS, "QProgressBar", {}, 23, 114, 187, 14},
    {CClientDlg::IDC_EXECUTE, "QPushButton", "実行(&T)", 59, 150, 50, 14},
    {CClientDlg::IDCANCEL, "QPushButton", "終了(&E)", 125, 150, 50, 14},
};

QString CaptionOf(QWidget* pWidget)
{
    if (auto* pLabel = qobject_cast<QLabel*>(pWidget))
        return pLabel->text();
    if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget))
        return pButton->text();
    if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget))
        return pGroup->title();
    return {};
}

TEST_F(ClientDlgTest, EveryControlHasItsKindCaptionAndTemplatePosition)
{
    Create();
    const CDialogUnits units(m_pDlg->font());
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.nId);
        QWidget* pWidget = m_pDlg->Control(row.nId);
        ASSERT_NE(pWidget, nullptr);
        EXPECT_TRUE(pWidget->inherits(row.pszClass)) << pWidget->metaObject()->className();
        EXPECT_EQ(pWidget->parentWidget(), m_pDlg.get());
        if (!row.text.empty()) {
            EXPECT_EQ(CaptionOf(pWidget), Q(row.text));
        }
        QRect expected = units.Rect(row.x, row.y, row.cx, row.cy);
        // A control whose text is wider than its template rectangle in this font grows to the right.
        for (const TextGrowth& growth : m_pDlg->TextGrowths())
            if (growth.pControl == pWidget && growth.bGrown)
                expected.setWidth(growth.nToWidth);
        if (qobject_cast<QComboBox*>(pWidget)) {
            // The template's height of a combo box includes its dropped list.
            EXPECT_EQ(pWidget->geometry().topLeft(), expected.topLeft());
            EXPECT_EQ(pWidget->width(), expected.width());
            EXPECT_LE(pWidget->height(), expected.height());
        } else {
            EXPECT_EQ(pWidget->geometry(), expected);
        }
    }
}

TEST_F(ClientDlgTest, WindowIsAFixedSizeDialogWithCaptionIconAndJapaneseFont)
{
    Create();
    const CDialogUnits units(m_pDlg->font());
    EXPECT_EQ(m_pDlg->windowTitle(), QStringLiteral("Velnor Client"));
    EXPECT_EQ(m_pDlg->size(), QSize(units.X(235), units.Y(171)));
    EXPECT_EQ(m_pDlg->minimumSize(), m_pDlg->maximumSize());
    const Qt::WindowFlags flags = m_pDlg->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_EQ(m_pDlg->parentWidget(), nullptr);  // a window of its own, with its own task-bar button

    const QList<QSize> sizes = m_pDlg->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));

    EXPECT_EQ(m_pDlg->font().family(), QString::fromUtf8(kDialogFontFamily));
    EXPECT_EQ(m_pDlg->font().pointSize(), 9);
    // The requested family maps to an installed face that has the Japanese glyphs.
    const QFontMetrics metrics(m_pDlg->font());
    for (QChar ch : Q("転送ファイル名"))
        EXPECT_TRUE(metrics.inFont(ch)) << QFontInfo(m_pDlg->font()).family().toStdString();
}

TEST_F(ClientDlgTest, ControlsHaveTheirTemplateStyles)
{
    Create();
    EXPECT_FALSE(Combo(CClientDlg::IDC_OPERATION)->isEditable());
    EXPECT_FALSE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEditable());
    EXPECT_TRUE(Combo(CClientDlg::IDC_ROUTER)->isEditable());
    EXPECT_EQ(Items(CClientDlg::IDC_OPERATION),
              (QStringList{Q("リビジョンアップ"), Q("環境設定の取得"), Q("環境設定の更新")}));
    for (int nId : {CClientDlg::IDC_FILE_NAME, CClientDlg::IDC_STATUS, CClientDlg::IDC_PERCENT}) {
        SCOPED_TRACE(nId);
        EXPECT_TRUE(Edit(nId)->isReadOnly());
        EXPECT_FALSE(Edit(nId)->hasFrame());
        EXPECT_FALSE(Edit(nId)->focusPolicy() & Qt::TabFocus);
    }
    EXPECT_TRUE(Edit(CClientDlg::IDC_PERCENT)->alignment() & Qt::AlignRight);
    EXPECT_EQ(Edit(CClientDlg::IDC_PASSWORD)->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Edit(CClientDlg::IDC_PASSWORD)->maxLength(), 32);
    auto* pProgress = qobject_cast<QProgressBar*>(m_pDlg->Control(CClientDlg::IDC_PROGRESS));
    EXPECT_EQ(pProgress->minimum(), 0);
    EXPECT_EQ(pProgress->maximum(), 100);
    EXPECT_FALSE(pProgress->isTextVisible());
}

TEST_F(ClientDlgTest, TabOrderFollowsTheTemplate)
{
    Create();
    std::vector<QWidget*> order;
    QWidget* pWidget = m_pDlg->Control(CClientDlg::IDC_OPERATION);
    do {
        if (pWidget->parentWidget() == m_pDlg.get() && (pWidget->focusPolicy() & Qt::TabFocus))
            order.push_back(pWidget);
        pWidget = pWidget->nextInFocusChain();
    } while (pWidget != m_pDlg->Control(CClientDlg::IDC_OPERATION) && order.size() < 50);
    const std::vector<int> ids = {CClientDlg::IDC_OPERATION, CClientDlg::IDC_BROWSE,   CClientDlg::IDC_SPECIFY_FILE,
                                  CClientDlg::IDC_FILE_NUMBER, CClientDlg::IDC_ROUTER, CClientDlg::IDC_PASSWORD,
                                  CClientDlg::IDC_EXECUTE,    CClientDlg::IDCANCEL};
    std::vector<QWidget*> expected;
    for (int nId : ids)
        expected.push_back(m_pDlg->Control(nId));
    EXPECT_EQ(order, expected);
}

// ---- Start ----------------------------------------------------------------------------------------

TEST_F(ClientDlgTest, StartsWithAnEmptyHistoryAndExecuteDisabled)
{
    Create();
    // The settings file is created at once: twelve empty records.
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()), Bytes(12, 0));

    QComboBox* pRouter = Combo(CClientDlg::IDC_ROUTER);
    EXPECT_EQ(pRouter->currentText(), QString());
    EXPECT_EQ(Items(CClientDlg::IDC_ROUTER), QStringList{QString()});
    EXPECT_TRUE(m_pDlg->m_bPlaceholderEntry);

    EXPECT_FALSE(ExecuteEnabled());
    EXPECT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isDefault());
    EXPECT_FALSE(Button(CClientDlg::IDCANCEL)->isDefault());
    EXPECT_TRUE(Button(CClientDlg::IDCANCEL)->isEnabled());

    EXPECT_EQ(m_pDlg->m_nOperation, 0);
    EXPECT_EQ(Combo(CClientDlg::IDC_OPERATION)->currentText(), Q("リビジョンアップ"));
    EXPECT_EQ(Edit(CClientDlg::IDC_FILE_NAME)->text(), Q("[参照]ボタンで指定してください"));
    EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), QString());
    EXPECT_EQ(Edit(CClientDlg::IDC_PERCENT)->text(), QStringLiteral("0"));
    EXPECT_EQ(qobject_cast<QProgressBar*>(m_pDlg->Control(CClientDlg::IDC_PROGRESS))->value(), 0);
    EXPECT_FALSE(Check()->isChecked());
    EXPECT_FALSE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
    EXPECT_EQ(Items(CClientDlg::IDC_FILE_NUMBER), (QStringList{"0", "1"}));
    EXPECT_EQ(m_pDlg->m_request.nDirection, DIRECTION_SEND);
    EXPECT_EQ(m_pDlg->m_request.nFileKind, FILE_KIND_FIRMWARE);
    EXPECT_FALSE(m_pDlg->m_bResetOnEdit);
    EXPECT_EQ(m_pDlg->m_strLastFolder, "");
    EXPECT_FALSE(g_pTransfer->IsFileChosen());
}

TEST_F(ClientDlgTest, StartShowsTheStoredHistoryAndLastRouter)
{
    testsupport::WriteFileBytes(SettingsPath(), SettingsBytes({"10.0.0.1", "10.0.0.2"}, "10.0.0.1", "/data/"));
    Create();
    EXPECT_EQ(Items(CClientDlg::IDC_ROUTER), (QStringList{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(Combo(CClientDlg::IDC_ROUTER)->currentText(), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(m_pDlg->m_strRouterAddr, "10.0.0.1");
    EXPECT_FALSE(m_pDlg->m_bPlaceholderEntry);
    EXPECT_EQ(m_pDlg->m_strLastFolder, "/data/");
    // An address alone does not enable Execute: no file has been chosen in this run.
    EXPECT_FALSE(ExecuteEnabled());
}

// ---- Execute's availability -------------------------------------------------------------------------

TEST_F(ClientDlgTest, ExecuteIsEnabledOnlyWithAChosenFileAndAnAddress)
{
    Create();
    TypeAddress("192.168.0.1");
    EXPECT_FALSE(ExecuteEnabled()) << "no file chosen yet";
    TypeAddress("");

    ChooseFile(m_dir / "fw.bin");
    EXPECT_FALSE(ExecuteEnabled()) << "Browse confirmed with an empty address";

    // The first character typed enables it.
    QTest::keyClicks(Combo(CClientDlg::IDC_ROUTER)->lineEdit(), "1");
    EXPECT_TRUE(ExecuteEnabled());
    TypeAddress("");
    EXPECT_FALSE(ExecuteEnabled());
    TypeAddress("10.1.2.3");
    EXPECT_TRUE(ExecuteEnabled());

    // The password does not count.
    Edit(CClientDlg::IDC_PASSWORD)->setText(QStringLiteral("secret"));
    EXPECT_TRUE(ExecuteEnabled());
    Edit(CClientDlg::IDC_PASSWORD)->clear();
    EXPECT_TRUE(ExecuteEnabled());
}

TEST_F(ClientDlgTest, ChangingTheOperationDiscardsTheChosenFile)
{
    Create();
    TypeAddress("192.168.0.1");
    ChooseFile(m_dir / "fw.bin");
    ASSERT_TRUE(ExecuteEnabled());
    ASSERT_EQ(Edit(CClientDlg::IDC_FILE_NAME)->text(), QStringLiteral("fw.bin"));

    SelectOperation(2);
    EXPECT_EQ(Edit(CClientDlg::IDC_FILE_NAME)->text(), Q("[参照]ボタンで指定してください"));
    EXPECT_FALSE(ExecuteEnabled());
    EXPECT_FALSE(g_pTransfer->IsFileChosen());

    ChooseFile(m_dir / "config.txt");
    EXPECT_TRUE(ExecuteEnabled());
}

TEST_F(ClientDlgTest, AnAddressChosenFromTheListEnablesExecute)
{
    testsupport::WriteFileBytes(SettingsPath(), SettingsBytes({"10.0.0.1", "10.0.0.2"}, "10.0.0.2", ""));
    Create();
    ChooseFile(m_dir / "fw.bin");
    TypeAddress("");
    ASSERT_FALSE(ExecuteEnabled());

    QComboBox* pRouter = Combo(CClientDlg::IDC_ROUTER);
    {
        // The selection arrives before the field shows it, as it does from the dropped list.
        const QSignalBlocker block(pRouter);
        pRouter->setCurrentIndex(0);
    }
    emit pRouter->activated(0);
    EXPECT_EQ(m_pDlg->m_strRouterAddr, "10.0.0.1");
    EXPECT_TRUE(ExecuteEnabled());
}

// ---- The router address rule ----------------------------------------------------------------------

TEST_F(ClientDlgTest, RouterAddressRuleThroughTheDialogsOwnCheckAndExecute)
{
    struct AddressCase {
        const char* pszAddress;
        bool bValid;
    };
    const AddressCase cases[] = {
        {"192.168.0.1", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"010.001.000.001", true},
        {"", false},
        {"192.168.0", false},
        {"192.168.0.1.", false},
        {".192.168.0.1", false},
        {"192..168.1", false},
        {"1.2.3.4.5", false},
        {"256.1.1.1", false},
        {"300.1.1.1", false},
        {"1.2.3.1000", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"router.example", false},
        {"192.168.000.0010", false},  // 16 characters
        {"255.255.255.2555", false},  // 16 characters
        {"+1.2.3.4", false},
        {"1.2.3.-4", false},
        {"199.249.255.256", false},
    };
    Create();
    ChooseFile(m_dir / "fw.bin");
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.pszAddress);
        TypeAddress(c.pszAddress);
        EXPECT_EQ(m_pDlg->ValidateRouterAddress(), c.bValid);
        if (c.bValid)
            continue;  // Execute would start a transfer to an address outside this machine
        m_boxes.boxes.clear();
        m_pDlg->OnExecute();
        ASSERT_EQ(m_boxes.boxes.size(), 1u);
        const MessageBoxRecord& box = m_boxes.boxes.front();
        EXPECT_EQ(box.strText, Q("指定されたルータのIPアドレスが無効です。"));
        EXPECT_EQ(box.strCaption, QStringLiteral("Velnor Client"));
        EXPECT_EQ(box.nIcon, QMessageBox::Warning);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_EQ(box.pOwner, m_pDlg.get());
        EXPECT_EQ(g_pTransfer->GetPhase(), PHASE_IDLE) << "no transfer is started";
        EXPECT_FALSE(m_pDlg->IsStepQueued());
    }
}

TEST_F(ClientDlgTest, RouterFieldTakesOnlyWhatFitsItsWidth)
{
    Create();
    QLineEdit* pField = Combo(CClientDlg::IDC_ROUTER)->lineEdit();
    QTest::keyClicks(pField, QString(60, QLatin1Char('8')));
    const QString typed = pField->text();
    EXPECT_GT(typed.size(), 15) << "a whole address fits";
    EXPECT_LT(typed.size(), 60);
    EXPECT_LE(pField->fontMetrics().horizontalAdvance(typed), pField->contentsRect().width());
    // Whatever got in, the address check refuses it.
    EXPECT_FALSE(m_pDlg->ValidateRouterAddress());
}

TEST_F(ClientDlgTest, PasswordOfMoreThan32BytesIsRefusedBeforeTheTransfer)
{
    Create();
    ChooseFile(m_dir / "fw.bin");
    TypeAddress("127.0.0.1");
    // Eleven characters of three bytes each: the field takes them, the router's limit does not.
    Edit(CClientDlg::IDC_PASSWORD)->setText(Q("パスワードパスワードパ"));
    m_pDlg->OnExecute();
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    EXPECT_EQ(m_boxes.boxes.front().strText, Q(LookupResultMessage(TFTP_ERR_BAD_PASSWORD)));
    EXPECT_EQ(g_pTransfer->GetPhase(), PHASE_IDLE);

    // The field itself stops at 32 characters.
    Edit(CClientDlg::IDC_PASSWORD)->clear();
    QTest::keyClicks(Edit(CClientDlg::IDC_PASSWORD), QString(40, QLatin1Char('x')));
    EXPECT_EQ(Edit(CClientDlg::IDC_PASSWORD)->text().size(), 32);
}

// ---- Operations -----------------------------------------------------------------------------------

TEST_F(ClientDlgTest, OperationsSetCaptionFileNumbersAndRequestKind)
{
    struct OperationCase {
        int nOperation;
        const char* pszCaption;
        QStringList numbers;
        std::int16_t nDirection;
        std::int16_t nFileKind;
    };
    const OperationCase cases[] = {
        {1, "転送元ファイルを指定する", {"0", "1", "2", "3", "4"}, DIRECTION_RECEIVE, FILE_KIND_CONFIG},
        {2, "転送先ファイルを指定する", {"0", "1", "2", "3", "4"}, DIRECTION_SEND, FILE_KIND_CONFIG},
        {0, "転送先ファイルを指定する", {"0", "1"}, DIRECTION_SEND, FILE_KIND_FIRMWARE},
        {1, "転送元ファイルを指定する", {"0", "1", "2", "3", "4"}, DIRECTION_RECEIVE, FILE_KIND_CONFIG},
    };
    Create();
    // The check box keeps its state through every change; the file-number list follows it.
    Check()->click();
    ASSERT_TRUE(Check()->isChecked());
    EXPECT_TRUE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
    for (const OperationCase& c : cases) {
        SCOPED_TRACE(c.nOperation);
        Combo(CClientDlg::IDC_FILE_NUMBER)->setCurrentIndex(1);
        SelectOperation(c.nOperation);
        EXPECT_EQ(Check()->text(), Q(c.pszCaption));
        EXPECT_EQ(Items(CClientDlg::IDC_FILE_NUMBER), c.numbers);
        EXPECT_EQ(Combo(CClientDlg::IDC_FILE_NUMBER)->currentText(), QStringLiteral("0"));
        EXPECT_EQ(m_pDlg->m_request.nDirection, c.nDirection);
        EXPECT_EQ(m_pDlg->m_request.nFileKind, c.nFileKind);
        EXPECT_TRUE(Check()->isChecked());
        EXPECT_TRUE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
    }
    Check()->click();
    EXPECT_FALSE(Check()->isChecked());
    EXPECT_FALSE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
    SelectOperation(2);
    EXPECT_FALSE(Check()->isChecked());
    EXPECT_FALSE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
}

TEST_F(ClientDlgTest, FileNumberGoesIntoTheRequestOnlyWhenChecked)
{
    struct NumberCase {
        bool bChecked;
        int nIndex;
        const char* pszExpected;
    };
    const NumberCase cases[] = {{false, 3, ""}, {true, 3, "3"}, {true, 0, "0"}, {false, 0, ""}};
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.pszExpected);
        Create();
        SelectOperation(1);
        ChooseFile(m_dir / "config.txt");
        TypeAddress(testsupport::LoopbackAddressForTest());
        Edit(CClientDlg::IDC_PASSWORD)->setText(QStringLiteral("pw"));
        if (c.bChecked)
            Check()->click();
        Combo(CClientDlg::IDC_FILE_NUMBER)->setCurrentIndex(c.nIndex);
        m_pDlg->OnExecute();
        EXPECT_TRUE(m_boxes.boxes.empty());
        EXPECT_EQ(m_pDlg->m_request.strFileNumber, c.pszExpected);
        EXPECT_EQ(m_pDlg->m_request.strRouter, testsupport::LoopbackAddressForTest());
        EXPECT_EQ(m_pDlg->m_request.strPassword, "pw");
        EXPECT_EQ(g_pTransfer->GetPhase(), PHASE_OPEN);
        // Execute leaves the controls as they are until the first step; one step is queued.
        EXPECT_TRUE(ExecuteEnabled());
        EXPECT_TRUE(m_pDlg->IsStepQueued());
        // The window goes before any step runs: nothing has been sent.
        m_pDlg.reset();
    }
}

// ---- History --------------------------------------------------------------------------------------

TEST_F(ClientDlgTest, EleventhAddressDropsTheOldestAndIsAppendedLast)
{
    Create();
    std::vector<std::string> addresses;
    for (int i = 1; i <= 11; ++i)
        addresses.push_back("10.0.0." + std::to_string(i));
    for (int i = 0; i < 10; ++i)
        Succeed(addresses[static_cast<std::size_t>(i)]);
    EXPECT_FALSE(m_pDlg->m_bPlaceholderEntry);
    ASSERT_EQ(Combo(CClientDlg::IDC_ROUTER)->count(), 10);
    EXPECT_EQ(Combo(CClientDlg::IDC_ROUTER)->itemText(0), QStringLiteral("10.0.0.1"));

    Succeed(addresses[10]);
    QStringList expected;
    for (std::size_t i = 1; i <= 10; ++i)
        expected.append(QString::fromStdString(addresses[i]));
    EXPECT_EQ(Items(CClientDlg::IDC_ROUTER), expected);
    for (std::size_t i = 0; i < 10; ++i)
        EXPECT_EQ(m_pDlg->m_strHistory[i], addresses[i + 1]);
    EXPECT_EQ(m_pDlg->m_strLastRouter, "10.0.0.11");
    EXPECT_EQ(Combo(CClientDlg::IDC_ROUTER)->currentText(), QStringLiteral("10.0.0.11"));

    m_pDlg.reset();
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()),
              SettingsBytes(std::vector<std::string>(addresses.begin() + 1, addresses.end()), "10.0.0.11", ""));
}

TEST_F(ClientDlgTest, RepeatedAddressKeepsItsPlaceAndBecomesTheLastRouter)
{
    Create();
    Succeed("10.0.0.1");
    Succeed("10.0.0.2");
    Succeed("10.0.0.3");
    Succeed("10.0.0.2");
    EXPECT_EQ(Items(CClientDlg::IDC_ROUTER), (QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(m_pDlg->m_strLastRouter, "10.0.0.2");
    EXPECT_EQ(Combo(CClientDlg::IDC_ROUTER)->currentText(), QStringLiteral("10.0.0.2"));
    // Byte for byte: a different spelling of the same router is another entry.
    Succeed("10.0.0.02");
    EXPECT_EQ(Combo(CClientDlg::IDC_ROUTER)->count(), 4);

    m_pDlg.reset();
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()),
              SettingsBytes({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.02"}, "10.0.0.02", ""));
}

TEST_F(ClientDlgTest, HistoryWithAGapListsOnlyTheEntriesBeforeIt)
{
    testsupport::WriteFileBytes(SettingsPath(),
                                SettingsBytes({"10.0.0.1", "10.0.0.2", "", "10.0.0.4"}, "10.0.0.2", "/x/"));
    Create();
    EXPECT_EQ(Items(CClientDlg::IDC_ROUTER), (QStringList{"10.0.0.1", "10.0.0.2"}));

    // The next new address takes the first empty slot; the entry after the gap stays where it was.
    Succeed("10.0.0.5");
    EXPECT_EQ(m_pDlg->m_strHistory[2], "10.0.0.5");
    EXPECT_EQ(m_pDlg->m_strHistory[3], "10.0.0.4");
    EXPECT_EQ(Items(CClientDlg::IDC_ROUTER), (QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.5"}));
}

TEST_F(ClientDlgTest, SettingsFileIsNotRewrittenWithoutASuccess)
{
    const Bytes stored = SettingsBytes({"10.0.0.1"}, "10.0.0.1", "/data/");
    testsupport::WriteFileBytes(SettingsPath(), stored);
    Create();
    TypeAddress("10.9.9.9");
    ChooseFile(m_dir / "elsewhere" / "fw.bin");
    m_pDlg.reset();
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()), stored);
}

// ---- Browse ---------------------------------------------------------------------------------------

TEST_F(ClientDlgTest, BrowseAsksForTheFileKindOfEachOperation)
{
    struct BrowseCase {
        int nOperation;
        bool bSave;
        QStringList filters;
        const char* pszDefaultName;
        const char* pszSuffix;
    };
    const BrowseCase cases[] = {
        {0, false, {Q("リビジョンアップ ファイル (*.bin) (*.bin)"), Q("すべてのファイル (*.*) (*)")}, "", "bin"},
        {1, true, {Q("環境設定ファイル (*.txt) (*.txt)"), Q("すべてのファイル (*.*) (*)")}, "config.txt", "txt"},
        {2, false, {Q("環境設定ファイル (*.txt) (*.txt)"), Q("すべてのファイル (*.*) (*)")}, "config.txt", "txt"},
    };
    Create();
    for (const BrowseCase& c : cases) {
        SCOPED_TRACE(c.nOperation);
        SelectOperation(c.nOperation);
        m_files.requests.clear();
        Button(CClientDlg::IDC_BROWSE)->click();  // cancelled: nothing queued
        ASSERT_EQ(m_files.requests.size(), 1u);
        const FileDialogRequest& request = m_files.requests.front();
        EXPECT_EQ(request.bSave, c.bSave);
        EXPECT_EQ(request.strTitle, Q("ファイルの指定"));
        EXPECT_EQ(request.nameFilters, c.filters);
        EXPECT_EQ(request.strDefaultName, QString::fromUtf8(c.pszDefaultName));
        EXPECT_EQ(request.strDefaultSuffix, QString::fromUtf8(c.pszSuffix));
        EXPECT_EQ(request.strInitialFolder, QString()) << "the dialog's own default at first";
    }
}

TEST_F(ClientDlgTest, ConfirmedBrowseShowsTheNameAndRemembersTheFolder)
{
    Create();
    m_pDlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    const fs::path chosen = m_dir / "sub folder" / "saved.txt";
    SelectOperation(1);
    ChooseFile(chosen);

    EXPECT_EQ(Edit(CClientDlg::IDC_FILE_NAME)->text(), QStringLiteral("saved.txt"));
    EXPECT_EQ(m_pDlg->m_strLastFolder, (m_dir / "sub folder").string() + "/");
    EXPECT_EQ(g_pTransfer->GetLocalPath(), chosen.string());
    EXPECT_TRUE(g_pTransfer->IsFileChosen());
    QWidget* pFocus = QApplication::focusWidget();
    EXPECT_TRUE(pFocus == Combo(CClientDlg::IDC_ROUTER) || pFocus == Combo(CClientDlg::IDC_ROUTER)->lineEdit())
        << (pFocus ? pFocus->objectName().toStdString() : "none");

    // The next dialog opens there; a cancelled one changes nothing.
    Button(CClientDlg::IDC_BROWSE)->click();
    ASSERT_EQ(m_files.requests.size(), 2u);
    EXPECT_EQ(m_files.requests.back().strInitialFolder, QString::fromStdString((m_dir / "sub folder").string() + "/"));
    EXPECT_EQ(Edit(CClientDlg::IDC_FILE_NAME)->text(), QStringLiteral("saved.txt"));
    EXPECT_EQ(g_pTransfer->GetLocalPath(), chosen.string());
    EXPECT_EQ(m_pDlg->m_strLastFolder, (m_dir / "sub folder").string() + "/");
    EXPECT_EQ(fs::current_path(), m_dir.Path());
}

TEST_F(ClientDlgTest, BrowseStartsInTheFolderStoredBySettings)
{
    testsupport::WriteFileBytes(SettingsPath(), SettingsBytes({}, "", "/srv/firmware/"));
    Create();
    Button(CClientDlg::IDC_BROWSE)->click();
    ASSERT_EQ(m_files.requests.size(), 1u);
    EXPECT_EQ(m_files.requests.front().strInitialFolder, QStringLiteral("/srv/firmware/"));
}

// The real Qt file dialog, driven from a timer while OnBrowse runs it modally.
TEST_F(ClientDlgTest, RealFileDialogListsByFilterAndReturnsTheChosenFile)
{
    const fs::path folder = m_dir / "files";
    fs::create_directories(folder);
    for (const char* pszName : {"fw.bin", "README", "notes.txt"})
        testsupport::WriteFileBytes(folder / pszName, {1, 2, 3});
    Create();
    m_pDlg->m_strLastFolder = folder.string() + "/";
    const CFileDialog::Handler saved = CFileDialog::SetHandler({});

    auto visibleNames = [](QFileDialog* pDialog, const fs::path& dir) {
        std::set<std::string> names;
        auto* pModel = pDialog->findChild<QFileSystemModel*>();
        if (!pModel)
            return names;
        const QModelIndex root = pModel->index(QString::fromStdString(dir.string()));
        for (int i = 0; i < pModel->rowCount(root); ++i)
            names.insert(pModel->index(i, 0, root).data().toString().toStdString());
        return names;
    };

    int nStage = 0;
    std::string strFailure;
    QTimer timer;
    QElapsedTimer clock;
    clock.start();
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* pDialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!pDialog)
            return;
        if (clock.elapsed() > 10000) {
            strFailure = "stage " + std::to_string(nStage) + " did not complete";
            pDialog->reject();
            return;
        }
        switch (nStage) {
        case 0:
            if (pDialog->windowTitle() != Q("ファイルの指定"))
                strFailure = "title";
            if (pDialog->acceptMode() != QFileDialog::AcceptOpen || !pDialog->testOption(QFileDialog::DontUseNativeDialog))
                strFailure = "kind";
            if (QDir(pDialog->directory()) != QDir(QString::fromStdString(folder.string())))
                strFailure = "folder";
            nStage = 1;
            break;
        case 1:
            if (visibleNames(pDialog, folder) == std::set<std::string>{"fw.bin"}) {
                pDialog->selectNameFilter(pDialog->nameFilters().at(1));
                nStage = 2;
            }
            break;
        case 2:
            if (visibleNames(pDialog, folder) == std::set<std::string>{"README", "fw.bin", "notes.txt"}) {
                // Typed into the name field, as a user does.
                if (auto* pName = pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    pName->setText(QStringLiteral("README"));
                static_cast<QDialog*>(pDialog)->accept();  // QFileDialog hides its accept()
                nStage = 3;
            }
            break;
        default:
            break;
        }
    });
    timer.start();
    Button(CClientDlg::IDC_BROWSE)->click();
    timer.stop();
    CFileDialog::SetHandler(saved);

    EXPECT_EQ(strFailure, "");
    EXPECT_EQ(nStage, 3);
    EXPECT_EQ(Edit(CClientDlg::IDC_FILE_NAME)->text(), QStringLiteral("README"));
    EXPECT_EQ(g_pTransfer->GetLocalPath(), (folder / "README").string());
    EXPECT_EQ(fs::current_path(), m_dir.Path()) << "the file dialog never changes the current folder";
}

// ---- Display --------------------------------------------------------------------------------------

TEST_F(ClientDlgTest, ShowStatusAndShowPercentWriteTheFieldsAndTheBar)
{
    Create();
    m_pDlg->ShowStatus(PHASE_RECEIVING);
    EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), Q("ファイルを受信しています..."));
    EXPECT_EQ(m_pDlg->m_nShownPhase, PHASE_RECEIVING);
    m_pDlg->ShowPercent(42);
    EXPECT_EQ(Edit(CClientDlg::IDC_PERCENT)->text(), QStringLiteral("42"));
    EXPECT_EQ(qobject_cast<QProgressBar*>(m_pDlg->Control(CClientDlg::IDC_PROGRESS))->value(), 42);
    EXPECT_EQ(m_pDlg->m_nShownPercent, 42);
    // Writes never enter a change handler: the finished-transfer reset stays armed.
    m_pDlg->m_bResetOnEdit = true;
    m_pDlg->ShowStatus(PHASE_FINISH);
    EXPECT_TRUE(m_pDlg->m_bResetOnEdit);
    // The next edit shows the engine's phase (idle: empty) and 0.
    QTest::keyClicks(Edit(CClientDlg::IDC_PASSWORD), "a");
    EXPECT_FALSE(m_pDlg->m_bResetOnEdit);
    EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), QString());
    EXPECT_EQ(Edit(CClientDlg::IDC_PERCENT)->text(), QStringLiteral("0"));
}

TEST_F(ClientDlgTest, EnableControlsKeepsTheFileNumberListWithTheCheckBox)
{
    Create();
    m_pDlg->EnableControls(false);
    for (int nId : {CClientDlg::IDC_OPERATION, CClientDlg::IDC_ROUTER, CClientDlg::IDC_PASSWORD,
                    CClientDlg::IDC_BROWSE, CClientDlg::IDCANCEL, CClientDlg::IDC_EXECUTE,
                    CClientDlg::IDC_SPECIFY_FILE, CClientDlg::IDC_FILE_NUMBER})
        EXPECT_FALSE(m_pDlg->Control(nId)->isEnabled()) << nId;
    m_pDlg->EnableControls(true);
    EXPECT_FALSE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
    Check()->click();
    m_pDlg->EnableControls(false);
    m_pDlg->EnableControls(true);
    EXPECT_TRUE(Combo(CClientDlg::IDC_FILE_NUMBER)->isEnabled());
    EXPECT_TRUE(ExecuteEnabled());
}

}  // namespace
