#pragma once
// The version box (template 100): the program's name and version, its icon and what it is for.

#include <QDialog>

#include <string>
#include <vector>

#include "TextFit.h"

class QLabel;
class QLineEdit;
class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    // Control ids of template 100.
    static constexpr int IDD = 100;
    static constexpr int IDC_ICON_APP = 1017;
    static constexpr int IDC_EDIT_VERSION = 1030;
    static constexpr int IDC_TEXT_PURPOSE = 1033;
    static constexpr int IDOK = 1;

    explicit CAboutDlg(QWidget* pParent = nullptr);

    std::string m_strVersion;

    // The control with a template id (nullptr for an unknown id).
    QWidget* Control(int nId) const;
    QLabel* ProgramNameLabel() const { return m_pLabelName; }
    QLabel* RightsLabel() const { return m_pLabelRights; }
    // The controls widened at creation to show their texts whole, and any that could not be.
    const std::vector<TextGrowth>& TextGrowths() const { return m_textGrowths; }

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    void CreateControls();
    bool OnInitDialog();

    QLabel* m_pIcon = nullptr;
    QLabel* m_pLabelName = nullptr;
    QLineEdit* m_pEditVersion = nullptr;
    QLabel* m_pLabelPurpose = nullptr;
    QLabel* m_pLabelRights = nullptr;
    QPushButton* m_pButtonOk = nullptr;
    bool m_bInitialised = false;
    std::vector<TextGrowth> m_textGrowths;
};
