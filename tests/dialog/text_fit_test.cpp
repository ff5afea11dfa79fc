// Every text of the transfer window and of the version box shows whole, measured with each control's
// own font and style margins, on whichever platform and scale the test runs: CTest runs these tests
// on the offscreen platform and on X11 (an Xvfb of their own), each at scale 1 and 2. And the rule
// that makes them fit: a control keeps its left, top and height, and grows to its text's width only
// into free space.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AboutDlg.h"
#include "ClientDlg.h"
#include "DialogTestSupport.h"
#include "DialogUnits.h"
#include "StringTable.h"
#include "TemplateGroupBox.h"
#include "TextFit.h"
#include "Texts.h"

namespace {

using dialogtest::Q;

std::string Describe(const QWidget* pControl, const QString& text, const TextFit& fit)
{
    return pControl->objectName().toStdString() + " \"" + text.toStdString() + "\" needs " +
           std::to_string(fit.needed.width()) + "x" + std::to_string(fit.needed.height()) + ", has " +
           std::to_string(fit.area.width()) + "x" + std::to_string(fit.area.height()) + " on " +
           QGuiApplication::platformName().toStdString() + " at scale " +
           QString::number(pControl->devicePixelRatioF()).toStdString();
}

// Walks every control of a window that shows text and adds each text that does not fit to clipped;
// returns how many texts were checked.
int CheckEveryShownText(const QWidget* pWindow, std::set<std::string>& clipped)
{
    int nChecked = 0;
    for (QWidget* pControl : pWindow->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (pControl->isWindow())
            continue;
        const QString text = ShownText(pControl);
        if (text.isEmpty())
            continue;
        const TextFit fit = MeasureTextFit(pControl, text);
        if (!fit.Fits())
            clipped.insert(Describe(pControl, text, fit));
        ++nChecked;
    }
    return nChecked;
}

void ShowAndWait(QWidget* pWindow)
{
    pWindow->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(pWindow));
}

class TextFitTest : public ::testing::Test {
protected:
    void TearDown() override { dialogtest::ExpectNoWindowLeft(); }

    testsupport::TempDir m_dir;
    dialogtest::CurrentFolder m_cwd{m_dir.Path()};
    dialogtest::MessageBoxRecorder m_boxes;
};

// The window in each operation and each phase's status text, at the highest percentage.
TEST_F(TextFitTest, EveryTextOfTheWindowFitsItsControlInEveryOperationAndPhase)
{
    CClientDlg dlg;
    ShowAndWait(&dlg);
    auto* pOperation = qobject_cast<QComboBox*>(dlg.Control(CClientDlg::IDC_OPERATION));
    auto* pStatus = qobject_cast<QLineEdit*>(dlg.Control(CClientDlg::IDC_STATUS));
    int nChecked = 0;
    std::set<std::string> clipped;
    for (int nOperation = 0; nOperation < 3; ++nOperation) {
        pOperation->setCurrentIndex(nOperation);
        dlg.ShowPercent(100);
        for (int nPhase = 0; nPhase < static_cast<int>(kStatusTexts.size()); ++nPhase) {
            dlg.ShowStatus(nPhase);
            ASSERT_EQ(pStatus->text(), Q(kStatusTexts[static_cast<std::size_t>(nPhase)]));
            nChecked += CheckEveryShownText(&dlg, clipped);
        }
    }
    EXPECT_EQ(clipped, std::set<std::string>{});
    // Labels, the check box, the buttons, the group, the lists and the fields were all seen.
    EXPECT_GE(nChecked, 3 * 10 * 14);
}

TEST_F(TextFitTest, EveryTextOfTheVersionBoxFitsItsControl)
{
    CAboutDlg about;
    ShowAndWait(&about);
    std::set<std::string> clipped;
    // The name, the version, the sentence, the rights and OK.
    EXPECT_EQ(CheckEveryShownText(&about, clipped), 5);
    EXPECT_EQ(clipped, std::set<std::string>{});
    about.close();
}

