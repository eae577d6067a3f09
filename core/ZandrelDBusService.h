#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <memory>

#include "BackgroundWork.h"
#include "TunnelChanges.h"
#include "TunnelInfo.h"

class ConnectionClock;
class DesktopFront;
// Host → why (ImportHosts' refused hosts).
using HostReasons = QMap<QString, QString>;
class ZandrelCore;

// The object behind org.zandrel.Zandrel on the session bus (interface in
// resources/dbus/org.zandrel.Zandrel.xml; the adaptor is generated from it). Calls run on the
// main thread, from the event loop. Without a tunnels window (headless) a question that needs a
// window stops its tunnel with the reason, and ShowWindow is the NoDisplay error.
class ZandrelDBusService : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    static constexpr const char* kService = "org.zandrel.Zandrel";
    static constexpr const char* kPath = "/org/zandrel/Zandrel";
    static constexpr const char* kInterface = "org.zandrel.Zandrel";
    static constexpr const char* kErrorUnknownTunnel = "org.zandrel.Zandrel.Error.UnknownTunnel";
    static constexpr const char* kErrorUnknownGroup = "org.zandrel.Zandrel.Error.UnknownGroup";
    static constexpr const char* kErrorNoDisplay = "org.zandrel.Zandrel.Error.NoDisplay";
    // Authenticate from a process that no ssh of Zandrel started, or with bad arguments.
    static constexpr const char* kErrorRefused = "org.zandrel.Zandrel.Error.Refused";
    // A SetTunnel value that cannot stand; a change that could not be written to disk.
    static constexpr const char* kErrorInvalid = "org.zandrel.Zandrel.Error.Invalid";
    static constexpr const char* kErrorNotSaved = "org.zandrel.Zandrel.Error.NotSaved";

    // front: the tunnels window's controller, or null when Zandrel runs without a display.
    ZandrelDBusService(ZandrelCore& core, DesktopFront* front, QObject* parent = nullptr);
    ~ZandrelDBusService() override;

    enum class Registration { Registered, AlreadyRunning, NoBus };
    // Puts the object on the bus and then claims the service name, so that whoever sees the
    // name finds the object. AlreadyRunning when another process holds the name.
    Registration registerOn(QDBusConnection bus, QString* error);
    // Asks the instance that holds the name to show its window; false with *error on failure.
    static bool showRunningInstance(QDBusConnection bus, QString* error);

public Q_SLOTS:
    QString Authenticate(const QString& query, const QString& tunnelName, const QString& fifo);
    QString AuthenticateKind(const QString& query, const QString& tunnelName, const QString& fifo, const QString& kind);
    void Quit();
    TunnelInfoList ListTunnels();
    void StartTunnel(const QString& name);
    void StopTunnel(const QString& name);
    void StartGroup(const QString& group);
    void StopGroup(const QString& group);
    void ShowWindow();
    void ReconnectAll();
    QStringList TunnelLog(const QString& name);
    QStringList TunnelEvents(const QString& name);
    QVariantMap TunnelStatus(const QString& name);
    void SetTunnel(const QString& name, const QString& json);
    void RemoveTunnel(const QString& name);
    QStringList ImportHosts(const QStringList& hosts, HostReasons& refused);
    QString ExportTunnels(const QStringList& names);
    QStringList ImportTunnels(const QString& json, const QString& onConflict);
    void OpenTunnelFile(const QString& path);

Q_SIGNALS:
    void StatusChanged(const QString& name, const QString& status, int code);

private:
    // The first tunnel of that name, or nullptr after sending the error reply.
    TunnelPtr tunnelNamed(const QString& name);
    // The tunnels of that group, or none after sending the error reply.
    TunnelList groupNamed(const QString& group);

    // The error reply for an outcome that is not Done.
    void sendOutcomeError(const TunnelChanges::Outcome& outcome);
    // Answers a call whose reply was delayed.
    static void reply(QDBusConnection bus, const QDBusMessage& call, const TunnelChanges::Outcome& outcome);
    // Made at the first change: the list is loaded only when someone asks for it.
    TunnelChanges& changes();

    ZandrelCore& m_core;
    DesktopFront* m_front;
    std::unique_ptr<TunnelChanges> m_changes;
    BackgroundWork* m_work;
    // Who may ask a question is judged by when its connection appeared, timed on this thread.
    QThread m_clockThread;
    std::unique_ptr<ConnectionClock> m_clock;
};
