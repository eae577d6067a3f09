// The tunnel as a record: construction, stored form, forward lists, access by name, icon, the
// ssh command line, and what its output handler makes of ssh's lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Bundle.h"
#include "Defaults.h"
#include "FakeSsh.h"
#include "Log.h"
#include "ProcessProbe.h"
#include "SshConfig.h"
#include "SshOutputParser.h"
#include "StatusRecorder.h"
#include "TempDir.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "TunnelLog.h"
#include "TunnelStore.h"
#include "Wait.h"

using Args = std::vector<std::string>;

void PrintTo(const Value& v, std::ostream* os) { *os << v.dump(); }

namespace {
// The first entries of a stored form, as many as like has: what was read comes first, as read
// (flags that were missing are written after it).
Value leading(const Value& stored, const Value& like) {
    if (stored.isList()) {
        Value::List out;
        for (size_t i = 0; i < stored.list().size() && i < like.list().size(); ++i)
            out.push_back(leading(stored.list()[i], like.list()[i]));
        return Value(std::move(out));
    }
    if (!stored.isDictionary()) return stored;
    const auto& d = stored.dict();
    return Value(Value::Dictionary(d.begin(), d.begin() + std::min(d.size(), like.dict().size())));
}
}  // namespace

namespace {

std::string text(const std::string& key) { return Bundle::main().localizedString(key); }

std::vector<std::string> keysOf(const Value& d) {
    std::vector<std::string> keys;
    for (const auto& kv : d.dict()) keys.push_back(kv.first);
    std::sort(keys.begin(), keys.end());
    return keys;
}

const std::vector<std::string> kStoredKeys = {"autoConnect", "compression", "connAuth",     "connHost",      "connName",
                                              "connPort",    "connRemote",  "connUser",     "encryption",    "onDemand",
                                              "socks4",      "socks4p",     "tunnelsLocal", "tunnelsRemote", "v1"};

// Log lines, from any thread, while the object lives.
struct LogCapture {
    std::mutex mutex;
    std::vector<std::string> lines;
    LogCapture() {
        Log::setSink([this](const std::string& l) {
            std::lock_guard lock(mutex);
            lines.push_back(l);
        });
    }
    ~LogCapture() { Log::setSink({}); }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

TunnelPtr tunnelWith(const Value::Dictionary& settings) {
    auto t = Tunnel::create("t");
    for (const auto& [k, v] : settings) t->setValueForKey(v, k);
    return t;
}

}  // namespace

TEST(TunnelRecord, NewTunnelAndItsStoredForm) {
    for (const char* key :
         {"S_IDLE", "S_CONNECTING", "S_AUTH", "S_CONNECTED", "T_START", "T_STOP", "SHMENU_HIDE", "SHMENU_SHOW"})
        EXPECT_NE(text(key), key) << key;  // the resources hold a text for each
    auto t = Tunnel::create();
    Value d = t->dictionary();
    EXPECT_EQ(keysOf(d), kStoredKeys);
    EXPECT_EQ(d.get("connName"), Value("New Tunnel"));
    EXPECT_EQ(d.get("autoConnect"), Value(false));
    EXPECT_EQ(d.get("connAuth"), Value(true));
    EXPECT_EQ(d.get("socks4p"), Value(1080));
    EXPECT_EQ(d.get("encryption"), Value(""));  // automatic: ssh negotiates
    EXPECT_EQ(d.get("tunnelsLocal"), Value(Value::List{}));
    EXPECT_EQ(t->run().code(), 0);
    EXPECT_EQ(t->run().status(), text("S_IDLE"));
    EXPECT_FALSE(t->run().isActive());
}

TEST(TunnelRecord, StoredFormRoundTripsThroughDefaults) {
    auto t = tunnelWith({{"connHost", "example.org"},
                         {"connUser", "me"},
                         {"connPort", "2222"},
                         {"socks4", true},
                         {"socks4p", 9050},
                         {"compression", true},
                         {"encryption", "aes256-ctr"}});
    t->addLocalTunnel({{"port", "8143"}, {"host", "imap"}, {"note", "kept"}});
    t->addRemoteTunnel({{"port", "9000"}});
    testsupport::TempDir dir;
    {
        Defaults store(dir.file("defaults.json"));
        ASSERT_TRUE(store.setObjectForKey(Value(Value::List{t->dictionary()}), "tunnels"));
    }
    auto loaded = Tunnel::tunnelsFromArray(Defaults(dir.file("defaults.json")).objectForKey("tunnels"));
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->dictionary(), t->dictionary());
    EXPECT_EQ(loaded[0]->valueForKey("connPort").type(), Value::Type::Text);
    EXPECT_EQ(loaded[0]->valueForKey("socks4p").type(), Value::Type::Integer);
    EXPECT_EQ(loaded[0]->command().arguments(), t->command().arguments());
    EXPECT_EQ(loaded[0]->run().code(), 0);
    EXPECT_FALSE(loaded[0]->run().isActive());
}

