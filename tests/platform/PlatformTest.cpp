#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
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

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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

TEST(Value, TypesAndNoneAreDistinct) {
    EXPECT_TRUE(Value().isNone());
    EXPECT_TRUE(Value("").isText());
    EXPECT_TRUE(Value(Value::List{}).isList());
    EXPECT_NE(Value(), Value(""));
    EXPECT_NE(Value(), Value(Value::List{}));
    EXPECT_NE(Value(""), Value(Value::List{}));
    EXPECT_NE(Value(true), Value(1));  // a flag and a number are not the same stored value
    EXPECT_EQ(Value(true).type(), Value::Type::Boolean);
    EXPECT_EQ(Value(1080).type(), Value::Type::Integer);
    EXPECT_EQ(Value("x").type(), Value::Type::Text);  // a literal is text, not a flag
    EXPECT_TRUE(Value(2).boolValue());
    EXPECT_FALSE(Value("yes").boolValue());

    Value d = Value::dictionary({{"a", 1}});
    Value d2 = d.with("b", "two").with("a", 3);
    EXPECT_EQ(d.get("a"), Value(1));  // with() leaves the original alone
    EXPECT_FALSE(d.has("b"));
    EXPECT_EQ(d2.dict().front().first, "a");  // a replaced key keeps its place
    EXPECT_EQ(d2.get("a"), Value(3));
    EXPECT_TRUE(d2.get("missing").isNone());
}

TEST(Value, JsonRoundTripKeepsTypesAndOrder) {
    Value v = Value::dictionary({{"zeta", true},
                                 {"alpha", 7},
                                 {"mid", "text"},
                                 {"list", Value::List{Value(""), Value(), Value::dictionary({{"k", "v"}})}},
                                 {"empty", Value::Dictionary{}}});
    const std::string json = v.dump();
    EXPECT_EQ(json, R"({"zeta":true,"alpha":7,"mid":"text","list":["",null,{"k":"v"}],"empty":{}})");
    Value back = Value::fromJson(nlohmann::ordered_json::parse(json));
    EXPECT_EQ(back, v);
    std::vector<std::string> keys;
    for (const auto& kv : back.dict()) keys.push_back(kv.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "alpha", "mid", "list", "empty"}));
    EXPECT_TRUE(back.get("list").list()[1].isNone());
    EXPECT_TRUE(back.get("empty").isDictionary());
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
    EXPECT_EQ(readFile(path).find("registered"), std::string::npos);

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
    EXPECT_EQ(readFile(d.movedAsidePath()), broken);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(d.movedAsidePath()), std::string::npos);
    EXPECT_TRUE(d.objectForKey("tunnels").isNone());

    ASSERT_TRUE(d.setObjectForKey("new", "key"));
    EXPECT_EQ(readFile(d.movedAsidePath()), broken);
    EXPECT_EQ(Defaults(path).objectForKey("key"), Value("new"));

    // A second broken file in the same second gets a name of its own.
    writeFile(path, "[1, 2]");  // valid JSON, but not a store
    Defaults d2(path);
    ASSERT_FALSE(d2.movedAsidePath().empty());
    EXPECT_NE(d2.movedAsidePath(), d.movedAsidePath());
    EXPECT_EQ(readFile(d.movedAsidePath()), broken);
    EXPECT_EQ(readFile(d2.movedAsidePath()), "[1, 2]");
}

TEST(Defaults, StandardPathFollowsXdgConfigHome) {
    const char* old = getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", "/somewhere/cfg", 1);
    EXPECT_EQ(Defaults::standardPath(), "/somewhere/cfg/zandrel/defaults.json");
    setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    const std::string fallback = Defaults::standardPath();
    EXPECT_EQ(fallback.find("relative"), std::string::npos);
    EXPECT_TRUE(fallback.ends_with("/.config/zandrel/defaults.json")) << fallback;
    if (old)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
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

TEST(NotificationCenter, AnyObjectAndOneObjectObservers) {
    NotificationCenter nc;
    int a = 0, b = 0;
    std::vector<std::string> seen;
    auto any = nc.addObserver("N", nullptr,
                              [&](const Notification& n) { seen.push_back(n.object == &a ? "any:a" : "any:b"); });
    auto onlyA = nc.addObserver("N", &a, [&](const Notification&) { seen.push_back("a"); });
    nc.addObserver("Other", nullptr, [&](const Notification&) { seen.push_back("other"); });
    nc.post("N", &a);
    nc.post("N", &b);
    EXPECT_EQ(seen, (std::vector<std::string>{"any:a", "a", "any:b"}));
    nc.removeObserver(any);
    nc.removeObserver(onlyA);
    seen.clear();
    nc.post("N", &a);
    EXPECT_TRUE(seen.empty());
}

TEST(NotificationCenter, RemovalAndAdditionDuringDelivery) {
    NotificationCenter nc;
    std::vector<std::string> seen;
    NotificationCenter::Token self = 0, second = 0;
    self = nc.addObserver("N", nullptr, [&](const Notification&) {
        seen.push_back("first");
        nc.removeObserver(self);    // itself, while it runs
        nc.removeObserver(second);  // one that has not been called yet in this post
        nc.addObserver("N", nullptr, [&](const Notification&) { seen.push_back("late"); });
    });
    second = nc.addObserver("N", nullptr, [&](const Notification&) { seen.push_back("second"); });
    nc.post("N", nullptr);
    EXPECT_EQ(seen, std::vector<std::string>{"first"});
    nc.post("N", nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "late"}));
}
