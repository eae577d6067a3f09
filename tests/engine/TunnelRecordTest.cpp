// The tunnel as a record: construction, stored form, forward lists, access by name, icon, the
// ssh command line, and what its output handler makes of ssh's lines.
#include <gtest/gtest.h>

#include <mutex>

#include "Bundle.h"
#include "Defaults.h"
#include "Log.h"
#include "ROZUdivev.h"
#include "SshOutputParser.h"
#include "StatusRecorder.h"
#include "TempDir.h"

using Args = std::vector<std::string>;

namespace {

std::string text(const std::string& key) { return Bundle::main().localizedString(key); }

std::vector<std::string> keysOf(const Value& d) {
    std::vector<std::string> keys;
    for (const auto& kv : d.dict()) keys.push_back(kv.first);
    std::sort(keys.begin(), keys.end());
    return keys;
}

const std::vector<std::string> kStoredKeys = {"autoConnect", "compression",  "connAuth",      "connHost",   "connName",
                                              "connPort",    "connRemote",   "connUser",      "encryption", "socks4",
                                              "socks4p",     "tunnelsLocal", "tunnelsRemote", "v1"};

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

TunnelPtr tunnelWith(std::initializer_list<std::pair<const std::string, Value>> settings) {
    auto t = ROZUdivev::create("t");
    for (const auto& [k, v] : settings) t->setValueForKey(v, k);
    return t;
}

}  // namespace

TEST(TunnelRecord, NewTunnelAndItsStoredForm) {
    for (const char* key :
         {"S_IDLE", "S_CONNECTING", "S_AUTH", "S_CONNECTED", "T_START", "T_STOP", "SHMENU_HIDE", "SHMENU_SHOW"})
        EXPECT_NE(text(key), key) << key;  // the resources hold a text for each
    auto t = ROZUdivev::create();
    Value d = t->dictionary();
    EXPECT_EQ(keysOf(d), kStoredKeys);
    EXPECT_EQ(d.get("connName"), Value("New Tunnel"));
    EXPECT_EQ(d.get("autoConnect"), Value(false));
    EXPECT_EQ(d.get("connAuth"), Value(true));
    EXPECT_EQ(d.get("socks4p"), Value(1080));
    EXPECT_EQ(d.get("encryption"), Value(""));  // automatic: ssh negotiates
    EXPECT_EQ(d.get("tunnelsLocal"), Value(Value::List{}));
    EXPECT_EQ(t->code(), 0);
    EXPECT_EQ(t->status(), text("S_IDLE"));
    EXPECT_FALSE(t->hasLaunchThread());
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
    auto loaded = ROZUdivev::tunnelsFromArray(Defaults(dir.file("defaults.json")).objectForKey("tunnels"));
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->dictionary(), t->dictionary());
    EXPECT_EQ(loaded[0]->valueForKey("connPort").type(), Value::Type::Text);
    EXPECT_EQ(loaded[0]->valueForKey("socks4p").type(), Value::Type::Integer);
    EXPECT_EQ(loaded[0]->arguments(), t->arguments());
    EXPECT_EQ(loaded[0]->code(), 0);
    EXPECT_FALSE(loaded[0]->hasLaunchThread());
}

TEST(TunnelRecord, StoredDictionaryWithMissingExtraAndRuntimeKeys) {
    LogCapture log;
    auto t = ROZUdivev::tunnelFromDictionary(
        Value::dictionary({{"connName", "old"}, {"bogus", 1}, {"code", 2}, {"connHost", "h"}}));
    EXPECT_EQ(log.snapshot(), std::vector<std::string>{"key bogus undefined"});
    EXPECT_EQ(t->connName(), "old");
    EXPECT_EQ(t->valueForKey("connHost"), Value("h"));  // applied after the unknown key
    EXPECT_EQ(t->code(), 0);
    EXPECT_FALSE(t->valueForKey("connAuth").boolValue());  // missing flag: off, not the new-tunnel on
    EXPECT_TRUE(t->valueForKey("encryption").isNone());
    EXPECT_TRUE(t->valueForKey("tunnelsLocal").isNone());
    EXPECT_EQ(keysOf(t->dictionary()), (std::vector<std::string>{"autoConnect", "compression", "connAuth", "connHost",
                                                                 "connName", "connRemote", "socks4", "v1"}));
    EXPECT_EQ(t->arguments(), (Args{"-N", "-v", "-p", "22", "@h"}));  // unset list acts as empty

    // Values stored with another type than ours are taken where the meaning is plain.
    auto odd = ROZUdivev::tunnelFromDictionary(Value::dictionary(
        {{"connPort", 2222}, {"tunnelsLocal", Value::List{Value::dictionary({{"port", 80}, {"host", "w"}})}}}));
    EXPECT_EQ(odd->valueForKey("connPort"), Value("2222"));
    EXPECT_EQ(odd->arguments().back(), "80:w:80");

    EXPECT_TRUE(ROZUdivev::tunnelsFromArray(Value()).empty());
    EXPECT_TRUE(ROZUdivev::tunnelsFromArray(Value(Value::List{})).empty());
    auto three = ROZUdivev::tunnelsFromArray(
        Value(Value::List{Value::dictionary({{"connName", "a"}}), Value::dictionary({{"connName", "b"}}),
                          Value::dictionary({{"connName", "c"}})}));
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0]->connName() + three[1]->connName() + three[2]->connName(), "abc");
}