TEST(TunnelRecord, StoredDictionaryWithMissingExtraAndRuntimeKeys) {
    LogCapture log;
    auto t = Tunnel::tunnelFromDictionary(
        Value::dictionary({{"connName", "old"}, {"bogus", 1}, {"code", 2}, {"connHost", "h"}}));
    EXPECT_EQ(log.snapshot(),
              std::vector<std::string>{"Tunnel \"old\": kept the keys this version does not use: bogus"});
    EXPECT_EQ(t->connName(), "old");
    EXPECT_EQ(t->valueForKey("connHost"), Value("h"));  // applied after the unknown key
    EXPECT_EQ(t->run().code(), 0);
    EXPECT_FALSE(t->valueForKey("connAuth").boolValue());  // missing flag: off, not the new-tunnel on
    EXPECT_TRUE(t->valueForKey("encryption").isNone());
    EXPECT_TRUE(t->valueForKey("tunnelsLocal").isNone());
    EXPECT_EQ(keysOf(t->dictionary()),
              (std::vector<std::string>{"autoConnect", "bogus", "compression", "connAuth", "connHost", "connName",
                                        "connRemote", "onDemand", "socks4", "v1"}));
    EXPECT_EQ(t->command().arguments().back(), "h");  // unset lists act as empty

    // Values stored with another type than ours are taken where the meaning is plain.
    auto odd = Tunnel::tunnelFromDictionary(Value::dictionary(
        {{"connPort", 2222}, {"tunnelsLocal", Value::List{Value::dictionary({{"port", 80}, {"host", "w"}})}}}));
    EXPECT_EQ(odd->valueForKey("connPort"), Value("2222"));
    EXPECT_EQ(odd->command().arguments().back(), "80:w:80");
    EXPECT_EQ(odd->dictionary().get("connPort"), Value(2222));  // unchanged, so written as it was read

    EXPECT_TRUE(Tunnel::tunnelsFromArray(Value()).empty());
    EXPECT_TRUE(Tunnel::tunnelsFromArray(Value(Value::List{})).empty());
    auto three = Tunnel::tunnelsFromArray(
        Value(Value::List{Value::dictionary({{"connName", "a"}}), Value::dictionary({{"connName", "b"}}),
                          Value::dictionary({{"connName", "c"}})}));
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0]->connName() + three[1]->connName() + three[2]->connName(), "abc");
}

TEST(TunnelRecord, HandWrittenValuesAreReadAsMeantAndKeptUntilChanged) {
    LogCapture log;
    const Value forward = Value::dictionary(
        {{"port", 8080}, {"host", "h"}, {"hostport", 80}, {"pinned", true}, {"meta", Value::dictionary({{"a", 1}})}});
    const Value stored = Value::dictionary({{"connName", "t"},
                                            {"connHost", "h"},
                                            {"socks4", "yes"},
                                            {"socks4p", "1080"},
                                            {"keepAlive", " 30 "},
                                            {"compression", "maybe"},
                                            {"tunnelsLocal", Value::List{forward}},
                                            {"future", Value::List{1, "two"}}});
    auto t = Tunnel::tunnelFromDictionary(stored);
    EXPECT_EQ(log.snapshot(), (std::vector<std::string>{
                                  "Tunnel \"t\": compression holds \"maybe\", not true or false; the value is kept in "
                                  "the file and not used",
                                  "Tunnel \"t\": kept the keys this version does not use: future"}));
    const TunnelSettings s = t->settings();
    EXPECT_TRUE(s.socks4);
    EXPECT_EQ(s.socks4p, 1080);
    EXPECT_EQ(s.keepAlive, 30);
    EXPECT_FALSE(s.compression);
    const Args args = t->command().arguments();
    EXPECT_NE(std::find(args.begin(), args.end(), "1080"), args.end());
    EXPECT_NE(std::find(args.begin(), args.end(), "ServerAliveInterval=30"), args.end());
    EXPECT_EQ(leading(t->dictionary(), stored), stored);  // nothing changed, nothing rewritten

    // Changed values are written in our type; what was not changed stays as it was.
    t->setValueForKey(Value(1081), "socks4p");
    t->setValueForKey(Value(true), "socks4");  // the same meaning: "yes" stays
    t->setLocalValueOfTunnelForKey("81", 0, "hostport");
    t->setLocalValueOfTunnelForKey("x", 0, "bind");
    const Value saved = t->dictionary();
    EXPECT_EQ(saved.get("socks4p"), Value(1081));
    EXPECT_EQ(saved.get("socks4"), Value("yes"));
    EXPECT_EQ(saved.get("compression"), Value("maybe"));
    EXPECT_EQ(saved.get("future"), stored.get("future"));
    EXPECT_EQ(saved.get("tunnelsLocal"), Value(Value::List{forward.with("hostport", 81).with("bind", "x")}));

    // Entries that are no tunnel keep their place; one whose tunnel went moves to the end.
    TunnelStore store;
    const Value::List file{"junk", Value::dictionary({{"connName", "a"}}), 5, Value(),
                           Value::dictionary({{"connName", "b"}})};
    store.load(Value(file));
    ASSERT_EQ(store.size(), 2u);
    EXPECT_EQ(leading(store.storedForm(), Value(file)), Value(file));
    store.remove(0);
    const Value left(Value::List{"junk", file[4], 5, Value()});
    EXPECT_EQ(leading(store.storedForm(), left), left);
}

TEST(TunnelRecord, LoadingStartsNothingAndTheOwnerStartsTheAutoConnectOnesOnce) {
    SshCommand::setSshProgram("/nonexistent/zandrel-ssh");  // each start ends at once, without a pause
    LogCapture log;
    auto count = [&](const std::string& name) {
        auto lines = log.snapshot();
        return std::count(lines.begin(), lines.end(), Log::format(text("T_START"), name));
    };
    TunnelStore store;
    store.load(Value(Value::List{Value::dictionary({{"connName", "auto"}, {"connHost", "h"}, {"autoConnect", true}}),
                                 Value::dictionary({{"connName", "nohost"}, {"autoConnect", true}}),
                                 Value::dictionary({{"connName", "manual"}, {"autoConnect", false}}),
                                 Value::dictionary({{"connName", "plain"}})}));
    ASSERT_EQ(store.size(), 4u);
    for (const auto& t : store.tunnels()) EXPECT_FALSE(t->run().isActive()) << t->connName();
    store.startAutoConnect();
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(std::chrono::seconds(5)));
    SshCommand::setSshProgram("/usr/bin/ssh");
    EXPECT_EQ(count("auto"), 1);
    EXPECT_EQ(count("manual") + count("plain") + count("nohost"), 0);
    EXPECT_EQ(store.named("nohost")->run().lastError(), SshCommand::kNoHost);
    EXPECT_NE(store.named("auto")->run().lastError().find("/nonexistent/zandrel-ssh"), std::string::npos);
    EXPECT_TRUE(store.named("manual")->run().lastError().empty());
}

