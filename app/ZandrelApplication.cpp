#include "ZandrelApplication.h"

#include <QDialog>
#include <QIcon>

#include "AuthenticationBridge.h"
#include "BundleImage.h"
#include "LinkLabel.h"
#include "PasswordKeyring.h"
#include "Translations.h"
#include "VersionLabel.h"
#include "ui_About.h"

ZandrelApplication::ZandrelApplication(int& argc, char** argv, const std::string& defaultsPath)
    : QApplication(argc, argv), m_core(defaultsPath) {
    // Before any window or text is made, so that every one is in the user's language.
    Translations::install(*this);
    setApplicationName(QStringLiteral("zandrel"));
    setApplicationDisplayName(QStringLiteral("Zandrel"));
    setDesktopFileName(QStringLiteral("zandrel"));
    setApplicationVersion(ZandrelVersion::shortVersion());
    setWindowIcon(BundleImage::named(QStringLiteral("zandrel")));
    // Closing the tunnels window hides it; the application goes on in the notification area.
    setQuitOnLastWindowClosed(false);
    // With a display, questions without a remembered answer are asked in windows.
    m_core.authenticationBridge().setPresenter(&m_prompts);
}

ZandrelApplication::~ZandrelApplication() { delete m_about; }

ZandrelApplication* ZandrelApplication::app() {
    return qobject_cast<ZandrelApplication*>(QCoreApplication::instance());
}

void ZandrelApplication::terminate() { ZandrelCore::terminate(); }

void ZandrelApplication::handleQuitScriptCommand() { terminate(); }

QString ZandrelApplication::aboutVersion() {
    return QString::number(static_cast<unsigned>(ZandrelVersion::buildNumber()), 16).toUpper();
}

void ZandrelApplication::orderFrontStandardAboutPanel(QWidget* parent) {
    if (!m_about) {
        m_about = new QDialog(parent);
        m_about->setAttribute(Qt::WA_DeleteOnClose);
        Ui::About ui;
        ui.setupUi(m_about);
        ui.appIcon->setPixmap(BundleImage::named(QStringLiteral("zandrel")).pixmap(64, 64));
        ui.versionLine->setText(tr("Version %1").arg(aboutVersion()));
        ui.homePage->setURL(QString::fromLatin1(kHomePage));
        ui.homePage->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kHomePage)));
        // The field opens the address itself, on any release.
        ui.homePage->setTextInteractionFlags(Qt::NoTextInteraction);
    }
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}
