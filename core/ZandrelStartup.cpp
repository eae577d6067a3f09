#include "ZandrelStartup.h"

#include <QCoreApplication>

#include "DesktopFront.h"
#include "Log.h"
#include "TunnelInfo.h"
#include "ZandrelCore.h"
#include "ZandrelDBusService.h"

ZandrelStartup::ZandrelStartup(ZandrelCore& core, DesktopFront* front) : m_core(core), m_front(front) {
    TunnelInfo::registerMetaType();
}

ZandrelStartup::~ZandrelStartup() = default;

ZandrelStartup::Result ZandrelStartup::start(std::optional<QDBusConnection> bus, bool awake) {
    Result result = Result::StartedWithoutBus;
    if (bus) {
        m_service = std::make_unique<ZandrelDBusService>(m_core, m_front);
        switch (m_service->registerOn(*bus, &m_error)) {
            case ZandrelDBusService::Registration::Registered:
                result = Result::Started;
                break;
            case ZandrelDBusService::Registration::AlreadyRunning:
                if (isHeadless()) {
                    m_error = QStringLiteral("another Zandrel already runs in this session");
                    return Result::Failed;
                }
                if (!ZandrelDBusService::showRunningInstance(*bus, &m_error)) {
                    m_error = QStringLiteral("another Zandrel runs but does not answer: ") + m_error;
                    return Result::Failed;
                }
                return Result::OtherInstanceShown;
            case ZandrelDBusService::Registration::NoBus:
                Log::line("No session bus (" + m_error.toStdString() +
                          "): password prompts and the single-instance check are not available.");
                break;
        }
    }
    // From the start-up steps on, termination signals quit as the menu does.
    m_core.quitOnTerminationSignals();
    if (!awake) return result;
    if (m_front) {
        m_front->setUpWindowAndTunnels();
    } else {
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &m_core, [core = &m_core] {
            core->stopAllTunnels();
            core->waitForRuns();
        });
        m_core.watchSystemEvents();
        const size_t count = m_core.tunnels().size();
        Log::line("Running without a display: " + std::to_string(count) + " tunnels, D-Bus " +
                  (result == Result::Started ? "org.zandrel.Zandrel" : "not available"));
    }
    return result;
}