TEST(TunnelRecord, KeyAccessByName) {
    auto t = Tunnel::create("n");
    const Value before = t->dictionary();
    {
        LogCapture log;
        EXPECT_TRUE(t->valueForKey("nosuchfield").isNone());
        EXPECT_TRUE(log.snapshot().empty());
        t->setValueForKey(Value("x"), "nosuchfield");
        EXPECT_EQ(log.snapshot(), std::vector<std::string>{"key nosuchfield undefined"});
    }
    EXPECT_EQ(t->dictionary(), before);
    t->setValueForKey(Value(2), "compression");  // nonzero number: on
    EXPECT_TRUE(t->valueForKey("compression").boolValue());
    t->setValueForKey(Value("Shown"), "status");
    EXPECT_EQ(t->valueForKey("status"), Value("Shown"));
    t->setValueForKey(Value(), "status");  // cleared: the idle text again
    EXPECT_EQ(t->valueForKey("status"), Value(text("S_IDLE")));
    t->setValueForKey(Value(), "encryption");
    Value d = t->dictionary();
    EXPECT_FALSE(d.has("encryption"));
    EXPECT_EQ(d.dict().size(), 14u);
    t->setValueForKey(Value(2), "code");  // the state follows from the run alone
    EXPECT_EQ(t->run().code(), 0);
    for (auto [code, icon] : std::vector<std::pair<int, std::string>>{
             {0, "offState"}, {1, "middleState"}, {2, "onState"}, {3, "onState"}, {4, "offState"}, {-1, "offState"}})
        EXPECT_EQ(TunnelRun::iconForCode(code), icon) << code;
}

TEST(TunnelRecord, ForwardListsAreReplacedNeverChangedInPlace) {
    auto t = Tunnel::create();
    t->addLocalTunnel({{"port", "1"}, {"host", "a"}});
    t->addLocalTunnel({{"port", "2"}, {"host", "b"}});
    auto snapshot = t->tunnelsLocal();
    t->setLocalValueOfTunnelForKey("25", 0, "hostport");
    EXPECT_EQ(snapshot->at(0).count("hostport"), 0u);  // the old list still shows the old entry
    EXPECT_EQ(t->tunnelsLocal()->at(0), (ForwardEntry{{"port", "1"}, {"host", "a"}, {"hostport", "25"}}));
    EXPECT_EQ(t->tunnelsLocal()->at(1), snapshot->at(1));

    t->removeLocal(0);
    EXPECT_EQ(*t->tunnelsLocal(), ForwardList{snapshot->at(1)});
    EXPECT_EQ(snapshot->size(), 2u);

    t->addRemoteTunnel({{"port", "9"}});
    t->setRemoteValueOfTunnelForKey("r", 0, "host");
    EXPECT_EQ(t->tunnelsRemote()->at(0), (ForwardEntry{{"port", "9"}, {"host", "r"}}));
    t->removeRemote(0);
    EXPECT_TRUE(t->tunnelsRemote()->empty());
}

namespace {
// In every command: the forced options before all others, then the rest.
Args forcedFirst(const Args& rest) {
    Args a{"-N", "-v"};
    for (const auto& f : SshCommand::forcedOptions()) a.insert(a.end(), {"-o", f.option});
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
}
// before: "-N", "-v" and the tunnel's own arguments; the default keep-alive follows them.
Args withFixed(const Args& before, const Args& after) {
    Args rest(before.begin() + 2, before.end());
    rest.insert(rest.end(), {"-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=3"});
    rest.insert(rest.end(), after.begin(), after.end());
    return forcedFirst(rest);
}
}  // namespace

