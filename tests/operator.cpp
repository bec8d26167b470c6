// The operator at the log viewer's screen, for a host process that knows
// nothing of Qt: loaded beside the component (dlopen, ctypes), it finds the
// open screen by its objectNames and works it as a person would, once the
// process's event loop runs.

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <string>

namespace {

std::string g_report;

QWidget* openScreen()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("frmLogMain") && w->isVisible())
            return w;
    return nullptr;
}

template <class T>
T* control(QWidget* screen, const char* name)
{
    return screen->findChild<T*>(QString::fromLatin1(name));
}

void note(const QString& text) { g_report += text.toStdString() + "\n"; }

} // namespace

extern "C" {

__attribute__((visibility("default"))) int tq_operator_screen_open() { return qApp && openScreen() ? 1 : 0; }

// Arms the operator: when the event loop next runs, the screen's filter gets
// the dates (dd/mm/yyyy) and the application, the operator retrieves, notes
// what the screen shows and closes it. A message box that turns up is noted
// and closed, so that nothing waits for a person who is not there.
__attribute__((visibility("default"))) int tq_operator_arm(const char* from, const char* to, const char* appId)
{
    if (!qApp)
        return 0;
    g_report.clear();
    const QString f = QString::fromUtf8(from), t = QString::fromUtf8(to), a = QString::fromUtf8(appId);
    auto* watchdog = new QTimer(qApp);
    QObject::connect(watchdog, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            note(QStringLiteral("message: ") + box->text());
            box->reject();
        }
    });
    watchdog->start(200);
    QTimer::singleShot(0, qApp, [=] {
        QWidget* s = openScreen();
        if (!s) {
            note(QStringLiteral("no screen"));
            return;
        }
        note(QStringLiteral("modal: %1").arg(QApplication::activeModalWidget() == s ? 1 : 0));
        control<QLineEdit>(s, "txtDateRangeStart")->setText(f);
        control<QLineEdit>(s, "txtDateRangeEnd")->setText(t);
        control<QLineEdit>(s, "txtAppID")->setText(a);
        control<QPushButton>(s, "cmdRetrieve")->click();
        note(QStringLiteral("found: ") + control<QLabel>(s, "lblTotalRecord")->text());
        const QTableWidget* grid = control<QTableWidget>(s, "grdLogList");
        note(QStringLiteral("first: ") + grid->item(0, grid->columnCount() - 1)->text());
        control<QPushButton>(s, "cmdCancel")->click();
        watchdog->deleteLater();
    });
    return 1;
}

__attribute__((visibility("default"))) const char* tq_operator_report() { return g_report.c_str(); }

} // extern "C"
