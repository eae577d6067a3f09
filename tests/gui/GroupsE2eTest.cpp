// A group of three tunnels started and stopped from the command line and over D-Bus, two of them to
// a real sshd on loopback and one to a port where nobody listens: the section says "2 of 3 up".
// Runs inside isolated.sh (a private ~/.ssh) under dbus-run-session.
#include <QDBusConnection>
#include <QProcess>
#include <QRegularExpression>

#include "GuiFixture.h"
#include "LoopbackPort.h"
#include "SshdFixture.h"
#include "TunnelsTableModel.h"

namespace {

using M = TunnelsTableModel;
using namespace testsupport;

class GroupsE2e : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
        ASSERT_TRUE(m_sshd.start()) << m_sshd.error() << m_sshd.log();
        if (!m_sshd.installClientKeyInHome()) GTEST_SKIP() << m_sshd.error() << ": run under tests/e2e/isolated.sh";
    }
    Value member(const std::string& name, int sshPort) const {
        return tunnel(name)
            .with("group", "work")
            .with("connPort", std::to_string(sshPort))
            .with("connUser", SshdFixture::userName())
            .with("tunnelsLocal", Value::List{Value::dictionary({{"port", std::to_string(LoopbackPort::pickFree())},
                                                                 {"host", "127.0.0.1"},
                                                                 {"hostport", "22"}})});
    }
    // The command line against this process's service: the event loop answers it meanwhile.
    int zandrel(const QStringList& args, QString* out = nullptr, const QString& program = ZANDREL_BINARY) {
        QProcess p;
        p.start(program, args);
        if (!waitUntil([&] { return p.state() == QProcess::NotRunning; }, 15000)) return -1;
        if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
        return p.exitCode();
    }
    QString section() const { return cell(1, M::TextColumn, M::LineRole).toString(); }

    SshdFixture m_sshd;
};

TEST_F(GroupsE2e, StartedGroupOfThreeShowsTwoUpListsItsGroupAndStopsWhole) {
    const int nobody = LoopbackPort::pickFree();
    store({{"tunnels", Value::List{tunnel("solo"), member("w1", m_sshd.port()), member("w2", m_sshd.port()),
                                   member("w3", nobody)}}});
    m_app = std::make_unique<ZandrelApplication>(m_argc, m_argv, file("defaults.json"));
    m_startup = std::make_unique<DesktopStartup>(*m_app);
    m_controller = &m_startup->controller();
    ASSERT_EQ(m_startup->start(QDBusConnection::sessionBus()), ZandrelStartup::Result::Started);
    EXPECT_EQ(section(), "3 stopped");

    ASSERT_EQ(zandrel({"--start", "@work"}), 0);
    ASSERT_TRUE(waitUntil([&] { return section() == "2 of 3 up"; }, 20000)) << section().toStdString() << m_sshd.log();
    EXPECT_EQ(cell(0, M::TextColumn, M::CodeRole), 0);  // the ungrouped one stays
    QString out;
    ASSERT_EQ(zandrel({"--list"}, &out), 0);
    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("solo\tIdle\t") && lines[0].endsWith("\t")) << out.toStdString();
    EXPECT_TRUE(lines[1].startsWith("w1\tConnected\tlocalhost:") && lines[1].endsWith("\twork")) << out.toStdString();
    EXPECT_TRUE(lines[3].startsWith("w3\t") && lines[3].endsWith("\twork")) << out.toStdString();
    ASSERT_EQ(zandrel({"--print-reply", "--dest=org.zandrel.Zandrel", "/org/zandrel/Zandrel",
                       "org.zandrel.Zandrel.TunnelStatus", "string:w3"},
                      &out, "dbus-send"),
              0);
    EXPECT_TRUE(out.contains(QRegularExpression("string \"group\"\\s+variant\\s+string \"work\"")))
        << out.toStdString();

    ASSERT_EQ(zandrel({"--print-reply", "--dest=org.zandrel.Zandrel", "/org/zandrel/Zandrel",
                       "org.zandrel.Zandrel.StopGroup", "string:work"},
                      nullptr, "dbus-send"),
              0);
    EXPECT_TRUE(waitUntil([&] { return section() == "3 stopped"; }, 10000)) << section().toStdString();
    EXPECT_EQ(zandrel({"--stop", "@nothing"}), 1);
}

}  // namespace
