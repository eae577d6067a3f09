// Tunnel files without a bus: what an export holds, every kind of bad file with where it is
// wrong, and the merge of each conflict choice into a list that is then undone.
#include <gtest/gtest.h>

#include "TunnelArguments.h"
#include "TunnelFile.h"

namespace {
TunnelPtr tunnel(const std::string& name, const std::string& host, const std::string& group = {}) {
    Value d = Value::dictionary({{"connName", name}, {"connHost", host}});
    if (!group.empty()) d = d.with("group", group);
    return Tunnel::tunnelFromDictionary(d);
}
std::string fileOf(const std::string& tunnels, const std::string& version = "1") {
    return R"({"format": "zandrel-tunnels", "version": )" + version + R"(, "tunnels": [)" + tunnels + "]}";
}
}  // namespace

TEST(TunnelFile, ExportHoldsNoSecretWritesHomeAsTildeAndKeepsUnknownKeys) {
    const Value stored = Value::dictionary(
        {{"connName", "db"},
         {"connHost", "db.lan"},
         {"identityFile", "/home/me/.ssh/id_db"},
         {"futureKey", Value::List{1, 2}},
         {"password", "hunter2"},
         {"keyringItem", "Zandrel: db"},
         {"tunnelsLocal", Value::List{Value::dictionary({{"port", "5432"}, {"host", "h"}, {"passphrase", "x"}})}}});
    const std::string text = TunnelFile::write({Tunnel::tunnelFromDictionary(stored)}, "/home/me");
    for (const char* secret : {"hunter2", "keyring", "passphrase", "\"x\""})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
    const TunnelFile::Contents back = TunnelFile::read(text);
    ASSERT_TRUE(back.clean()) << back.problems().front();
    ASSERT_EQ(back.tunnels.size(), 1u);
    EXPECT_EQ(back.tunnels[0].tunnel.get("identityFile"), Value("~/.ssh/id_db"));
    EXPECT_EQ(back.tunnels[0].tunnel.get("futureKey"), Value(Value::List{1, 2}));
    // A home of /home/m must not turn /home/me/… into ~e/….
    EXPECT_NE(TunnelFile::write({Tunnel::tunnelFromDictionary(stored)}, "/home/m").find("/home/me/.ssh"),
              std::string::npos);
}

TEST(TunnelFile, BadFilesSayWhatIsWrongAndWhere) {
    struct Case {
        const char* what;
        std::string text;
        std::string expected;  // in the first problem
        size_t valid;          // tunnels that may still be imported knowingly
    };
    const std::string good = R"({"connName": "ok", "connHost": "h"})";
    const Case cases[] = {
        {"no tunnel file", R"({"tunnels": []})", "no Zandrel tunnel file", 0},
        {"no JSON", "tunnels: yes", "no JSON: at byte 2", 0},
        {"truncated", fileOf(good).substr(0, 60), "ends early, at byte 60", 0},
        {"huge", fileOf(good) + std::string(TunnelFile::kMaxBytes, ' '), "larger than 1024 KiB", 0},
        {"newer with unknown keys", fileOf(good + R"(, {"connName": "n", "hopping": true})", "2"),
         "newer Zandrel (version 2", 1},
        {"control character", fileOf(good + R"(, {"connName": "a\u0007b"})"), "Tunnel \"a\\x07b\": \"connName\"", 1},
        {"refused value", fileOf(good + R"(, {"connName": "p", "connPort": "99999"})"),
         "Tunnel \"p\": \"connPort\" must be a port number", 1},
        {"twice", fileOf(good + "," + good), "Tunnel \"ok\": the name is in the file twice", 1},
    };
    for (const Case& c : cases) {
        const TunnelFile::Contents read = TunnelFile::read(c.text);
        EXPECT_FALSE(read.clean()) << c.what;
        ASSERT_FALSE(read.problems().empty()) << c.what;
        EXPECT_NE(read.problems().front().find(c.expected), std::string::npos)
            << c.what << ": " << read.problems().front();
        EXPECT_EQ(read.valid().size(), c.valid) << c.what;
    }
    // The newer file names the tunnel and the key it does not know.
    const auto newer = TunnelFile::read(cases[4].text).problems();
    EXPECT_EQ(newer.back(), "Tunnel \"n\": keys this version does not know: \"hopping\"");
}

TEST(TunnelFile, MergeAddsNewSkipsSameAndSettlesConflictsAsChosenAndUndoes) {
    using C = TunnelFile::Choice;
    const std::string file = TunnelFile::write(
        {tunnel("same", "a"), tunnel("db", "theirs.lan", "work"), tunnel("new", "n", "work")}, "/home/me");
    struct Case {
        C choice;
        std::vector<std::string> names;  // the list afterwards
        std::string dbHost;
        std::string dbLine;
    };
    const Case cases[] = {
        {C::Keep, {"same", "db", "new"}, "mine.lan", "\"db\": yours kept, the file's differs"},
        {C::Replace, {"same", "db", "new"}, "theirs.lan", "\"db\": replaced by the file's"},
        {C::Both, {"same", "db", "db (2)", "new"}, "mine.lan", "\"db\": yours kept, the file's added as \"db (2)\""},
    };
    for (const Case& c : cases) {
        TunnelStore store;
        store.reset({tunnel("same", "a"), tunnel("db", "mine.lan")});
        const TunnelList before = store.tunnels();
        const auto applied = TunnelFile::apply(store, TunnelFile::read(file).valid(), "/home/me",
                                               [&](const std::string&) { return c.choice; });
        std::vector<std::string> names;
        for (const TunnelPtr& t : store.tunnels()) names.push_back(t->connName());
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(store.named("db")->valueForKey("connHost").text(), c.dbHost);
        EXPECT_EQ(applied.lines,
                  (std::vector<std::string>{"\"same\": the same as yours, skipped", c.dbLine, "\"new\": added"}));
        TunnelFile::undo(store, applied);
        EXPECT_EQ(store.tunnels(), before);
    }
}

TEST(TunnelGroups, NamesAreOneLineAndAddTakesOne) {
    EXPECT_NE(Tunnel::valueError("group", Value("a\nb")), "");
    EXPECT_EQ(Tunnel::valueError("group", Value("home lab")), "");
    EXPECT_EQ(TunnelArguments::parse({"db", "me@h", "--group", "lab"}, "/").settings.get("group"), Value("lab"));
}
