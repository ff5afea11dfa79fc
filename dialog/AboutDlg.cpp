#include "AboutDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "AppIcon.h"
#include "DialogUnits.h"
#include "PhraseLabel.h"
#include "StringTable.h"
#include "Texts.h"

namespace {

QString FromText(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint)
{
    m_strVersion.clear();
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowTitle(FromText(kAboutCaption));
    setFont(DialogFont());
    CreateControls();
}

void CAboutDlg::CreateControls()
{
    const CDialogUnits units(font());
    setFixedSize(units.X(217), units.Y(98));

    m_pIcon = new QLabel(this);
    m_pIcon->setObjectName(QStringLiteral("IDC_ICON_APP"));
    // The icon control is 20 x 20 units as the template draws it; the icon is the largest square that
    // fits, in its middle.
    const QRect iconRect = units.Rect(11, 17, 20, 20);
    m_pIcon->setGeometry(iconRect);
    m_pIcon->setAlignment(Qt::AlignCenter);
    const int nIconSide = std::min(iconRect.width(), iconRect.height());
    m_pIcon->setPixmap(AppIcon().pixmap(QSize(nIconSide, nIconSide), devicePixelRatioF()));

    m_pLabelName = new QLabel(this);
    m_pLabelName->setObjectName(QStringLiteral("IDC_STATIC_NAME"));
    m_pLabelName->setTextFormat(Qt::PlainText);
    m_pLabelName->setText(FromText(kAboutProgramName));
    m_pLabelName->setGeometry(units.Rect(58, 17, 64, 8));

    m_pEditVersion = new QLineEdit(this);
    m_pEditVersion->setObjectName(QStringLiteral("IDC_EDIT_VERSION"));
    m_pEditVersion->setReadOnly(true);
    m_pEditVersion->setFrame(false);
    m_pEditVersion->setFocusPolicy(Qt::ClickFocus);
    m_pEditVersion->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; padding: 0px; }"));
    // The field is 14 units high as the template draws it; its text stands at its top, as an edit
    // control's does, so that it reads on the line of the 8-unit label beside it. The line edit keeps
    // one pixel above its text, which the negative margin takes back.
    m_pEditVersion->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pEditVersion->setTextMargins(0, -1, 0, 0);
    m_pEditVersion->setGeometry(units.Rect(124, 17, 40, 14));

    // Its lines end where the sentence allows, never inside a word.
    m_pLabelPurpose = new CPhraseLabel(this);
    m_pLabelPurpose->setObjectName(QStringLiteral("IDC_TEXT_PURPOSE"));
    m_pLabelPurpose->setTextFormat(Qt::PlainText);
    m_pLabelPurpose->setWordWrap(true);
    m_pLabelPurpose->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pLabelPurpose->setText(FromText(kAboutSentence));
    m_pLabelPurpose->setGeometry(units.Rect(34, 37, 149, 21));

    m_pLabelRights = new QLabel(this);
    m_pLabelRights->setObjectName(QStringLiteral("IDC_STATIC_RIGHTS"));
    m_pLabelRights->setTextFormat(Qt::PlainText);
    m_pLabelRights->setText(FromText(kAboutRights));
    m_pLabelRights->setGeometry(units.Rect(49, 64, 126, 8));

    m_pButtonOk = new QPushButton(FromText(kButtonOk), this);
    m_pButtonOk->setObjectName(QStringLiteral("IDOK"));
    m_pButtonOk->setGeometry(units.Rect(92, 77, 32, 14));
    m_pButtonOk->setDefault(true);
    connect(m_pButtonOk, &QPushButton::clicked, this, &QDialog::accept);

    // The version is the one text not set here: it comes from the string table when the box opens.
    m_textGrowths = GrowToFitTexts({
        {m_pLabelName, {m_pLabelName->text()}},
        {m_pEditVersion, {QString::fromStdString(LoadString(IDS_VERSION))}},
        {m_pLabelPurpose, {m_pLabelPurpose->text()}},
        {m_pLabelRights, {m_pLabelRights->text()}},
        {m_pButtonOk, {m_pButtonOk->text()}},
    });
}

QWidget* CAboutDlg::Control(int nId) const
{
    switch (nId) {
    case IDC_ICON_APP:
        return m_pIcon;
    case IDC_EDIT_VERSION:
        return m_pEditVersion;
    case IDC_TEXT_PURPOSE:
        return m_pLabelPurpose;
    case IDOK:
        return m_pButtonOk;
    default:
        return nullptr;
    }
}

void CAboutDlg::showEvent(QShowEvent* pEvent)
{
    if (!m_bInitialised) {
        m_bInitialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(pEvent);
}

bool CAboutDlg::OnInitDialog()
{
    m_strVersion = LoadString(IDS_VERSION);
    m_pEditVersion->setText(QString::fromStdString(m_strVersion));
    m_pEditVersion->setCursorPosition(0);
    // The first tab stop takes the focus: the read-only field is none, so it is OK.
    m_pButtonOk->setFocus();
    return true;
}
