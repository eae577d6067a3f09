// The stored form of 1,000 tunnels written atomically through Defaults.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BenchKit.h"
#include "Defaults.h"
#include "Tunnel.h"

int main() {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    TunnelList tunnels;
    for (int i = 0; i < 1000; ++i) {
        auto t = Tunnel::create("tunnel " + std::to_string(i));
        t->setValueForKey(Value("host" + std::to_string(i) + ".example.org"), "connHost");
        t->setValueForKey(Value("user"), "connUser");
        t->setValueForKey(Value("2222"), "connPort");
        t->addLocalTunnel({{"port", std::to_string(8000 + i)}, {"host", "imap"}, {"hostport", "143"}});
        t->addLocalTunnel({{"port", std::to_string(9000 + i)}, {"host", "smtp"}, {"hostport", "25"}});
        t->addRemoteTunnel({{"port", "8080"}, {"host", "localhost"}});
        tunnels.push_back(t);
    }
    Defaults defaults(Defaults::standardPath());
    std::vector<double> ms, formMs;
    for (int round = 0; round < 51; ++round) {
        const auto start = BenchKit::monotonicNs();
        Value::List stored;
        stored.reserve(tunnels.size());
        for (const auto& t : tunnels) stored.push_back(t->dictionary());
        const auto formed = BenchKit::monotonicNs();
        if (!defaults.setObjectForKey(Value(std::move(stored)), "tunnels")) return 1;
        if (round == 0) continue;  // the first write makes the folder and the file
        ms.push_back(static_cast<double>(BenchKit::monotonicNs() - start) / 1e6);
        formMs.push_back(static_cast<double>(formed - start) / 1e6);
    }
    struct stat st {};
    stat(defaults.path().c_str(), &st);
    std::printf("save: 1000 tunnels, %lld bytes, %zu writes (temporary file, fsync, rename)\n",
                static_cast<long long>(st.st_size), ms.size());
    BenchKit::report("save 1000 tunnels, median", BenchKit::percentile(ms, 50), "ms", 20);
    BenchKit::report("save 1000 tunnels, p90", BenchKit::percentile(ms, 90), "ms", 1e9);
    BenchKit::report("  of which the stored form, median", BenchKit::percentile(formMs, 50), "ms", 1e9);
    return 0;
}