// A control that grew kept its place and took no more than its widest text needs; none was left
// clipped because a neighbour stood in the way (that would need a decision, not a guess).
TEST_F(TextFitTest, GrownControlsTakeExactlyTheWidthTheirTextNeeds)
{
    CClientDlg dlg;
    CAboutDlg about;
    for (const std::vector<TextGrowth>* pGrowths : {&dlg.TextGrowths(), &about.TextGrowths()}) {
        for (const TextGrowth& growth : *pGrowths) {
            QWidget* pControl = growth.pControl;
            SCOPED_TRACE(pControl->objectName().toStdString());
            EXPECT_TRUE(growth.bGrown) << "\"" << growth.text.toStdString() << "\" needs " << growth.nToWidth
                                       << " px but the control would overlap "
                                       << growth.pBlocker->objectName().toStdString();
            EXPECT_EQ(pControl->width(), growth.nToWidth);
            EXPECT_TRUE(MeasureTextFit(pControl, growth.text).Fits());
            const QRect grown = pControl->geometry();
            pControl->resize(grown.width() - 1, grown.height());
            EXPECT_FALSE(MeasureTextFit(pControl, growth.text).Fits()) << "grew more than its text needs";
            pControl->resize(growth.nFromWidth, grown.height());
            EXPECT_FALSE(MeasureTextFit(pControl, growth.text).Fits()) << "grew without need";
            pControl->setGeometry(grown);
        }
    }
}

// Growing never puts one control over another: only a group box holds the controls it frames.
TEST_F(TextFitTest, NoControlOverlapsAnotherAfterGrowing)
{
    CClientDlg dlg;
    CAboutDlg about;
    for (const QWidget* pWindow : std::initializer_list<const QWidget*>{&dlg, &about}) {
        QList<QWidget*> controls;
        for (QWidget* pControl : pWindow->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!pControl->isWindow())
                controls.append(pControl);
        for (qsizetype i = 0; i < controls.size(); ++i) {
            for (qsizetype j = i + 1; j < controls.size(); ++j) {
                const QRect a = controls[i]->geometry();
                const QRect b = controls[j]->geometry();
                const bool bFramed = (qobject_cast<QGroupBox*>(controls[i]) && a.contains(b)) ||
                                     (qobject_cast<QGroupBox*>(controls[j]) && b.contains(a));
                EXPECT_TRUE(bFramed || !a.intersects(b))
                    << controls[i]->objectName().toStdString() << " overlaps "
                    << controls[j]->objectName().toStdString();
            }
            EXPECT_TRUE(pWindow->rect().contains(controls[i]->geometry())) << controls[i]->objectName().toStdString();
        }
    }
}

