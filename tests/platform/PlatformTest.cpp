#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Defaults.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "StringTable.h"
#include "TempDir.h"
#include "Value.h"

using testsupport::TempDir;

namespace {

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Captures Log lines for the lifetime of the object.
struct LogCapture {
    std::vector<std::string> lines;
    LogCapture() {
        Log::setSink([this](const std::string& l) { lines.push_back(l); });
    }
    ~LogCapture() { Log::setSink({}); }
};

}  // namespace

TEST(Value, NoneIsItsOwnStateAndJsonKeepsTypesAndOrder) {
    EXPECT_NE(Value(), Value(""));
    EXPECT_NE(Value(), Value(Value::List{}));
    EXPECT_NE(Value(""), Value(Value::List{}));
    EXPECT_NE(Value(true), Value(1));                 // a flag and a number are different stored values
    EXPECT_EQ(Value("x").type(), Value::Type::Text);  // a literal is text, not a flag
    Value d = Value::dictionary({{"a", 1}});
    EXPECT_EQ(d.with("b", "two").with("a", 3).dict().front(), (std::pair<std::string, Value>{"a", 3}));
    EXPECT_FALSE(d.has("b"));  // with() leaves the original alone

    Value v = Value::dictionary({{"zeta", true},
                                 {"alpha", 7},
                                 {"list", Value::List{Value(""), Value(), Value::dictionary({{"k", "v"}})}},
                                 {"empty", Value::Dictionary{}}});
    const std::string json = v.dump();
    EXPECT_EQ(json, R"({"zeta":true,"alpha":7,"list":["",null,{"k":"v"}],"empty":{}})");
    Value back = Value::fromJson(nlohmann::ordered_json::parse(json));
    EXPECT_EQ(back, v);
    EXPECT_EQ(back.dump(), json);  // same key order
    EXPECT_TRUE(back.get("list").list()[1].isNone());
}

// Numbers written by hand with a fraction or an exponent, out of range included, read as integers.
TEST(Value, HandWrittenFloatsReadAsTheNearestInteger) {
    struct Case {
        const char* json;
        std::int64_t read;
    };
    const Case cases[] = {{"2.5", 2},
                          {"-2.5", -2},
                          {"1e3", 1000},
                          {"1e30", std::numeric_limits<std::int64_t>::max()},
                          {"-1e30", std::numeric_limits<std::int64_t>::min()},
                          {"9.3e18", std::numeric_limits<std::int64_t>::max()}};
    for (const Case& c : cases)
        EXPECT_EQ(Value::fromJson(nlohmann::ordered_json::parse(c.json)), Value(c.read)) << c.json;
}

TEST(Defaults, WritesAtomicallyKeepsTypesAndNeverWritesRegisteredDefaults) {
    TempDir dir;
    const std::string path = dir.file("zandrel/defaults.json");
    {
        Defaults d(path);
        d.registerDefaults({{"registered", "only in memory"}, {"both", 1}});
        EXPECT_EQ(d.objectForKey("registered"), Value("only in memory"));
        ASSERT_TRUE(d.setObjectForKey(Value::List{Value(true), Value(5), Value("s")}, "tunnels"));
        ASSERT_TRUE(d.setObjectsForKeys({{"both", 2}, {"flag", false}}));
        EXPECT_EQ(d.objectForKey("both"), Value(2));  // stored wins over registered
        ASSERT_TRUE(d.removeObjectForKey("flag"));
        EXPECT_TRUE(d.objectForKey("flag").isNone());
    }
    // Only the store itself is left: no temporary file next to it.
    EXPECT_EQ(listDir(dir.file("zandrel")), std::vector<std::string>{"defaults.json"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(TempDir::read(path).find("registered"), std::string::npos);

    Defaults again(path);
    EXPECT_EQ(again.objectForKey("tunnels"), (Value(Value::List{Value(true), Value(5), Value("s")})));
    EXPECT_EQ(again.objectForKey("both").type(), Value::Type::Integer);
    EXPECT_TRUE(again.objectForKey("registered").isNone());
    EXPECT_TRUE(again.movedAsidePath().empty());
}

TEST(Defaults, UnparsableFileIsMovedAsideLoggedAndNeverOverwritten) {
    TempDir dir;
    const std::string path = dir.file("defaults.json");
    const std::string broken = "{\"tunnels\": [ {\"connName\": \"half";
    writeFile(path, broken);
    LogCapture log;
    Defaults d(path);
    ASSERT_FALSE(d.movedAsidePath().empty());
    EXPECT_EQ(TempDir::read(d.movedAsidePath()), broken);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(d.movedAsidePath()), std::string::npos);
    EXPECT_TRUE(d.objectForKey("tunnels").isNone());

    ASSERT_TRUE(d.setObjectForKey("new", "key"));
    EXPECT_EQ(TempDir::read(d.movedAsidePath()), broken);
    EXPECT_EQ(Defaults(path).objectForKey("key"), Value("new"));

    // A second broken file in the same second gets a name of its own.
    writeFile(path, "[1, 2]");  // valid JSON, but not a store
    Defaults d2(path);
    ASSERT_FALSE(d2.movedAsidePath().empty());
    EXPECT_NE(d2.movedAsidePath(), d.movedAsidePath());
    EXPECT_EQ(TempDir::read(d.movedAsidePath()), broken);
    EXPECT_EQ(TempDir::read(d2.movedAsidePath()), "[1, 2]");
}

TEST(StringTable, LocaleFallbackAndKeyAsItsOwnText) {
    TempDir dir;
    writeFile(dir.file("en.strings"), "# comment\nS_IDLE=Idle\nS_AUTH=Authenticated\nT_START=Starting %@\n");
    writeFile(dir.file("de.strings"), "S_IDLE=Untätig\r\n");
    StringTable de(dir.path(), "de_AT.UTF-8@euro");
    EXPECT_EQ(de.language(), "de");
    EXPECT_EQ(de.localizedString("S_IDLE"), "Untätig");
    EXPECT_EQ(de.localizedString("S_AUTH"), "Authenticated");  // missing in German: English
    EXPECT_EQ(de.localizedString("NO_SUCH_KEY"), "NO_SUCH_KEY");
    StringTable c(dir.path(), "C");
    EXPECT_EQ(c.language(), "en");
    EXPECT_EQ(Log::format(c.localizedString("T_START"), "web"), "Starting web");
    StringTable none(dir.file("missing"), "en");
    EXPECT_EQ(none.localizedString("S_IDLE"), "S_IDLE");
}

TEST(NotificationCenter, ObserversOfAnyOrOneObjectAndChangesDuringDelivery) {
    NotificationCenter nc;
    int a = 0, b = 0;
    std::vector<std::string> seen;
    NotificationCenter::Token any = 0, onlyA = 0;
    any = nc.addObserver("N", nullptr, [&](const Notification&) {
        seen.push_back("any");
        nc.removeObserver(any);    // itself, while it runs
        nc.removeObserver(onlyA);  // one this post has not reached yet: its owner may be gone
        nc.addObserver("N", nullptr, [&](const Notification&) { seen.push_back("late"); });
    });
    onlyA = nc.addObserver("N", &a, [&](const Notification&) { seen.push_back("a"); });
    nc.addObserver("N", &b, [&](const Notification&) { seen.push_back("b"); });
    nc.addObserver("Other", nullptr, [&](const Notification&) { seen.push_back("other"); });
    nc.post("N", &a);
    EXPECT_EQ(seen, std::vector<std::string>{"any"});
    nc.post("N", &b);
    EXPECT_EQ(seen, (std::vector<std::string>{"any", "b", "late"}));
}
