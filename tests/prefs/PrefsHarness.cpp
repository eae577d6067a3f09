#include "PrefsHarness.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

PrefsHarness::PrefsHarness() {
    qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", (m_dir.path() + "/state").toLocal8Bit());
    defaults = std::make_unique<Defaults>(Defaults::standardPath());
}

PrefsHarness::~PrefsHarness() {
    if (m_token) NotificationCenter::defaultCenter().removeObserver(m_token);
    m_controller.reset();
    for (const auto& t : tunnels.tunnels()) t->run().stop();
}

PreferencesController& PrefsHarness::open() {
    m_controller = std::make_unique<PreferencesController>(tunnels, *defaults);
    const void* editor = m_controller.get();
    m_token = NotificationCenter::defaultCenter().addObserver(PreferencesController::kPrefChanged, nullptr,
                                                              [this, editor](const Notification& n) {
                                                                  ++m_posts;
                                                                  if (n.object != editor) ++m_foreignPosts;
                                                              });
    return *m_controller;
}

bool PrefsHarness::runModal(const std::function<void()>& body) {
    bool returned = false;
    QDialog* window = m_controller->window();
    QTimer::singleShot(0, window, [&] {
        if (QTest::qWaitForWindowActive(window)) {
            body();
            returned = true;
        }
        window->close();
    });
    m_controller->exec();
    return returned;
}

Value PrefsHarness::storedTunnels() const { return storedValue("tunnels"); }

Value PrefsHarness::storedValue(const std::string& key) const { return Defaults(defaults->path()).objectForKey(key); }

Value PrefsHarness::expectedTunnels() const { return tunnels.storedForm(); }

void PrefsHarness::click(QWidget* w) {
    // A check box reacts on its box and label only, not on the rest of its row.
    const QPoint at = qobject_cast<QCheckBox*>(w) ? QPoint(8, w->height() / 2) : w->rect().center();
    QTest::mouseClick(w, Qt::LeftButton, {}, at);
}

void PrefsHarness::clickRow(QAbstractItemView* view, int row, int column) {
    const QRect r = view->visualRect(view->model()->index(row, column));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, r.center());
}

void PrefsHarness::clickBelowRows(QAbstractItemView* view) {
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, view->viewport()->height() - 3));
}

void PrefsHarness::doubleClickCell(QAbstractItemView* view, int row, int column) {
    const QRect r = view->visualRect(view->model()->index(row, column));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, r.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, r.center());
}

void PrefsHarness::type(QLineEdit* field, const QString& text, int endKey) {
    if (!field->hasFocus()) QTest::mouseClick(field, Qt::LeftButton, {}, field->rect().center());
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
    if (endKey) QTest::keyClick(field, static_cast<Qt::Key>(endKey));
}

QLineEdit* PrefsHarness::cellEditor(QAbstractItemView* view) {
    for (QLineEdit* e : view->viewport()->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly))
        if (e->isVisible()) return e;
    return nullptr;
}

QString PrefsHarness::cell(QAbstractItemView* view, int row, int column) {
    return view->model()->index(row, column).data().toString();
}

void PrefsHarness::answerMessageBox(const QString& button) {
    QTimer::singleShot(0, [button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        for (QAbstractButton* b : box->buttons())
            if (b->text() == button) b->click();
    });
}