TEST(CommandLine, OptionsInOrderAndDisplayForm) {
    struct Case {
        Value::Dictionary settings;
        Args expected;
    };
    const Case cases[] = {
        // No user, no port: ssh takes them from ssh_config, so a host alias works whole.
        {{{"connHost", "H"}}, withFixed({"-N", "-v"}, {"H"})},
        {{{"connHost", "H"}, {"connPort", Value()}, {"connUser", Value()}}, withFixed({"-N", "-v"}, {"H"})},
        {{{"connHost", "H"}, {"connPort", "not a number"}}, withFixed({"-N", "-v", "-p", "not a number"}, {"H"})},
        {{{"connRemote", true}, {"compression", true}, {"v1", true}, {"connHost", "H"}},
         withFixed({"-N", "-v", "-g", "-C", "-1"}, {"H"})},
        {{{"v1", true}, {"encryption", "aes128-ctr"}, {"socks4", true}, {"connUser", "U"}, {"connHost", "H"}},
         withFixed({"-N", "-v", "-1", "-c", "aes128-ctr"}, {"-D", "1080", "U@H"})},
        {{{"socks4", true}, {"socks4p", 0}, {"connHost", "H"}}, withFixed({"-N", "-v"}, {"-D", "0", "H"})},
        {{{"socks4", true}, {"socks4p", Value()}, {"connHost", "H"}}, withFixed({"-N", "-v"}, {"H"})},
        {{{"socks4", false}, {"socks4p", 1080}, {"connHost", "H"}}, withFixed({"-N", "-v"}, {"H"})},
        {{{"connUser", "U"}}, withFixed({"-N", "-v"}, {"U@"})},
        {{{"keepAlive", 0}, {"connHost", "H"}}, forcedFirst({"H"})},
        {{{"identityFile", "/k/id"}, {"jumpHosts", "u@b:2222,c"}, {"connHost", "H"}},
         withFixed({"-N", "-v", "-i", "/k/id", "-J", "u@b:2222,c"}, {"H"})},
        // The tunnel's own options come before the keep-alive, so that they win over it; one that
        // would undo a forced option (a hand-written file) is left out.
        {{{"sshOptions", Value::List{"ServerAliveInterval=30", "", "ControlMaster=auto", "controlpersist 10m"}},
          {"connHost", "H"}},
         withFixed({"-N", "-v", "-o", "ServerAliveInterval=30"}, {"H"})},
        {{{"socks4", true}, {"socks4b", "::1"}, {"connHost", "H"}}, withFixed({"-N", "-v"}, {"-D", "[::1]:1080", "H"})},
        {{{"socks4", true}, {"socks4b", "127.0.0.3"}, {"connHost", "H"}},
         withFixed({"-N", "-v"}, {"-D", "127.0.0.3:1080", "H"})},
        {{{"keepAlive", 5}, {"connHost", "H"}},
         forcedFirst({"-o", "ServerAliveInterval=5", "-o", "ServerAliveCountMax=3", "H"})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tunnelWith(c.settings)->command().arguments(), c.expected) << Value(c.settings).dump();
    // Protocol-1 ciphers, empty and unset: no "-c", ssh negotiates.
    for (const Value& cipher : {Value("3des"), Value("blowfish"), Value("des"), Value(""), Value()})
        EXPECT_EQ(tunnelWith({{"encryption", cipher}, {"connHost", "H"}})->command().arguments(),
                  withFixed({"-N", "-v"}, {"H"}))
            << cipher.dump();

    setenv("HOME", "/home/u", 1);
    const Args withKey = tunnelWith({{"identityFile", "~/.ssh/work"}})->command().arguments();
    EXPECT_EQ(*(std::find(withKey.begin(), withKey.end(), "-i") + 1), "/home/u/.ssh/work");
    for (const char* key : {"identityFile", "jumpHosts", "sshOptions", "socks4b"})
        EXPECT_TRUE(Tunnel::create()->valueForKey(key).isNone()) << key;  // missing: the default
    // A new tunnel has no host yet: nothing to connect to, nothing written for it.
    EXPECT_EQ(Tunnel::create()->command().arguments(), withFixed({"-N", "-v"}, {}));
    auto u = tunnelWith({{"connPort", "443"}, {"connUser", "U"}, {"connHost", "H"}, {"compression", true}});
    std::string forced;
    for (const auto& f : SshCommand::forcedOptions()) forced += std::string(" -o ") + f.option;
    EXPECT_EQ(SshCommand::displayCommand(u->command().arguments()),
              "ssh -N" + forced + " -p 443 -C -o ServerAliveInterval=15 -o ServerAliveCountMax=3 U@H");
}

TEST(CommandLine, JumpHostsAreCheckedAsSshWouldRead) {
    for (const char* good : {"bastion", "u@bastion", "u@bastion:2222", "a,b:22,c@d", "[::1]:22", "u@[fe80::1]"})
        EXPECT_EQ(SshCommand::jumpHostsError(good), "") << good;
    for (const char* bad : {"", "a,,b", "@host", "host:", "host:0", "host:x", "host:70000", "::1", "[::1", "[::1]x",
                            "a b", "-oProxyCommand=x"})
        EXPECT_NE(SshCommand::jumpHostsError(bad), "") << bad;
}

TEST(CommandLine, ServerKeyNamesTheFirstHostSshConnectsTo) {
    const std::pair<Value::Dictionary, std::string> cases[] = {
        {{{"connHost", "Alias"}}, "alias:22"},  // a config alias by its name; the default port made plain
        {{{"connHost", "::1"}, {"connPort", "2222"}}, "[::1]:2222"},
        {{{"connHost", "h"}, {"jumpHosts", "u@Bastion:2222,c"}}, "bastion:2222"},
        {{{"connHost", "h"}, {"connPort", "2200"}, {"jumpHosts", "bastion"}}, "bastion:22"},
        {{{"connHost", "h"}, {"jumpHosts", "u@[fe80::1]:23,x"}}, "[fe80::1]:23"},
    };
    for (const auto& [settings, key] : cases)
        EXPECT_EQ(tunnelWith(settings)->command().serverKey(), key) << Value(settings).dump();
}

TEST(CommandLine, Forwards) {
    auto t = tunnelWith({{"connUser", "U"}, {"connHost", "H"}});
    t->addRemoteTunnel({{"port", "8080"}, {"host", "localhost"}, {"hostport", "80"}});  // added first in time
    t->addLocalTunnel({{"port", "143"}, {"host", "imap"}, {"hostport", ""}});
    t->addLocalTunnel({{"port", "25"}, {"host", "smtp"}});
    t->addLocalTunnel({{"port", "993"}, {"host", "imap"}, {"hostport", "1993"}});
    t->addLocalTunnel({{"port", "53"}, {"host", "::1"}});
    t->addLocalTunnel({{"port", "54"}, {"host", "[fe80::1]"}, {"hostport", "5"}});
    t->addLocalTunnel({{"bind", "127.0.0.3"}, {"port", "5432"}, {"host", "db"}});
    t->addLocalTunnel({{"bind", "::1"}, {"port", "5433"}, {"host", "db"}, {"hostport", "5432"}});
    // Incomplete entries (a new row whose cells were left empty) would make ssh refuse everything.
    t->addLocalTunnel({{"host", "nohost-port"}});
    t->addLocalTunnel({{"port", "1"}, {"host", ""}});
    t->addLocalTunnel({});
    t->addRemoteTunnel({{"port", ""}, {"host", "x"}});
    EXPECT_EQ(t->command().arguments(),
              withFixed({"-N", "-v"}, {"U@H", "-L", "143:imap:143", "-L", "25:smtp:25", "-L", "993:imap:1993", "-L",
                                       "53:[::1]:53", "-L", "54:[fe80::1]:5", "-L", "127.0.0.3:5432:db:5432", "-L",
                                       "[::1]:5433:db:5432", "-R", "8080:localhost:80"}));

    // Ports Zandrel holds: ssh's ends listen on its sockets and a loopback port; -g stays Zandrel's.
    t->setValueForKey(Value(true), "connRemote");
    t->setValueForKey(Value(true), "socks4");
    t->setValueForKey(Value(std::int64_t{1080}), "socks4p");
    HeldEndpoints held{{"/run/h/0.sock", "", "", "", "", "", "/run/h/6.sock"}, 41080};
    EXPECT_EQ(SshCommand(t->settings(), held).arguments(), withFixed({"-N", "-v"}, {"-o",
                                                                                    "StreamLocalBindUnlink=yes",
                                                                                    "-D",
                                                                                    "127.0.0.1:41080",
                                                                                    "U@H",
                                                                                    "-L",
                                                                                    "/run/h/0.sock:imap:143",
                                                                                    "-L",
                                                                                    "25:smtp:25",
                                                                                    "-L",
                                                                                    "993:imap:1993",
                                                                                    "-L",
                                                                                    "53:[::1]:53",
                                                                                    "-L",
                                                                                    "54:[fe80::1]:5",
                                                                                    "-L",
                                                                                    "127.0.0.3:5432:db:5432",
                                                                                    "-L",
                                                                                    "/run/h/6.sock:db:5432",
                                                                                    "-R",
                                                                                    "8080:localhost:80"}));
}

// The output handler, fed directly while a silent stand-in for ssh runs: one notification per
// line piece, status and phase as the lines say.
class OutputHandler : public ::testing::Test {
protected:
    void SetUp() override {
        SshCommand::setSshProgram(fake.script("ssh", "exec sleep 1000"));
        t->setValueForKey(Value("h"), "connHost");
        t->run().start();
        // The launch's own notification comes after ssh runs; what is fed starts after it.
        ASSERT_TRUE(rec.waitFor([](const auto& es) { return !es.empty(); }, std::chrono::seconds(5)));
        ASSERT_TRUE(t->run().isRunning());
        rec.clear();
    }
    void TearDown() override {
        t->run().stop();
        EXPECT_TRUE(TunnelDriver::waitUntilIdle(std::chrono::seconds(5)));
        SshCommand::setSshProgram("/usr/bin/ssh");
    }
    FakeSsh fake;
    TunnelPtr t = Tunnel::create("parse");
    StatusRecorder rec{*t};
    bool feed(const std::string& chunk) { return t->run().stdErr(chunk.data(), chunk.size()); }
};

TEST_F(OutputHandler, LinesOfOneChunk) {
    EXPECT_TRUE(feed("debug1: Authentication succeeded (publickey).\ndebug1: Entering interactive session.\n"));
    EXPECT_EQ(t->run().status(), text("S_CONNECTED"));
    EXPECT_EQ(t->run().code(), 2);
    EXPECT_EQ(rec.statuses(), (Args{text("S_CONNECTED")}));          // one notice for the chunk
    feed("Entering interactive session. Authentication succeeded");  // each phrase acts; the last wins
    EXPECT_EQ(t->run().status(), text("S_AUTH"));
    EXPECT_EQ(t->run().code(), 2);
    EXPECT_EQ(rec.count(), 2u);
    feed("debug1: channel 3: free: port listener, nchannels 2\n");  // changes nothing: no notice
    EXPECT_EQ(rec.count(), 2u);
}

TEST_F(OutputHandler, ForwardedPortsOldAndNewPhrases) {
    feed("Connections to local port 143 forwarded\nConnections to local port 993 forwarded");
    EXPECT_EQ(rec.statuses(), (Args{"Port 993  forwarded"}));
    rec.clear();
    feed(
        "debug1: Local connections to LOCALHOST:8143 forwarded to remote address 127.0.0.1:22\n"
        "debug1: Local connections to [::1]:8144 forwarded to remote address imap:143\n"
        "Connections to local port forwarded\n"                     // no port text: status kept
        "debug1: Local connections to LOCALHOST:8145 are open\n");  // not a forwarded line
    EXPECT_EQ(rec.statuses(), (Args{"Port 8144 forwarded"}));
    feed("Authenticated to 127.0.0.1 ([127.0.0.1]:2222) using \"publickey\".\r\n");
    EXPECT_EQ(t->run().status(), text("S_AUTH"));
    EXPECT_EQ(t->run().code(), 1);
}

TEST_F(OutputHandler, CaseSplitsAndEndOfFile) {
    feed("entering interactive session.\nAUTHENTICATION SUCCEEDED\n");
    feed("debug1: Entering inter");
    feed("active session.\n");
    EXPECT_EQ(t->run().status(), text("S_CONNECTING"));
    EXPECT_EQ(t->run().code(), 1);
    EXPECT_EQ(rec.count(), 0u);  // nothing matched: nothing announced
    EXPECT_FALSE(t->run().stdErr("", 0));
    EXPECT_EQ(rec.count(), 0u);
}

TEST_F(OutputHandler, RemoteForwardsMustBeAnsweredAndAForwardThatCannotListenEndsTheRun) {
    // ssh enters its session before the server has answered the remote forwards.
    feed("debug1: ssh_init_forwarding: expecting replies for 1 forwards\ndebug1: Entering interactive session.\n");
    EXPECT_EQ(t->run().code(), 1);
    // A jump host's ssh enters its own session first.
    feed("debug1: channel_connect_stdio_fwd: 10.0.0.5:22\ndebug1: Entering interactive session.\n");
    EXPECT_EQ(t->run().code(), 1);
    feed(
        "debug1: remote forward success for: listen 9001, connect 127.0.0.1:22\n"
        "debug1: forwarding_success: all expected forwarding replies received\n");
    EXPECT_EQ(t->run().code(), 2);
    EXPECT_EQ(t->run().status(), text("S_CONNECTED"));
}

TEST_F(OutputHandler, LocalPortTakenOnOneAddressFailsTheRunAndNamesThePort) {
    // As ssh says it, on its own standard error: it goes on listening on ::1.
    SshCommand::setSshProgram(fake.script("taken", R"sh(
echo "debug1: Local forwarding listening on ::1 port 8143." >&2
echo "bind [127.0.0.1]:8143: Address already in use" >&2
echo "debug1: Entering interactive session." >&2
echo "something later" >&2
exec sleep 1000)sh"));
    auto taken = Tunnel::create("taken");
    taken->setValueForKey(Value("h"), "connHost");
    StatusRecorder seen(*taken);
    taken->run().start();
    EXPECT_TRUE(seen.waitFor([&](const auto&) { return taken->run().state() == TunnelState::RetryWaiting; },
                             std::chrono::seconds(5)));         // ssh was ended
    for (const auto& e : seen.entries()) EXPECT_NE(e.code, 2);  // never connected
    EXPECT_EQ(taken->run().lastError(), "bind [127.0.0.1]:8143: Address already in use");
    taken->run().stop();
}

TEST_F(OutputHandler, ForwardsSshSetsUpBeyondTheTunnelsOwnAreListedFromSshConfig) {
    // ssh's lines for the command line's forwards, then for those of a config, as OpenSSH 9.2 says them.
    SshCommand::setSshProgram(fake.script("configured", R"sh(for f in LOCALHOST:8143/db:5432 ::1:8144/h:8144 \
    LOCALHOST:9999/127.0.0.1:22 127.0.0.1:1082/socks:0 ::1:9997/::1:22; do
  echo "debug1: Local connections to ${f%/*} forwarded to remote address ${f#*/}" >&2
done
echo "debug1: Entering interactive session." >&2
exec sleep 1000)sh"));
    auto c = tunnelWith({{"connHost", "h"}});
    c->addLocalTunnel({{"port", "8143"}, {"host", "db"}, {"hostport", "5432"}});
    c->addLocalTunnel({{"bind", "[::1]"}, {"port", "8144"}, {"host", "h"}});
    const Args own = {"localhost:8143 → db:5432", "[::1]:8144 → h:8144"};
    c->run().start();
    ASSERT_TRUE(testsupport::waitUntil([&] { return c->run().isConnected(); }, std::chrono::seconds(5)));
    Args all = own;
    for (const char* added : {"localhost:9999 → 127.0.0.1:22", "127.0.0.1:1082 (SOCKS)", "[::1]:9997 → [::1]:22"})
        all.push_back(added + std::string(Tunnel::kFromSshConfig));
    EXPECT_EQ(c->listeningAddresses(), all);
    c->run().stop();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !c->run().isActive(); }, std::chrono::seconds(5)));
    EXPECT_EQ(c->listeningAddresses(), own);
}

