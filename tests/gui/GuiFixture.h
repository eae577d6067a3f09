#pragma once

#include <gtest/gtest.h>

#include <QPoint>
#include <QProcessEnvironment>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DesktopStartup.h"
#include "TempDir.h"
#include "TunnelsWindowController.h"
#include "Value.h"
#include "ZandrelApplication.h"

// One application object and tunnels window per test, over its own preferences file, with
// fake ssh programs written as small sh scripts into the test's folder.
class GuiFixture : public ::testing::Test {
public:
    // testsupport::waitUntil with the event loop served meanwhile; ms: the timeout.
    static bool waitUntil(const std::function<bool()>& cond, int ms = 5000);
    // Runs program with these arguments to its end (10 s at most): its exit status (-1: it
    // crashed), standard output and, when err is given, standard error.
    static int runProgram(const QString& program, const QProcessEnvironment& env, const QStringList& args, QString* out,
                          QString* err = nullptr);

protected:
    void SetUp() override;
    void TearDown() override;

    // Stores values in the preferences file before launch().
    void store(const Value::Dictionary& values);
    // A stored tunnel dictionary.
    static Value tunnel(const std::string& name, bool autoConnect = false);
    // The application object and the controller, wired as main wires them (without the bus),
    // up to and including the start-up steps.
    void launch(bool awake = true);
    // Runs the event loop until the application quits, quitting through the menu item.
    void quitThroughMenu();
    // The stored preferences as a fresh reader sees them.
    Value stored(const std::string& key) const;

    // An executable sh script; $DIR is the test's folder, and each run appends its pid to
    // $DIR/<name>.pids before the body runs.
    std::string script(const std::string& name, const std::string& body) const;
    std::vector<int> pids(const std::string& name) const;
    void touch(const std::string& file) const;
    std::string file(const std::string& name) const { return m_dir->file(name); }

    TunnelsTableView* table() const { return m_controller->tunnelsTable(); }
    // As the window system delivers a double click at pos of the table's viewport: press,
    // release, press, double click, release.
    void doubleClickTable(QPoint pos) const;
    QVariant cell(int row, int column, int role) const;

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<ZandrelApplication> m_app;
    std::unique_ptr<DesktopStartup> m_startup;
    TunnelsWindowController* m_controller = nullptr;  // the start-up's
    int m_argc = 1;
    char m_arg0[16] = "zandrel_test";
    char* m_argv[2] = {m_arg0, nullptr};
};
