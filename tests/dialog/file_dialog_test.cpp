// The file dialog's filters, its set-up and the completion of typed names.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>

#include <filesystem>

#include "DialogTestSupport.h"
#include "FileDialog.h"
#include "Texts.h"

namespace {

using dialogtest::Q;

TEST(FileDialogTest, FiltersKeepTheirTextAndMatchNamesWithoutADotUnderAllFiles)
{
    struct FilterCase {
        std::string_view filter;
        QStringList expected;
    };
    const FilterCase cases[] = {
        {kFirmwareFilter, {Q("リビジョンアップ ファイル (*.bin) (*.bin)"), Q("すべてのファイル (*.*) (*)")}},
        {kConfigFilter, {Q("環境設定ファイル (*.txt) (*.txt)"), Q("すべてのファイル (*.*) (*)")}},
        {"Images|*.png;*.jpg||", {QStringLiteral("Images (*.png *.jpg)")}},
        {"A|*.a|B|*.b", {QStringLiteral("A (*.a)"), QStringLiteral("B (*.b)")}},  // no closing bars
        {"", {}},
        {"||", {}},
        {"Broken", {}},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(std::string(c.filter));
        EXPECT_EQ(ConvertFileFilter(c.filter), c.expected);
    }
}

TEST(FileDialogTest, QtShowsOnlyTheFilterTextAndMatchesEveryName)
{
    QFileDialog dialog;
    FileDialogRequest request;
    request.nameFilters = ConvertFileFilter(kFirmwareFilter);
    CFileDialog::Configure(dialog, request);
    // What the filter box shows: the text alone, exactly as written.
    auto* pTypes = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(pTypes, nullptr);
    QStringList shown;
    for (int i = 0; i < pTypes->count(); ++i)
        shown.append(pTypes->itemText(i));
    EXPECT_EQ(shown, (QStringList{Q("リビジョンアップ ファイル (*.bin)"), Q("すべてのファイル (*.*)")}));
    EXPECT_TRUE(QDir::match(QStringLiteral("*"), QStringLiteral("README")));
}

TEST(FileDialogTest, ConfigureSetsKindTitleSuffixFolderAndName)
{
    testsupport::TempDir dir;
    struct SetupCase {
        bool bSave;
        QFileDialog::AcceptMode nMode;
        bool bConfirmOverwrite;
        QString strSuffix;
    };
    const SetupCase cases[] = {{true, QFileDialog::AcceptSave, true, QStringLiteral("txt")},
                               {false, QFileDialog::AcceptOpen, false, QString()}};
    for (const SetupCase& c : cases) {
        SCOPED_TRACE(c.bSave);
        FileDialogRequest request;
        request.bSave = c.bSave;
        request.strTitle = Q(kFileDialogTitle);
        request.nameFilters = ConvertFileFilter(kConfigFilter);
        request.strDefaultName = QStringLiteral("config.txt");
        request.strDefaultSuffix = QStringLiteral("txt");
        request.strInitialFolder = QString::fromStdString(dir.Path().string() + "/");
        QFileDialog dialog;
        CFileDialog::Configure(dialog, request);
        EXPECT_EQ(dialog.windowTitle(), Q("ファイルの指定"));
        EXPECT_EQ(dialog.acceptMode(), c.nMode);
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
        EXPECT_EQ(!dialog.testOption(QFileDialog::DontConfirmOverwrite), c.bConfirmOverwrite);
        EXPECT_EQ(dialog.fileMode(), QFileDialog::AnyFile);
        EXPECT_EQ(dialog.defaultSuffix(), c.strSuffix);
        EXPECT_EQ(dialog.selectedNameFilter(), Q("環境設定ファイル (*.txt)"));  // as shown
        EXPECT_EQ(QDir(dialog.directory()), QDir(QString::fromStdString(dir.Path().string())));
        EXPECT_EQ(QFileInfo(dialog.selectedFiles().value(0)).fileName(), QStringLiteral("config.txt"));
    }
}

TEST(FileDialogTest, OpenNameGetsTheDefaultExtensionOnlyWhenNoSuchFileExists)
{
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir / "README", {1});
    testsupport::WriteFileBytes(dir / "fw.bin", {1});
    const QString base = QString::fromStdString(dir.Path().string()) + QLatin1Char('/');
    struct NameCase {
        const char* pszTyped;
        const char* pszExpected;
    };
    const NameCase cases[] = {
        {"README", "README"},       // exists as typed
        {"fw", "fw.bin"},           // typed without its extension
        {"new", "new.bin"},         // neither exists: the extension is added
        {"archive.tar", "archive.tar"},
        {"fw.bin", "fw.bin"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.pszTyped);
        EXPECT_EQ(CompleteOpenFileName(base + QString::fromUtf8(c.pszTyped), QStringLiteral("bin")),
                  base + QString::fromUtf8(c.pszExpected));
    }
    EXPECT_EQ(CompleteOpenFileName(base + QStringLiteral("new"), QString()), base + QStringLiteral("new"));
}

TEST(FileDialogTest, HandlerAnswersInPlaceOfTheDialogAndIsRestored)
{
    FileDialogRequest seen;
    const CFileDialog::Handler previous = CFileDialog::SetHandler([&](const FileDialogRequest& request) {
        seen = request;
        return std::optional<QString>(QStringLiteral("/tmp/x.bin"));
    });
    FileDialogRequest request;
    request.strTitle = QStringLiteral("t");
    EXPECT_EQ(CFileDialog::GetFileName(nullptr, request), std::optional<QString>(QStringLiteral("/tmp/x.bin")));
    EXPECT_EQ(seen.strTitle, QStringLiteral("t"));
    CFileDialog::SetHandler(previous);
}

}  // namespace
