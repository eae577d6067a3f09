#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Value.h"

class ROZUdivev;
// One port forward: "port", "host", "hostport", any of which may be missing; other keys are kept.
using ForwardEntry = std::map<std::string, std::string>;
// Forward lists are immutable once published; every change replaces the list whole.
using ForwardList = std::vector<ForwardEntry>;
using TunnelPtr = std::shared_ptr<ROZUdivev>;
using TunnelList = std::vector<TunnelPtr>;

// One configured tunnel: its settings, their stored form, the ssh command line built from them,
// and the ssh process that runs it, restarted one second after every exit until stopped.
// Made only through the static factories (the launch thread holds the tunnel it runs).
class ROZUdivev : public std::enable_shared_from_this<ROZUdivev> {
public:
    static constexpr const char* kStatusChanged = "ZDRStatusChanged";
    static constexpr const char* kDefaultName = "New Tunnel";

    // A new tunnel with the new-tunnel settings ("New Tunnel" when no name is given).
    static TunnelPtr create(const std::string& name = kDefaultName);
    static TunnelPtr tunnelWithName(const std::string& name) { return create(name); }
    // A tunnel from its stored form; starts it when "autoConnect" is on.
    static TunnelPtr tunnelFromDictionary(const Value& dictionary);
    // One tunnel per stored dictionary, in order; None or a non-list gives an empty list.
    static TunnelList tunnelsFromArray(const Value& array);
    // The dictionary a new tunnel is made from.
    static Value newTunnelDictionary(const std::string& name);

    ~ROZUdivev();
    ROZUdivev(const ROZUdivev&) = delete;
    ROZUdivev& operator=(const ROZUdivev&) = delete;

    // Stored form: the fourteen keys, unset fields left out.
    Value dictionary() const;

    // Field access by name; the names are the stored keys plus "code", "status", "shouldStop".
    // Writing an unknown key logs "key <key> undefined"; reading one gives None.
    void setValueForKey(const Value& value, const std::string& key);
    Value valueForKey(const std::string& key) const;

    // Forward lists (index within the list; callers guarantee it).
    std::shared_ptr<const ForwardList> tunnelsLocal() const;
    std::shared_ptr<const ForwardList> tunnelsRemote() const;
    void addLocalTunnel(const ForwardEntry& entry);
    void addRemoteTunnel(const ForwardEntry& entry);
    void removeLocal(int index);
    void removeRemote(int index);
    void setLocalValueOfTunnelForKey(const std::string& value, int index, const std::string& key);
    void setRemoteValueOfTunnelForKey(const std::string& value, int index, const std::string& key);

    // Image resource name of the phase: "offState", "middleState" or "onState".
    std::string icon() const;
    // ssh's argument list (program path not included).
    std::vector<std::string> arguments() const;
    // The list as the user sees it: "ssh " + the arguments without "-v".
    static std::string displayCommand(const std::vector<std::string>& arguments);

    void startTunnel();
    // Ends the running ssh; also in the pause after an exit, where it cancels the restart.
    void stopTunnel();
    void toggleTunnel();
    bool isRunning() const;
    // The status text, or the idle text when none is set.
    std::string status() const;
    // 0 no process (or stop requested), 1 launched, 2 connected.
    int code() const { return m_code.load(); }
    // The reason the latest ended run failed, as ssh said it; empty once a run connects.
    std::string lastError() const;
    std::string connName() const;
    // Whether a launch thread exists for this tunnel (running, or in its pause after an exit).
    bool hasLaunchThread() const;

    // Handles one chunk of ssh's standard error; false once reading should stop.
    bool stdErr(const char* data, size_t size);

    // Engine-wide switch thrown at quit: no launch thread starts an ssh after it.
    static void setShutdown(bool on);
    static bool isShutdown();
    // Waits until no launch thread is left, at most the given time; true when none is.
    [[nodiscard]] static bool waitForLaunchThreads(std::chrono::milliseconds timeout);
    // The program run for tunnels without SOCKS4 (tests swap it; the default is /usr/bin/ssh).
    static void setSshProgram(const std::string& path);
    static std::string sshProgram();
    static constexpr std::chrono::milliseconds kRestartDelay{1000};

private:
    ROZUdivev() = default;
    void postStatusChanged();
    void launchTunnel();
    void spawnLaunchThread();
    std::vector<std::string> launchEnvironment() const;
    void setStatus(std::optional<std::string> s);
    void replaceList(bool local, std::shared_ptr<const ForwardList> list);
    static std::shared_ptr<const ForwardList> listFromValue(const Value& v, const std::string& key);
    static Value listToValue(const std::shared_ptr<const ForwardList>& list);

    mutable std::mutex m_mutex;  // settings, status, lastError, task
    std::atomic<int> m_code{0};
    std::shared_ptr<const ForwardList> m_tunnelsLocal;
    std::shared_ptr<const ForwardList> m_tunnelsRemote;
    std::atomic<bool> m_shouldStop{false};
    std::shared_ptr<ChildProcess> m_task;
    bool m_connAuth = false;
    bool m_autoConnect = false;
    std::optional<std::string> m_connName;
    std::optional<std::string> m_status;
    std::optional<std::string> m_connPort;
    bool m_connRemote = false;
    bool m_compression = false;
    bool m_v1 = false;
    std::optional<std::string> m_encryption;
    bool m_socks4 = false;
    std::optional<std::int64_t> m_socks4p;
    std::optional<std::string> m_connUser;
    std::optional<std::string> m_connHost;
    std::string m_lastError;

    mutable std::mutex m_runMutex;  // one launch thread per tunnel
    bool m_threadAlive = false;
    // Launch-thread-only state of the current run.
    std::string m_partialLine;
    std::string m_runError;
};