TEST_F(OutputHandler, ClosedByRemoteStopsReadingAfterTheChunk) {
    // This ssh outlives the terminate signal to say more; none of it may be read.
    SshCommand::setSshProgram(fake.script("closing", R"sh(
trap '' TERM
printf 'Connection to h closed by remote host.\nAuthenticated to h ([1.2.3.4]:22).\n' >&2
sleep 0.3
echo "debug1: Entering interactive session." >&2
exit 255)sh"));
    auto closing = Tunnel::create("closing");
    closing->setValueForKey(Value("h"), "connHost");
    StatusRecorder seen(*closing);
    closing->run().start();
    ASSERT_TRUE(seen.waitFor([&](const auto&) { return closing->run().state() == TunnelState::RetryWaiting; },
                             std::chrono::seconds(5)));
    // The lines after it in the same chunk were still tested (the chunk ends "Authenticated");
    // nothing after the chunk was.
    const auto statuses = seen.distinctStatuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), text("S_AUTH")), statuses.end())
        << ::testing::PrintToString(statuses);
    for (const auto& e : seen.entries()) EXPECT_NE(e.code, 2);
    closing->run().stop();
}

TEST(LastError, WhichLinesCount) {
    for (const char* line :
         {"ssh: connect to host h port 22: Connection refused", "Permission denied (publickey).",
          "Bad local forwarding specification '8143/127.0.0.1/22'", "SSH protocol v.1 is no longer supported",
          "Unknown cipher type '3des'", "Connection to 127.0.0.1 closed by remote host."})
        EXPECT_TRUE(SshOutputParser::isReportable(line)) << line;
    for (const char* line :
         {"debug1: Reading configuration data /etc/ssh/ssh_config", "", "\r",
          "Authenticated to h ([127.0.0.1]:2222) using \"publickey\".",
          "Transferred: sent 2, received 3 bytes, in 0.1 seconds", "Bytes per second: sent 20.1, received 30.2",
          "Warning: Permanently added '[127.0.0.1]:2222' (ED25519) to the list of known hosts.",
          "           [-w local_tun[:remote_tun]] destination [command [argument ...]]"})
        EXPECT_FALSE(SshOutputParser::isReportable(line)) << line;
    EXPECT_EQ(SshOutputParser::reportText("usage: ssh [-46AaCfGgKkMNnqsTtVvXxYy] [-B bind_interface]"),
              "ssh refused its command line (see the log)");
    for (const char* line : {"bind [127.0.0.1]:8143: Address already in use", "bind [::1]:8143: Address already in use",
                             "Error: remote port forwarding failed for listen port 9002"})
        EXPECT_TRUE(SshOutputParser::isForwardFailure(line)) << line;
    // No IPv6 on the machine is no failure: ssh listens on IPv4.
    for (const char* line : {"bind [::1]:8143: Cannot assign requested address", "debug1: bind port 8143"})
        EXPECT_FALSE(SshOutputParser::isForwardFailure(line)) << line;
    EXPECT_EQ(SshOutputParser::reportText("root@127.0.0.1: Permission denied (publickey,password)."),
              "Permission denied (publickey,password).");
    EXPECT_EQ(SshOutputParser::reportText("ssh: connect to host h port 22: Connection refused"),
              "ssh: connect to host h port 22: Connection refused");
    EXPECT_EQ(SshOutputParser::reportText("a b@c: Permission denied"), "a b@c: Permission denied");
}