// The group box painted alone, on the window's background, at the window's scale: its frame and its
// caption, nothing else.
QImage GroupAlone(const QGroupBox* pGroup, const QColor& background)
{
    const qreal dpr = pGroup->devicePixelRatioF();
    QImage image((QSizeF(pGroup->size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(background);
    const_cast<QGroupBox*>(pGroup)->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// Every pixel of a group box's frame and caption shows in the window as the box paints it: no
// control that it frames (they are its siblings, drawn after it) or holds paints over the line.
TEST_F(TextFitTest, NoControlPaintsOverTheFrameOfAGroupBox)
{
    CClientDlg dlg;
    ShowAndWait(&dlg);
    dlg.ShowStatus(PHASE_RECEIVING);
    dlg.ShowPercent(100);
    const QImage window = dlg.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QList<QGroupBox*> groups = dlg.findChildren<QGroupBox*>();
    ASSERT_FALSE(groups.isEmpty());
    for (const QGroupBox* pGroup : groups) {
        SCOPED_TRACE(pGroup->objectName().toStdString());
        const QColor background = dlg.palette().color(QPalette::Window);
        const QImage alone = GroupAlone(pGroup, background);
        const QPoint origin = (QPointF(pGroup->pos()) * window.devicePixelRatio()).toPoint();
        int nInk = 0;
        int nCovered = 0;
        for (int y = 0; y < alone.height(); ++y) {
            for (int x = 0; x < alone.width(); ++x) {
                if (alone.pixel(x, y) == background.rgb())
                    continue;
                ++nInk;
                if (window.pixel(origin + QPoint(x, y)) != alone.pixel(x, y))
                    ++nCovered;
            }
        }
        EXPECT_GT(nInk, 0) << "the group box paints nothing";
        EXPECT_EQ(nCovered, 0) << "of " << nInk << " pixels of the frame and caption on "
                               << QGuiApplication::platformName().toStdString() << " at scale "
                               << window.devicePixelRatio();
    }
}

// The progress group as the screen shows it: one frame whose top edge runs unbroken across its width
// but for the caption's gap, with the caption on that line, and the status text and the percentage
// below the line.
TEST_F(TextFitTest, TheProgressFrameIsDrawnWholeOnTheScreen)
{
    CClientDlg dlg;
    ShowAndWait(&dlg);
    dlg.ShowStatus(PHASE_RECEIVING);
    dlg.ShowPercent(100);
    auto* pGroup = qobject_cast<CTemplateGroupBox*>(dlg.Control(CClientDlg::IDC_GROUP_PROGRESS));
    ASSERT_NE(pGroup, nullptr);
    const QRect frame = pGroup->FrameRect().translated(pGroup->pos());
    const QRect caption = pGroup->CaptionRect().translated(pGroup->pos());
    // The caption sits on the line, not above it.
    EXPECT_LT(caption.top(), frame.top());
    EXPECT_GT(caption.bottom(), frame.top());
    for (int nId : {CClientDlg::IDC_STATUS, CClientDlg::IDC_PERCENT})
        EXPECT_GT(dlg.Control(nId)->geometry().top(), frame.top()) << nId;

    const QColor line = pGroup->palette().color(QPalette::Mid);
    const QColor background = dlg.palette().color(QPalette::Window);
    ASSERT_NE(line.rgb(), background.rgb());
    // What the screen holds (an X server's pixels under Xvfb), once the window has been painted there.
    QImage shot;
    int nMissing = -1;
    std::string gaps;
    const bool bWhole = QTest::qWaitFor(
        [&] {
            // The offscreen platform has no screen to read back at its scale: there, the window's own
            // painting stands for it.
            shot = QGuiApplication::platformName() == QLatin1String("offscreen")
                       ? dlg.grab().toImage()
                       : dlg.screen()->grabWindow(dlg.winId()).toImage();
            if (shot.isNull())
                return false;
            // The screen's pixels per window pixel, whatever the platform says of the image.
            const qreal dpr = qreal(shot.width()) / dlg.width();
            const int y = qRound(frame.top() * dpr);
            nMissing = 0;
            gaps.clear();
            for (int x = qRound(frame.left() * dpr); x < qRound((frame.right() - 1) * dpr); ++x) {
                const bool bInGap = x >= qRound((caption.left() - 2) * dpr) && x < qRound((caption.right() + 3) * dpr);
                if (bInGap)
                    continue;
                if (QColor(shot.pixel(x, y)).rgb() != line.rgb()) {
                    ++nMissing;
                    if (gaps.size() < 200)
                        gaps += std::to_string(x) + " ";
                }
            }
            return nMissing == 0;
        },
        2000);
    EXPECT_TRUE(bWhole) << nMissing << " pixels of the top edge missing at x = " << gaps << "on "
                        << QGuiApplication::platformName().toStdString() << " at scale " << dlg.devicePixelRatioF();
    dlg.close();
}

// ---- The rule on a window of the test's own ----------------------------------------------------

struct GrowCase {
    const char* pszName;
    QRect neighbour;    // a second label; empty: none
    bool bHiddenNeighbour;
    bool bInGroup;      // the label stands inside a group box 0,0 - 150,60
    int nWindowWidth;
    bool bGrown;
    const char* pszBlocker;  // object name of what stops it
};

TEST(TextGrowthTest, AControlGrowsIntoFreeSpaceAndOtherwiseNamesWhatStopsIt)
{
    const QString text = Q("転送ファイル名");
    const GrowCase cases[] = {
        {"free space to the right", {}, false, false, 300, true, ""},
        {"a neighbour right beside it", QRect(50, 10, 40, 13), false, false, 300, false, "neighbour"},
        {"a neighbour lower down", QRect(20, 40, 200, 13), false, false, 300, true, ""},
        {"a hidden neighbour still counts", QRect(60, 15, 40, 13), true, false, 300, false, "neighbour"},
        {"the window's edge", {}, false, false, 60, false, "window"},
        {"room inside its group", {}, false, true, 300, true, ""},
        {"past the frame of its group", {}, false, true, 300, false, "group"},
    };
    for (const GrowCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        QWidget window;
        window.setObjectName(QStringLiteral("window"));
        window.setFont(DialogFont());
        window.resize(c.nWindowWidth, 100);
        if (c.bInGroup) {
            auto* pGroup = new QGroupBox(&window);
            pGroup->setObjectName(QStringLiteral("group"));
            const bool bNarrow = std::string(c.pszBlocker) == "group";
            pGroup->setGeometry(0, 0, bNarrow ? 55 : 150, 60);
        }
        auto* pLabel = new QLabel(text, &window);
        pLabel->setObjectName(QStringLiteral("label"));
        pLabel->setGeometry(10, 20, 20, 13);
        if (!c.neighbour.isEmpty()) {
            auto* pNeighbour = new QLabel(QStringLiteral("x"), &window);
            pNeighbour->setObjectName(QStringLiteral("neighbour"));
            pNeighbour->setGeometry(c.neighbour);
            pNeighbour->setVisible(!c.bHiddenNeighbour);
        }
        const int nNeeded = 20 + MeasureTextFit(pLabel, text).MissingWidth();
        ASSERT_GT(nNeeded, 40) << "the text is wider than the label";

        const std::vector<TextGrowth> growths = GrowToFitTexts({{pLabel, {text}}});
        ASSERT_EQ(growths.size(), 1u);
        EXPECT_EQ(growths[0].bGrown, c.bGrown);
        EXPECT_EQ(growths[0].nFromWidth, 20);
        EXPECT_EQ(growths[0].nToWidth, nNeeded);
        EXPECT_EQ(pLabel->geometry(), QRect(10, 20, c.bGrown ? nNeeded : 20, 13)) << "left, top and height stay";
        EXPECT_EQ(growths[0].pBlocker ? growths[0].pBlocker->objectName().toStdString() : std::string(),
                  c.pszBlocker);
    }
}

TEST(TextGrowthTest, TheWidestTextDecidesAndFittingControlsStayUnlisted)
{
    QWidget window;
    window.setFont(DialogFont());
    window.resize(400, 100);
    auto* pCheck = new QCheckBox(&window);
    pCheck->setGeometry(0, 0, 30, 16);
    auto* pButton = new QPushButton(QStringLiteral("OK"), &window);
    pButton->setGeometry(0, 40, 200, 24);
    const QString narrow = QStringLiteral("a");
    const QString wide = Q("転送先ファイルを指定する");

    const std::vector<TextGrowth> growths = GrowToFitTexts({{pCheck, {narrow, wide, narrow}}, {pButton, {pButton->text()}}});
    ASSERT_EQ(growths.size(), 1u);
    EXPECT_EQ(growths[0].pControl, pCheck);
    EXPECT_EQ(growths[0].text, wide);
    EXPECT_TRUE(MeasureTextFit(pCheck, wide).Fits());
    EXPECT_EQ(pButton->width(), 200);
}

// What the measure says is what the control paints: the ink of a grown label or check box ends inside
// it, where the same control made wide shows where the text's ink really ends.
TEST(TextGrowthTest, TheInkOfAGrownControlEndsInsideIt)
{
    const auto rightmostInk = [](QWidget* pControl) {
        const QImage image = pControl->grab().toImage();
        const qreal ratio = image.devicePixelRatio();
        int nRight = -1;
        for (int y = 0; y < image.height(); ++y) {
            const QRgb background = image.pixel(image.width() - 1, y);
            for (int x = image.width() - 1; x > nRight; --x)
                if (image.pixel(x, y) != background)
                    nRight = x;
        }
        return static_cast<int>(nRight / ratio);
    };
    for (const std::string_view text : {kLabelFileName, kLabelRouter, kSpecifyDestinationFile, kAboutProgramName}) {
        SCOPED_TRACE(std::string(text));
        for (bool bCheckBox : {false, true}) {
            QWidget window;
            window.setFont(DialogFont());
            window.resize(400, 60);
            QWidget* pGrown = bCheckBox ? static_cast<QWidget*>(new QCheckBox(Q(text), &window))
                                        : static_cast<QWidget*>(new QLabel(Q(text), &window));
            QWidget* pWide = bCheckBox ? static_cast<QWidget*>(new QCheckBox(Q(text), &window))
                                       : static_cast<QWidget*>(new QLabel(Q(text), &window));
            pGrown->setGeometry(0, 0, 10, 16);
            pWide->setGeometry(0, 30, 390, 16);
            GrowToFitTexts({{pGrown, {Q(text)}}});
            const int nInkEnd = rightmostInk(pWide);
            ASSERT_GT(nInkEnd, 10);
            EXPECT_LT(nInkEnd, pGrown->width()) << "the ink runs past the grown control";
            EXPECT_LE(pGrown->width(), nInkEnd + 4) << "far wider than its ink";
        }
    }
}

}  // namespace
