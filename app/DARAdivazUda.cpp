#include "DARAdivazUda.h"

#include <QDialog>
#include <QIcon>

#include "AuthenticationBridge.h"
#include "PasswordKeyring.h"
#include "ZImage.h"
#include "ZLinkTextField.h"
#include "ZVersionTextField.h"
#include "ui_About.h"

DARAdivazUda::DARAdivazUda(int& argc, char** argv, const std::string& defaultsPath)
    : QApplication(argc, argv), m_core(defaultsPath) {
    setApplicationName(QStringLiteral("zandrel"));
    setApplicationDisplayName(QStringLiteral("Zandrel"));
    setDesktopFileName(QStringLiteral("zandrel"));
    setApplicationVersion(ZandrelVersion::shortVersion());
    setWindowIcon(ZImage::named(QStringLiteral("zandrel")));
    // Closing the tunnels window hides it; the application goes on in the notification area.
    setQuitOnLastWindowClosed(false);
    // With a display, questions without a remembered answer are asked in windows.
    m_core.authenticationBridge().setPresenter(&m_prompts);
}

DARAdivazUda::~DARAdivazUda() { delete m_about; }

DARAdivazUda* DARAdivazUda::app() { return qobject_cast<DARAdivazUda*>(QCoreApplication::instance()); }

void DARAdivazUda::terminate() { ZandrelCore::terminate(); }

void DARAdivazUda::handleQuitScriptCommand() { terminate(); }

QString DARAdivazUda::aboutVersion() {
    return QString::number(static_cast<unsigned>(ZandrelVersion::buildNumber()), 16).toUpper();
}

void DARAdivazUda::orderFrontStandardAboutPanel(QWidget* parent) {
    if (!m_about) {
        m_about = new QDialog(parent);
        m_about->setAttribute(Qt::WA_DeleteOnClose);
        Ui::About ui;
        ui.setupUi(m_about);
        ui.appIcon->setPixmap(ZImage::named(QStringLiteral("zandrel")).pixmap(64, 64));
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