// Lines of OpenSSH 9.2's ssh -v through local, dynamic and remote forwards to a loopback sshd.
TEST(LastError, PerConnectionLinesAreTheForwardsNotTheLogins) {
    struct Case {
        const char* line;
        bool perConnection;
    };
    const Case cases[] = {
        {"debug1: Connection to port 2301 forwarding to 127.0.0.1 port 2300 requested.", true},
        {"debug1: channel 6: new direct-tcpip [direct-tcpip] (inactive timeout: 0)", true},
        {"channel 7: open failed: connect failed: Connection refused", true},
        {"debug1: channel 6: free: direct-tcpip: listening port 2301 for 127.0.0.1 port 2300, connect from "
         "127.0.0.1 port 57166 to 127.0.0.1 port 2301, nchannels 8",
         true},
        {"debug1: Connection to port 2303 forwarding to socks port 0 requested.", true},
        {"debug1: channel 6: new dynamic-tcpip [dynamic-tcpip] (inactive timeout: 0)", true},
        {"debug1: client_input_channel_open: ctype forwarded-tcpip rchan 3 win 2097152 max 32768", true},
        {"debug1: client_request_forwarded_tcpip: listen localhost port 2304, originator 127.0.0.1 port 32884", true},
        {"debug1: connect_next: start for host 127.0.0.1 ([127.0.0.1]:2300)", true},
        {"debug1: channel 7: new forwarded-tcpip [127.0.0.1] (inactive timeout: 0)", true},
        {"debug1: confirm forwarded-tcpip", true},
        {"debug1: channel 7: connected to 127.0.0.1 port 2300", true},
        {"debug1: channel 0: connection failed: Connection refused", true},
        {"connect_to 127.0.0.1 port 2309: failed.", true},
        {"debug1: channel 7: free: 127.0.0.1, nchannels 7", true},
        {"debug1: channel 0: new port-listener [port listener] (inactive timeout: 0)", false},
        {"debug1: channel 0: free: port listener, nchannels 6", false},
        {"debug1: channel 0: new session [client-session] (inactive timeout: 0)", false},
        {"debug1: channel 0: free: client-session, nchannels 1", false},
        {"debug1: Local forwarding listening on 127.0.0.1 port 2301.", false},
        {"debug1: remote forward success for: listen 2304, connect 127.0.0.1:2300", false},
        {"debug1: Entering interactive session.", false},
        {"root@127.0.0.1: Permission denied (publickey).", false},
        {"debug1: channel : new direct-tcpip", false},
        {"channel 7", false},
        {"", false}};
    for (const Case& c : cases) EXPECT_EQ(SshOutputParser::isPerConnection(c.line), c.perConnection) << c.line;
}

