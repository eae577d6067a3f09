// The About dialog's "Version" entry and the two text fields it uses.
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QTest>
#include <QUrl>

#include "Bundle.h"
#include "GuiFixture.h"
#include "LinkLabel.h"
#include "UrlRecorder.h"
#include "VersionLabel.h"
#include "ZandrelApplication.h"

namespace {

class AboutTest : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        m_build = Bundle::main().objectForInfoDictionaryKey("CFBundleVersion");
        m_short = Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    }
    void TearDown() override {
        Bundle::main().setInfoValue("CFBundleVersion", m_build);
        Bundle::main().setInfoValue("CFBundleShortVersionString", m_short);
        GuiFixture::TearDown();
    }
    // Opens the About dialog afresh and reads its entries.
    QString aboutLabel(const char* name) {
        if (QDialog* old = m_app->aboutPanel()) {
            old->close();
            QTest::qWait(0);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        m_app->orderFrontStandardAboutPanel();
        QDialog* about = m_app->aboutPanel();
        if (!about || !about->isVisible()) return "<no About dialog>";
        auto* label = about->findChild<QLabel*>(name);
        return label ? label->text() : QString("<no %1>").arg(name);
    }
    Value m_build, m_short;
};

TEST_F(AboutTest, VersionEntryIsTheBuildNumberInUpperCaseHex) {
    launch();
    Bundle::main().setInfoValue("CFBundleVersion", Value("26"));
    EXPECT_EQ(ZandrelApplication::aboutVersion(), "1A");
    EXPECT_EQ(aboutLabel("versionLine"), "Version 1A");
    Bundle::main().setInfoValue("CFBundleVersion", Value("255"));
    EXPECT_EQ(aboutLabel("versionLine"), "Version FF");
    Bundle::main().setInfoValue("CFBundleVersion", Value("1.2.3"));
    EXPECT_EQ(aboutLabel("versionLine"), "Version 1");
    Bundle::main().setInfoValue("CFBundleVersion", Value());
    EXPECT_EQ(aboutLabel("versionLine"), "Version 0");
    Bundle::main().setInfoValue("CFBundleVersion", Value("beta"));
    EXPECT_EQ(aboutLabel("versionLine"), "Version 0");
    Bundle::main().setInfoValue("CFBundleVersion", Value(4096));
    EXPECT_EQ(aboutLabel("versionLine"), "Version 1000");

    // The release line is a version field: short version and decimal build number.
    Bundle::main().setInfoValue("CFBundleVersion", Value("26"));
    Bundle::main().setInfoValue("CFBundleShortVersionString", Value("0.9.1"));
    EXPECT_EQ(aboutLabel("releaseLine"), "Release 0.9.1, build 26");
    // The same dialog comes to the front again rather than a second one.
    QDialog* first = m_app->aboutPanel();
    m_app->orderFrontStandardAboutPanel();
    EXPECT_EQ(m_app->aboutPanel(), first);
}

TEST_F(AboutTest, AboutItemOfTheMenuOpensIt) {
    launch();
    EXPECT_EQ(m_app->aboutPanel(), nullptr);
    m_controller->aboutItem()->trigger();
    ASSERT_NE(m_app->aboutPanel(), nullptr);
    EXPECT_TRUE(m_app->aboutPanel()->isVisible());
}

TEST(VersionTextField, FormatTakesShortVersionThenBuildNumber) {
    EXPECT_EQ(VersionLabel::versionLine("Version %@ (%d)", "1.4", 77), "Version 1.4 (77)");
    EXPECT_EQ(VersionLabel::versionLine("%@ build %i, 100%%", "2.0", 0), "2.0 build 0, 100%");
    // A build conversion before the object conversion is not one this format may have.
    EXPECT_EQ(VersionLabel::versionLine("%d %@", "x", 5), "%d x");
    EXPECT_EQ(VersionLabel::intValue(Value("  42abc")), 42);
    EXPECT_EQ(VersionLabel::intValue(Value("-7")), -7);
    EXPECT_EQ(VersionLabel::intValue(Value("99999999999")), INT_MAX);
    EXPECT_EQ(VersionLabel::intValue(Value(true)), 0);
}

class LinkFieldTest : public GuiFixture {};

TEST_F(LinkFieldTest, ReleaseOpensTheAddressAndNothingWithoutOne) {
    launch(false);
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    QDesktopServices::setUrlHandler("zandrel-test", &recorder, "open");
    LinkLabel field;
    field.setText("home page");
    field.resize(100, 20);
    field.show();

    QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(recorder.opened.isEmpty());  // no address yet
    field.setURL("not an address");
    QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(recorder.opened.isEmpty());

    field.setURL("https://example.org/zandrel");
    QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(5, 5));
    // Every release opens it once, wherever the pointer is.
    QTest::mouseRelease(&field, Qt::LeftButton, {}, QPoint(500, 500));
    ASSERT_EQ(recorder.opened.size(), 2);
    EXPECT_EQ(recorder.opened[0], QUrl("https://example.org/zandrel"));

    field.setURL("zandrel-test://second");
    QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(5, 5));
    ASSERT_EQ(recorder.opened.size(), 3);
    EXPECT_EQ(recorder.opened[2], QUrl("zandrel-test://second"));
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("zandrel-test");
}

}  // namespace