TEST(TunnelRecord, AutoConnectStartsOnceDuringConstruction) {
    ROZUdivev::setSshProgram("/nonexistent/zandrel-ssh");  // each start ends at once, without a pause
    LogCapture log;
    auto count = [&](const std::string& name) {
        auto lines = log.snapshot();
        return std::count(lines.begin(), lines.end(), Log::format(text("T_START"), name));
    };
    auto on = ROZUdivev::tunnelFromDictionary(Value::dictionary({{"connName", "auto"}, {"autoConnect", true}}));
    auto off = ROZUdivev::tunnelFromDictionary(Value::dictionary({{"connName", "manual"}, {"autoConnect", false}}));
    auto missing = ROZUdivev::tunnelFromDictionary(Value::dictionary({{"connName", "plain"}}));
    ASSERT_TRUE(ROZUdivev::waitForLaunchThreads(std::chrono::seconds(5)));
    ROZUdivev::setSshProgram("/usr/bin/ssh");
    EXPECT_EQ(count("auto"), 1);
    EXPECT_EQ(count("manual") + count("plain"), 0);
    EXPECT_NE(on->lastError().find("/nonexistent/zandrel-ssh"), std::string::npos);
    EXPECT_TRUE(off->lastError().empty());
}

TEST(TunnelRecord, KeyAccessByName) {
    auto t = ROZUdivev::create("n");
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
    EXPECT_EQ(d.dict().size(), 13u);
    for (auto [code, icon] : std::vector<std::pair<int, std::string>>{
             {0, "offState"}, {1, "middleState"}, {2, "onState"}, {3, "offState"}, {-1, "offState"}}) {
        t->setValueForKey(Value(code), "code");
        EXPECT_EQ(t->icon(), icon) << code;
    }
}