// A failed run, a login, then 2,000 connections through one forward: the runs' lines stay, the
// connection lines that did not fit are counted where they were, and the bytes stay bounded.
TEST(RunLog, ConnectionLinesNeverPushOutTheLoginOrAFailure) {
    TunnelLog log;
    const std::vector<std::string> runs = {
        "root@127.0.0.1: Permission denied (publickey).", "debug1: Authenticating to 127.0.0.1:2299 as 'root'",
        "Authenticated to 127.0.0.1 ([127.0.0.1]:2299) using \"publickey\".", "debug1: Entering interactive session."};
    for (const auto& line : runs) log.append(line);
    size_t peak = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::string ch = "channel " + std::to_string(6 + i % 4) + ": ";
        for (const std::string& line :
             {std::string("debug1: Connection to port 2301 forwarding to 127.0.0.1 port 2300 requested."),
              "debug1: " + ch + "new direct-tcpip [direct-tcpip] (inactive timeout: 0)",
              ch + "open failed: connect failed: Connection refused",
              "debug1: " + ch + "free: direct-tcpip: listening port 2301 for 127.0.0.1 port 2300, connect from " +
                  "127.0.0.1 port " + std::to_string(40000 + i) + " to 127.0.0.1 port 2301, nchannels 8"})
            log.append(line);
        peak = std::max(peak, log.memoryUsed());
    }
    log.append(std::string(5000, 'x'));  // cut, not dropped
    EXPECT_EQ(log.total(), runs.size() + 8001);
    EXPECT_LE(peak, TunnelLog::kBytes + TunnelLog::kConnectionBytes + sizeof(TunnelLog));

    const auto lines = log.lines();
    ASSERT_LE(lines.size(), TunnelLog::kCapacity);
    for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(lines[i].substr(13), runs[i]);
    const std::string& fold = lines[runs.size()];
    const size_t kept = lines.size() - runs.size() - 2;
    EXPECT_EQ(fold, "\xE2\x80\xA6 " + std::to_string(8000 - kept).insert(1, ",") + " connection lines not kept");
    EXPECT_GT(kept, 40u);
    EXPECT_NE(lines[lines.size() - 2].find("port 41999 to"), std::string::npos);
    EXPECT_EQ(lines.back().size(), 13 + LogRing::kLineMax);
    EXPECT_EQ(lines.back().substr(lines.back().size() - 3), "\xE2\x80\xA6");
}

