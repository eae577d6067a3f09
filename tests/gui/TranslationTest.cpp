// Under a German locale with a German translation installed (a few texts, built for this test):
// the rows, the details window, the tray and the menus speak German, Qt's own buttons too, while
// D-Bus and the command line (--list, --status, --events) keep the English that scripts match.
#include <QDBusConnection>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include "EngineTexts.h"
#include "GuiFixture.h"
#include "SshCommand.h"
#include "Translations.h"
#include "TrayIcon.h"
#include "TunnelDetailsWindow.h"
#include "TunnelsTableModel.h"

namespace {

using M = TunnelsTableModel;

class TranslationTest : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        Translations::setDirectory(QStringLiteral(ZANDREL_TEST_TRANSLATIONS));
    }
    void TearDown() override {
        Translations::setDirectory({});
        GuiFixture::TearDown();
    }
    // The zandrel command as a script runs it, in this German session, to its end.
    QString zandrel(const QStringList& args) {
        QProcess p;
        p.start(QStringLiteral(ZANDREL_BINARY), args);
        // The answer comes from this process's own service: the event loop runs meanwhile.
        EXPECT_TRUE(waitUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return QString::fromUtf8(p.readAllStandardOutput());
    }
};

TEST_F(TranslationTest, TheDesktopSpeaksGermanWhileScriptsReadEnglish) {
    const std::string refused =
        script("refused", "echo 'command-line: line 0: Bad configuration option: foo' >&2\nexit 255");
    SshCommand::setSshProgram(script("ssh", "[ \"$TUNNEL_NAME\" = Alpha ] && exec " + refused +
                                                "\necho 'debug1: Entering interactive session.' >&2\nexec sleep 600"));
    store({{"tunnels", Value::List{tunnel("Alpha", true), tunnel("Beta", true), tunnel("Gamma")}}});
    m_app = std::make_unique<ZandrelApplication>(m_argc, m_argv, file("defaults.json"));
    m_startup = std::make_unique<DesktopStartup>(*m_app);
    m_controller = &m_startup->controller();
    ASSERT_EQ(m_startup->start(QDBusConnection::sessionBus()), ZandrelStartup::Result::Started);
    ASSERT_TRUE(waitUntil(
        [&] { return cell(1, M::TextColumn, M::CodeRole) == 2 && m_app->tunnels().at(0)->run().failedForGood(); }));

    const QString reasonDe = QStringLiteral(
        "command-line: line 0: Bad configuration option: foo. Korrigieren Sie die Option (in den ssh-Optionen des "
        "Tunnels oder in ~/.ssh/config) und drücken Sie dann Start.");
    EXPECT_EQ(cell(0, M::TextColumn, M::StatusRole), "Untätig");
    EXPECT_EQ(cell(0, M::TextColumn, M::ErrorRole), reasonDe);
    EXPECT_TRUE(
        cell(0, M::TextColumn, Qt::ToolTipRole).toString().contains(QStringLiteral("Korrigieren Sie die Option")));
    EXPECT_EQ(cell(1, M::TextColumn, M::StatusRole), "Verbunden");
    EXPECT_EQ(m_controller->showHideItem()->text(), "Tunnel ausblenden");
    EXPECT_EQ(m_controller->preferencesItem()->text(), "&Einstellungen…");
    EXPECT_TRUE(waitUntil([&] {
        return m_controller->trayIcon()->toolTip().contains("Zandrel: 1 von 1 Tunneln verbunden");
    })) << m_controller->trayIcon()->toolTip().toStdString();
    TunnelDetailsWindow* details = m_controller->showDetails(m_app->tunnels().at(0));
    EXPECT_EQ(details->windowTitle(), "Einzelheiten: Alpha");
    QStringList reasons;
    for (QLabel* l : details->findChildren<QLabel*>())
        if (l->accessibleName() == QLatin1String("Reason")) reasons << l->text();
    EXPECT_EQ(reasons, QStringList{reasonDe});
    EXPECT_TRUE(waitUntil([&] { return details->journalText()->toPlainText().contains("\tGestoppt: command-line"); }))
        << details->journalText()->toPlainText().toStdString();
    // Qt's own texts come from Qt's German translation.
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), "Abbrechen");

    const QString list = zandrel({QStringLiteral("--list")});
    EXPECT_TRUE(
        list.contains(QStringLiteral("Alpha\tIdle\t\tcommand-line: line 0: Bad configuration option: "
                                     "foo. Correct the option (in the tunnel's ssh options or in "
                                     "~/.ssh/config), then press Start.")))
        << list.toStdString();
    EXPECT_TRUE(list.contains(QStringLiteral("Beta\tConnected\t"))) << list.toStdString();
    const QString status = zandrel({QStringLiteral("--status"), QStringLiteral("Gamma")});
    EXPECT_TRUE(status.contains(QStringLiteral("status: Idle\n"))) << status.toStdString();
    const QString events = zandrel({QStringLiteral("--events"), QStringLiteral("Alpha")});
    EXPECT_TRUE(events.contains(QStringLiteral("\tStopped: command-line: line 0"))) << events.toStdString();
    EXPECT_FALSE(list.contains(QStringLiteral("Korrigieren")) || status.contains(QStringLiteral("Untätig")) ||
                 events.contains(QStringLiteral("Gestoppt")));
}

// The engine's English matched against the marked templates: the most specific one, values
// translated where they are marked texts, a value's own "%2" left alone, the rest as it is.
TEST_F(TranslationTest, EngineTextsFindTheirTemplate) {
    launch();
    const std::pair<const char*, const char*> cases[] = {
        {"Stopped: Zandrel quit", "Gestoppt: Zandrel wurde beendet"},
        {"Stopped: No password given", "Gestoppt: Kein Passwort eingegeben"},
        {"Stopped: 50% %2 done", "Gestoppt: 50% %2 done"},
        {"Retrying in 8 s", "Neuer Versuch in 8 s"},
        {"Port 8080: the target [::1]:80 refused 3 connections, last at 10:00:00 (Connection refused)",
         "Port 8080: Das Ziel [::1]:80 lehnte 3 Verbindungen ab, zuletzt um 10:00:00 (Connection refused)"},
        {"Permission denied (publickey).", "Permission denied (publickey)."},
        {"", ""},
    };
    for (const auto& [english, german] : cases)
        EXPECT_EQ(EngineTexts::translated(std::string(english)), QString::fromUtf8(german)) << english;
}

}  // namespace