TEST(TunnelRecord, ForwardListsAreReplacedNeverChangedInPlace) {
    auto t = ROZUdivev::create();
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

TEST(CommandLine, OptionsInOrderAndDisplayForm) {
    auto t = ROZUdivev::create();
    EXPECT_EQ(t->arguments(), (Args{"-N", "-v", "-p", "22", "@"}));
    EXPECT_EQ(ROZUdivev::displayCommand(t->arguments()), "ssh -N -p 22 @");
    auto u = tunnelWith({{"connPort", "443"}, {"connUser", "U"}, {"connHost", "H"}, {"compression", true}});
    EXPECT_EQ(ROZUdivev::displayCommand(u->arguments()), "ssh -N -p 443 -C U@H");
    EXPECT_EQ(tunnelWith({{"connPort", "not a number"}})->arguments()[3], "not a number");
    EXPECT_EQ(tunnelWith({{"connPort", Value()}})->arguments()[3], "22");
    EXPECT_EQ(tunnelWith({{"connRemote", true}, {"compression", true}, {"v1", true}, {"connHost", "H"}})->arguments(),
              (Args{"-N", "-v", "-p", "22", "-g", "-C", "-1", "@H"}));
    EXPECT_EQ(
        tunnelWith({{"v1", true}, {"encryption", "aes128-ctr"}, {"socks4", true}, {"connUser", "U"}, {"connHost", "H"}})
            ->arguments(),
        (Args{"-N", "-v", "-p", "22", "-1", "-c", "aes128-ctr", "-D", "1080", "U@H"}));
    // Protocol-1 ciphers, empty and unset: no "-c", ssh negotiates.
    for (const Value& cipher : {Value("3des"), Value("blowfish"), Value("des"), Value(""), Value()})
        EXPECT_EQ(tunnelWith({{"encryption", cipher}})->arguments(), (Args{"-N", "-v", "-p", "22", "@"}))
            << cipher.dump();
    EXPECT_EQ(tunnelWith({{"socks4", true}, {"socks4p", 0}})->arguments(),
              (Args{"-N", "-v", "-p", "22", "-D", "0", "@"}));
    EXPECT_EQ(tunnelWith({{"socks4", true}, {"socks4p", Value()}})->arguments().size(), 5u);
    EXPECT_EQ(tunnelWith({{"socks4", false}, {"socks4p", 1080}})->arguments().size(), 5u);
    EXPECT_EQ(tunnelWith({{"connHost", "H"}})->arguments().back(), "@H");
    EXPECT_EQ(tunnelWith({{"connUser", "U"}})->arguments().back(), "U@");
}

TEST(CommandLine, Forwards) {
    auto t = tunnelWith({{"connUser", "U"}, {"connHost", "H"}});
    t->addRemoteTunnel({{"port", "8080"}, {"host", "localhost"}, {"hostport", "80"}});  // added first in time
    t->addLocalTunnel({{"port", "143"}, {"host", "imap"}, {"hostport", ""}});
    t->addLocalTunnel({{"port", "25"}, {"host", "smtp"}});
    t->addLocalTunnel({{"port", "993"}, {"host", "imap"}, {"hostport", "1993"}});
    t->addLocalTunnel({{"port", "53"}, {"host", "::1"}});
    t->addLocalTunnel({{"port", "54"}, {"host", "[fe80::1]"}, {"hostport", "5"}});
    // Incomplete entries (a new row whose cells were left empty) would make ssh refuse everything.
    t->addLocalTunnel({{"host", "nohost-port"}});
    t->addLocalTunnel({{"port", "1"}, {"host", ""}});
    t->addLocalTunnel({});
    t->addRemoteTunnel({{"port", ""}, {"host", "x"}});
    EXPECT_EQ(t->arguments(),
              (Args{"-N", "-v", "-p", "22", "U@H", "-L", "143:imap:143", "-L", "25:smtp:25", "-L", "993:imap:1993",
                    "-L", "53:[::1]:53", "-L", "54:[fe80::1]:5", "-R", "8080:localhost:80"}));
}

// The output handler, fed directly: one notification per line piece, status and phase as the
// lines say.
class OutputHandler : public ::testing::Test {
protected:
    TunnelPtr t = ROZUdivev::create("parse");
    StatusRecorder rec{*t};
    bool feed(const std::string& chunk) { return t->stdErr(chunk.data(), chunk.size()); }
};

TEST_F(OutputHandler, LinesOfOneChunk) {
    EXPECT_TRUE(feed("debug1: Authentication succeeded (publickey).\ndebug1: Entering interactive session.\n"));
    EXPECT_EQ(t->status(), text("S_CONNECTED"));
    EXPECT_EQ(t->code(), 2);
    EXPECT_EQ(rec.statuses(), (Args{text("S_AUTH"), text("S_CONNECTED"), text("S_CONNECTED")}));
    feed("Entering interactive session. Authentication succeeded");  // each phrase acts; the last wins
    EXPECT_EQ(t->status(), text("S_AUTH"));
    EXPECT_EQ(t->code(), 2);
    EXPECT_EQ(rec.count(), 4u);
}

TEST_F(OutputHandler, ForwardedPortsOldAndNewPhrases) {
    feed("Connections to local port 143 forwarded\nConnections to local port 993 forwarded");
    EXPECT_EQ(rec.statuses(), (Args{"Port 143  forwarded", "Port 993  forwarded"}));
    rec.clear();
    feed(
        "debug1: Local connections to LOCALHOST:8143 forwarded to remote address 127.0.0.1:22\n"
        "debug1: Local connections to [::1]:8144 forwarded to remote address imap:143\n"
        "Connections to local port forwarded\n"                     // no port text: status kept
        "debug1: Local connections to LOCALHOST:8145 are open\n");  // not a forwarded line
    EXPECT_EQ(rec.statuses(), (Args{"Port 8143 forwarded", "Port 8144 forwarded", "Port 8144 forwarded",
                                    "Port 8144 forwarded", "Port 8144 forwarded"}));
    feed("Authenticated to 127.0.0.1 ([127.0.0.1]:2222) using \"publickey\".\r\n");
    EXPECT_EQ(t->status(), text("S_AUTH"));
    EXPECT_EQ(t->code(), 0);
}

TEST_F(OutputHandler, CaseSplitsAndEndOfFile) {
    feed("entering interactive session.\nAUTHENTICATION SUCCEEDED\n");
    feed("debug1: Entering inter");
    feed("active session.\n");
    EXPECT_EQ(t->status(), text("S_IDLE"));
    EXPECT_EQ(t->code(), 0);
    EXPECT_EQ(rec.count(), 6u);
    EXPECT_FALSE(t->stdErr("", 0));
    EXPECT_EQ(rec.count(), 6u);
}

TEST_F(OutputHandler, ClosedByRemoteStopsReadingAfterTheChunk) {
    EXPECT_FALSE(feed("Connection to h closed by remote host.\nAuthenticated to h ([1.2.3.4]:22).\n"));
    EXPECT_EQ(t->status(), text("S_AUTH"));  // the lines after it were still tested
    EXPECT_EQ(rec.count(), 3u);
    EXPECT_FALSE(feed("Connection to h closed by remote host."));
    EXPECT_EQ(t->status(), "Connection closed");
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
          "Warning: Permanently added '[127.0.0.1]:2222' (ED25519) to the list of known hosts."})
        EXPECT_FALSE(SshOutputParser::isReportable(line)) << line;
    EXPECT_EQ(SshOutputParser::reportText("root@127.0.0.1: Permission denied (publickey,password)."),
              "Permission denied (publickey,password).");
    EXPECT_EQ(SshOutputParser::reportText("ssh: connect to host h port 22: Connection refused"),
              "ssh: connect to host h port 22: Connection refused");
    EXPECT_EQ(SshOutputParser::reportText("a b@c: Permission denied"), "a b@c: Permission denied");
}