TEST(SshConfigImport, ConcreteHostsResolvedBySshBecomeTunnels) {
    FakeSsh dir;  // a private folder
    std::ofstream(dir.file("extra")) << "Host included\n  HostName 10.0.0.9\n";
    std::ofstream(dir.file("config")) << "Include " << dir.file("extra") << "\n"
                                      << "Host db-* !x\n  User pattern\n"
                                      << "Host work \"db\"\n  HostName 10.0.0.5\n  User alice\n  Port 2222\n"
                                      << "  LocalForward 127.0.0.3:5432 localhost:5432\n  LocalForward 8080 [::1]:80\n"
                                      << "  RemoteForward 9000 localhost:9000\n  DynamicForward 1080\n";
    EXPECT_EQ(SshConfig::hostAliases(dir.file("config")), (Args{"included", "work"}));
    EXPECT_TRUE(SshConfig::hostAliases(dir.file("none")).empty());

    const auto work = SshConfig::resolve("work", dir.file("config"));
    ASSERT_TRUE(work);
    EXPECT_EQ(work->user + " " + work->hostName + " " + work->port, "alice 10.0.0.5 2222");
    const auto t = SshConfig::tunnelFor(*work);
    EXPECT_EQ(t->connName(), "work");
    EXPECT_EQ(t->valueForKey("connUser"), Value(""));
    EXPECT_EQ(t->command().arguments(),
              withFixed({"-N", "-v"}, {"-D", "1080", "work", "-L", "127.0.0.3:5432:localhost:5432", "-L",
                                       "8080:[::1]:80", "-R", "9000:localhost:9000"}));
}

namespace {
// The pids the Match exec commands wrote have all gone, and are as many as expected.
void expectSleepersGone(const FakeSsh& dir, size_t count) {
    const auto pids = dir.lines("sleepers");
    EXPECT_EQ(pids.size(), count);
    for (const auto& pid : pids)
        EXPECT_TRUE(testsupport::waitUntil([&] { return !testsupport::isAlive(std::stoi(pid)); },
                                           std::chrono::milliseconds(500)));
}
const char* const kSleeper = " exec \"echo $$ >>$DIR/sleepers; exec sleep 30\"\n";
}  // namespace

TEST(SshConfigImport, OneTunnelPerHostLineAndEveryRefusalInSshsWords) {
    FakeSsh dir;
    setenv("DIR", dir.dir().c_str(), 1);
    std::ofstream(dir.file("config")) << "Host web1 web1.lan\n  HostName 10.0.0.1\nHost db-* !x\n  User p\n"
                                      << "Host !x web2 web1\nHost slow\nMatch host slow" << kSleeper;
    std::ofstream(dir.file("mac")) << "Host mac\n  UseKeychain yes\nHost other\n";
    EXPECT_EQ(SshConfig::hostAliases(dir.file("config")), (Args{"web1", "web2", "slow"}));
    SshConfig::setHostTimeout(std::chrono::seconds(1));
    std::vector<size_t> done;
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = SshConfig::resolveAll({}, dir.file("config"), nullptr, [&done](size_t n, size_t total) {
        EXPECT_EQ(total, 3u);
        done.push_back(n);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    SshConfig::setHostTimeout({});
    ASSERT_EQ(outcome.hosts.size(), 2u);
    EXPECT_EQ(outcome.hosts[0].alias + " " + outcome.hosts[0].hostName + " " + outcome.hosts[1].alias,
              "web1 10.0.0.1 web2");
    EXPECT_EQ(outcome.refused,
              (std::vector<std::pair<std::string, std::string>>{{"slow", "ssh took longer than 1 s"}}));
    EXPECT_EQ(done, (std::vector<size_t>{1, 2, 3}));
    EXPECT_FALSE(outcome.cancelled);
    expectSleepersGone(dir, 1);
    // An option this ssh does not know spoils every host of the file, wherever it stands.
    const std::string words = dir.file("mac") + ": line 2: Bad configuration option: usekeychain";
    EXPECT_EQ(SshConfig::resolveAll({}, dir.file("mac"), nullptr, {}).refused,
              (std::vector<std::pair<std::string, std::string>>{{"mac", words}, {"other", words}}));
}

TEST(SshConfigImport, CancelKillsEveryRunningSshPromptly) {
    FakeSsh dir;
    setenv("DIR", dir.dir().c_str(), 1);
    std::ofstream(dir.file("config")) << "Host a\nHost b\nHost c\nHost d\nHost e\nMatch" << kSleeper;
    const auto openFds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto fdsBefore = openFds();
    std::atomic<bool> cancel{false};
    std::thread canceller([&cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = SshConfig::resolveAll({}, dir.file("config"), &cancel, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    canceller.join();
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_TRUE(outcome.hosts.empty() && outcome.refused.empty());
    EXPECT_TRUE(testsupport::ProcessProbe::childrenNamed("ssh").empty());
    expectSleepersGone(dir, SshConfig::kParallel);
    EXPECT_EQ(openFds(), fdsBefore);
}

TEST(SshConfigImport, OptionsAreCheckedByTheInstalledSsh) {
    EXPECT_EQ(SshConfig::optionError("Compression=yes"), "");
    EXPECT_EQ(SshConfig::optionError("ServerAliveInterval 30"), "");
    EXPECT_EQ(SshConfig::optionError("Bogus=1"), "Bad configuration option: bogus");
    EXPECT_NE(SshConfig::optionError("Compression=maybe"), "");
    EXPECT_EQ(SshConfig::optionError("Compression"), "Write the option as Key=Value");
}
