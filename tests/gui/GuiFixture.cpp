#include "GuiFixture.h"

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <fstream>

#include "Defaults.h"
#include "TrayIcon.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"
#include "Wait.h"

void GuiFixture::SetUp() {
    TunnelDriver::setShutdown(false);
    // As on a desktop with a notification area, where closing the window hides it.
    TrayIcon::setAvailableForTesting(true);
    m_dir = std::make_unique<testsupport::TempDir>("zandrel-gui");
}

void GuiFixture::TearDown() {
    if (m_app && m_app->tunnelsLoaded())
        for (const auto& t : m_app->tunnels().tunnels()) t->run().stop();
    TunnelDriver::setShutdown(true);
    EXPECT_TRUE(TunnelDriver::waitUntilIdle(std::chrono::seconds(5)));
    m_controller = nullptr;
    m_startup.reset();
    m_app.reset();
    TunnelDriver::setShutdown(false);
    m_dir.reset();
}

void GuiFixture::store(const Value::Dictionary& values) {
    Defaults defaults(file("defaults.json"));
    ASSERT_TRUE(defaults.setObjectsForKeys(values));
}

Value GuiFixture::tunnel(const std::string& name, bool autoConnect) {
    return Value::dictionary(
        {{"connName", name}, {"connHost", "127.0.0.1"}, {"connAuth", false}, {"autoConnect", autoConnect}});
}

void GuiFixture::launch(bool awake) {
    m_app = std::make_unique<ZandrelApplication>(m_argc, m_argv, file("defaults.json"));
    m_startup = std::make_unique<DesktopStartup>(*m_app);
    m_controller = &m_startup->controller();
    ASSERT_EQ(m_startup->start(std::nullopt, awake), ZandrelStartup::Result::StartedWithoutBus);
}

void GuiFixture::quitThroughMenu() {
    QTimer::singleShot(0, m_controller->quitItem(), &QAction::trigger);
    m_app->exec();
}

Value GuiFixture::stored(const std::string& key) const {
    return Defaults(m_dir->file("defaults.json")).objectForKey(key);
}

std::string GuiFixture::script(const std::string& name, const std::string& body) const {
    const std::string path = m_dir->file(name);
    std::ofstream out(path);
    out << "#!/bin/sh\nDIR='" << m_dir->path() << "'\necho $$ >> \"$DIR/" << name << ".pids\"\n" << body << "\n";
    out.close();
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<int> GuiFixture::pids(const std::string& name) const {
    std::vector<int> out;
    std::ifstream in(m_dir->file(name + ".pids"));
    for (int pid; in >> pid;) out.push_back(pid);
    return out;
}

void GuiFixture::touch(const std::string& name) const { std::ofstream(m_dir->file(name)).put('\n'); }

bool GuiFixture::waitUntil(const std::function<bool()>& cond, int ms) {
    return testsupport::waitUntil(cond, std::chrono::milliseconds(ms), [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    });
}

void GuiFixture::doubleClickTable(QPoint pos) const {
    QWidget* viewport = table()->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, pos);
    QTest::mousePress(viewport, Qt::LeftButton, {}, pos);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, pos, viewport->mapToGlobal(pos), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(viewport, &dbl);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, pos);
}

QVariant GuiFixture::cell(int row, int column, int role) const {
    return table()->model()->index(row, column).data(role);
}

int GuiFixture::runProgram(const QString& program, const QProcessEnvironment& env, const QStringList& args,
                           QString* out, QString* err) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(10000));
    *out = QString::fromUtf8(p.readAllStandardOutput());
    if (err) *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
