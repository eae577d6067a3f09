// What a tunnel keeps about itself: its journal on disk and the targets its forwards could not reach.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TargetRefusals.h"
#include "TunnelJournal.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string journalPath(const std::string& fileName) { return TunnelJournal::folder() + "/" + fileName; }

}  // namespace

TEST(Journal, ReadsOnlyWhatItWrites) {
    struct Case {
        const char* contents;
        size_t events;
        bool corrupt;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"1700000000000\tStarted\n1700000000001\tConnected: a, b\n", 2, false},
             {"1700000000000\tStarted\n1700000000001\tcut sho", 1, false},  // a write cut short
             {"", 0, false},
             {"Started\n", 0, true},
             {"17000x\tStarted\n", 0, true},
             {"1700000000000\tan escape \x1b[2J\n", 0, true},
             {"1700000000000\n", 0, true},
             {"9999999999999999999\ttoo far\n", 0, true},
         }) {
        bool corrupt = false;
        EXPECT_EQ(TunnelJournal::parse(c.contents, &corrupt).size(), c.events) << c.contents;
        EXPECT_EQ(corrupt, c.corrupt) << c.contents;
    }
    JournalEvent e{1700000000123, "Connected"};
    EXPECT_TRUE(e.formatted().ends_with(".123\tConnected")) << e.formatted();
    EXPECT_EQ(e.formatted().size(), std::string("2023-11-14T22:13:20.123\tConnected").size());
}

TEST(Journal, KeepsTheLastEventsAcrossTwoFilesFollowsRenamesAndSetsABadFileAside) {
    TunnelJournal journal("db/prod \"main\"");
    journal.erase();
    TunnelJournal fresh("db/prod \"main\"");
    for (size_t i = 0; i < 3 * TunnelJournal::kKept + 7; ++i) fresh.record("event " + std::to_string(i) + "\n\tsplit");
    const auto events = fresh.events();
    ASSERT_GE(events.size(), TunnelJournal::kKept);
    ASSERT_LE(events.size(), 2 * TunnelJournal::kKept);
    EXPECT_EQ(events.back().text, "event " + std::to_string(3 * TunnelJournal::kKept + 6) + "\\n\\tsplit");
    for (size_t i = 1; i < events.size(); ++i) ASSERT_LE(events[i - 1].atMs, events[i].atMs);

    // Another tunnel's journal is never overwritten by a rename onto its name.
    TunnelJournal other("other");
    other.record("mine");
    fresh.rename("other");
    EXPECT_EQ(other.events().size(), 1u);
    fresh.rename("renamed");
    EXPECT_EQ(fresh.events().size(), events.size());
    EXPECT_TRUE(TunnelJournal("db/prod \"main\"").events().empty());

    // Someone else's bytes: set aside, a fresh journal begun.
    const std::string path = journalPath("other.journal");
    std::ofstream(path, std::ios::trunc) << "not\0a journal" << std::string(10, '\n');
    EXPECT_TRUE(other.events().empty());
    EXPECT_TRUE(std::filesystem::exists(path + ".corrupt"));
    other.record("after");
    ASSERT_EQ(other.events().size(), 1u);
    EXPECT_EQ(slurp(path).substr(slurp(path).find('\t')), "\tafter\n");
    other.erase();
    other.record("after erase");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(TargetRefusals, CountsPerForwardAndClearsOnSuccessOrQuiet) {
    TargetRefusals refusals;
    const std::int64_t t0 = 1700000000000;
    auto connection = [&](int channel, const std::string& port, const std::string& target, bool refused, bool socks,
                          std::int64_t at) {
        const std::string ch = "channel " + std::to_string(channel) + ": ";
        std::vector<TargetRefusals::Seen> seen;
        seen.push_back(refusals.observe("debug1: " + ch + (socks ? "new dynamic-tcpip" : "new direct-tcpip"), at));
        if (refused) seen.push_back(refusals.observe(ch + "open failed: connect failed: Connection refused", at));
        const auto space = target.rfind(':');
        seen.push_back(refusals.observe("debug1: " + ch + "free: direct-tcpip: listening port " + port + " for " +
                                            target.substr(0, space) + " port " + target.substr(space + 1) +
                                            ", connect from 127.0.0.1 port 5 to 127.0.0.1 port " + port +
                                            ", nchannels 6",
                                        at));
        return seen.back();
    };
    using Seen = TargetRefusals::Seen;
    EXPECT_EQ(connection(5, "8012", "127.0.0.1:9", true, false, t0), Seen::FirstFailure);
    EXPECT_EQ(connection(6, "8012", "127.0.0.1:9", true, false, t0 + 1000), Seen::Failure);
    EXPECT_EQ(connection(5, "1080", "::1:80", true, true, t0 + 2000), Seen::FirstFailure);
    EXPECT_EQ(connection(7, "8011", "127.0.0.1:80", false, false, t0 + 2000), Seen::Nothing);
    auto w = refusals.warnings(t0 + 3000);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_TRUE(w[0].starts_with("Port 1080 (SOCKS): the target [::1]:80 refused a connection, last at ")) << w[0];
    EXPECT_TRUE(w[1].starts_with("Port 8012: the target 127.0.0.1:9 refused 2 connections")) << w[1];
    EXPECT_TRUE(w[1].ends_with(" (Connection refused)")) << w[1];
    EXPECT_EQ(connection(8, "8012", "127.0.0.1:9", false, false, t0 + 4000), Seen::Success);
    EXPECT_EQ(refusals.warnings(t0 + 4000).size(), 1u);
    EXPECT_TRUE(refusals.warnings(t0 + 2000 + TargetRefusals::kQuietMs + 1).empty());
    // A refusal after a quiet spell counts from one again; lines of other kinds change nothing.
    EXPECT_EQ(connection(9, "1080", "h:1", true, true, t0 + 2001 + TargetRefusals::kQuietMs), Seen::FirstFailure);
    for (const char* line : {"channel 3: free: port listener, nchannels 2", "channel x: open failed: no",
                             "debug1: channel 99999999: free: direct-tcpip: listening port 1", "Remote: channel 1: "})
        EXPECT_EQ(refusals.observe(line, t0), Seen::Nothing) << line;
}
