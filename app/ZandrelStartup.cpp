#include "ZandrelStartup.h"

#include "DARAdivazUda.h"
#include "Log.h"
#include "ZTunnelInfo.h"
#include "Zandrel.h"
#include "ZandrelDBusService.h"

ZandrelStartup::ZandrelStartup(DARAdivazUda& app) : m_app(app) {
    ZTunnelInfo::registerMetaType();
    m_controller = std::make_unique<Zandrel>(app);
}

// The service refers to the controller: it goes first.
ZandrelStartup::~ZandrelStartup() {
    m_service.reset();
    m_controller.reset();
}

ZandrelStartup::Result ZandrelStartup::start(std::optional<QDBusConnection> bus, bool awake) {
    Result result = Result::StartedWithoutBus;
    if (bus) {
        m_service = std::make_unique<ZandrelDBusService>(m_app, *m_controller);
        switch (m_service->registerOn(*bus, &m_error)) {
            case ZandrelDBusService::Registration::Registered:
                result = Result::Started;
                break;
            case ZandrelDBusService::Registration::AlreadyRunning:
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
    m_app.quitOnTerminationSignals();
    if (awake) m_controller->awakeFromNib();
    return result;
}
