#include "DARAdivazUda.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDialog>
#include <QIcon>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "AuthenticationBridge.h"
#include "PasswordKeyring.h"
#include "ZImage.h"
#include "ZLinkTextField.h"
#include "ZVersionTextField.h"
#include "ui_About.h"

DARAdivazUda::DARAdivazUda(int& argc, char** argv, const std::string& defaultsPath)
    : QApplication(argc, argv),
      m_defaults(std::make_unique<Defaults>(defaultsPath.empty() ? Defaults::standardPath() : defaultsPath)),
      m_keyring(std::make_unique<PasswordKeyring>(*m_defaults)),
      m_bridge(std::make_unique<AuthenticationBridge>(m_tunnels, *m_keyring)) {
    setApplicationName(QStringLiteral("zandrel"));
    setApplicationDisplayName(QStringLiteral("Zandrel"));
    setDesktopFileName(QStringLiteral("zandrel"));
    setApplicationVersion(ZVersionTextField::shortVersion());
    setWindowIcon(ZImage::named(QStringLiteral("zandrel")));
    // Closing the tunnels window hides it; the application goes on in the notification area.
    setQuitOnLastWindowClosed(false);
}

namespace {
int g_signalWriteFd = -1;

void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (g_signalWriteFd >= 0 && ::write(g_signalWriteFd, &byte, 1) < 0) {
        // The pipe is full: a quit is already on its way.
    }
    errno = saved;
}
}  // namespace

DARAdivazUda::~DARAdivazUda() {
    delete m_about;
    if (m_signalFds[0] >= 0) {
        for (int s : {SIGTERM, SIGINT, SIGHUP}) std::signal(s, SIG_DFL);
        g_signalWriteFd = -1;
        ::close(m_signalFds[0]);
        ::close(m_signalFds[1]);
    }
}

void DARAdivazUda::quitOnTerminationSignals() {
    if (m_signalFds[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_signalFds) != 0) return;
    g_signalWriteFd = m_signalFds[1];
    // The handler only writes a byte; the quit itself runs on the GUI thread.
    auto* notifier = new QSocketNotifier(m_signalFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        while (::read(m_signalFds[0], buf, sizeof buf) > 0) {
        }
        terminate();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
}

DARAdivazUda* DARAdivazUda::app() { return qobject_cast<DARAdivazUda*>(QCoreApplication::instance()); }

TunnelList& DARAdivazUda::tunnels() {
    if (!m_tunnelsLoaded) {
        m_tunnelsLoaded = true;
        m_tunnels = ROZUdivev::tunnelsFromArray(m_defaults->objectForKey("tunnels"));
    }
    return m_tunnels;
}

bool DARAdivazUda::authenticate(const QString& query, const QString& fifo, pid_t caller, QString* error) {
    tunnels();  // a question can only come from a started tunnel; the list is loaded by then
    return m_bridge->ask(query, fifo, caller, error);
}

void DARAdivazUda::terminate() {
    // exit() rather than quit(): quit() asks the windows first, and a window may say no.
    QCoreApplication::exit(0);
}

void DARAdivazUda::handleQuitScriptCommand() { terminate(); }

QString DARAdivazUda::aboutVersion() {
    return QString::number(static_cast<unsigned>(ZVersionTextField::buildNumber()), 16).toUpper();
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
