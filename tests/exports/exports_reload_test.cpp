// Reading the exports file again while the server runs: what a reload keeps
// (export ids of unchanged lines), what it drops (handles of removed lines),
// when it refuses (a file with any problem), what a check leaves alone, and
// that a table is never rebuilt under a request that still holds it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <unistd.h>

#include "exports/export.h"
#include "support/exports_env.h"

namespace {

class ExportsReload : public ::testing::Test {
   protected:
    void SetUp() override {
        env.make("keep/");
        env.make("gone/");
        env.make("new/");
    }
    // Writes `text` as the exports file and reads it for `purpose`.
    bool read(const std::string &text, exports_purpose purpose) {
        env.home.write("exports", text);
        return exports_read(&report, purpose);
    }
    uint32_t id_of(const char *path) {
        for (export_entry *e : env.entries())
            if (std::string(e->path) == path) return e->export_id;
        return 0;
    }

    exports_env env;
    // The first problem in words.
    std::string first() const {
        char text[256];
        exports_problem_describe(&report.problems[0], text, sizeof text);
        return text;
    }

    exports_report report{};
};

TEST_F(ExportsReload, UnchangedLinesKeepTheirIdsRemovedOnesVanishNewOnesAppear) {
    ASSERT_TRUE(read("c:\\keep -name:keep\nc:\\gone\n", EXPORTS_START));
    uint32_t keep = id_of("c:\\keep"), gone = id_of("c:\\gone");
    ASSERT_NE(keep, 0u);
    ASSERT_NE(gone, 0u);
    // The same line on another line number, beside a new one.
    ASSERT_TRUE(read("c:\\new -ro\n\nc:\\keep -name:keep\n", EXPORTS_RELOAD));
    EXPECT_EQ(report.count, 0u);
    EXPECT_EQ(id_of("c:\\keep"), keep);
    export_entry *found = export_find(keep);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->name, "/keep");
    EXPECT_EQ(export_find(gone), nullptr);
    EXPECT_NE(id_of("c:\\new"), 0u);
    EXPECT_EQ(env.entries().size(), 2u);
    // A changed option is another export: another id.
    ASSERT_TRUE(read("c:\\keep -name:keep -ro\n", EXPORTS_RELOAD));
    EXPECT_NE(id_of("c:\\keep"), keep);
    EXPECT_EQ(export_find(keep), nullptr);
}

// Each row: a file with problems. A reload keeps the running list and says
// no; the problems come back in order with their lines and log texts.
TEST_F(ExportsReload, AFileWithAProblemLeavesTheListAsItWas) {
    const struct {
        const char *text;
        uint32_t count;
        uint32_t number, line;
        const char *first;
    } cases[] = {
        {"c:\\keep\nc:\\new -bogus\n", 1, 25, 2, "Line 2 ignored, unknown option: bogus"},
        {"c:\\keep\n-ro\nq:\\x\n", 2, 22, 2, "Line 2 ignored, expected drive"},
        {"c:\\keep\nc:\\keep\n", 1, EXPORTS_DUPLICATE, 2, "Line 2 ignored, duplicate export"},
        {"c:\\new 10.0.0.300\n", 1, 26, 1, "Line 1, invalid client: 10.0.0.300"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(read("c:\\keep\nc:\\gone -public\n", EXPORTS_START));
        uint32_t keep = id_of("c:\\keep"), gone = id_of("c:\\gone");
        EXPECT_FALSE(read(c.text, EXPORTS_RELOAD));
        ASSERT_EQ(report.count, c.count);
        EXPECT_EQ(report.problems[0].number, c.number);
        EXPECT_EQ(report.problems[0].line, c.line);
        EXPECT_EQ(first(), c.first);
        EXPECT_NE(export_find(keep), nullptr);
        EXPECT_NE(export_find(gone), nullptr);
        EXPECT_TRUE(export_public_seen.load());
        EXPECT_EQ(env.entries().size(), 2u);
    }
    // A missing file is a problem too.
    ASSERT_EQ(unlink(env.home.file("exports").c_str()), 0);
    EXPECT_FALSE(exports_read(&report, EXPORTS_RELOAD));
    ASSERT_EQ(report.count, 1u);
    EXPECT_EQ(report.problems[0].number, uint32_t(EXPORTS_CANNOT_OPEN));
    EXPECT_EQ(env.entries().size(), 2u);
}

TEST_F(ExportsReload, AStartTakesTheGoodLinesAndACheckLeavesTheSettingsAlone) {
    EXPECT_TRUE(read("c:\\keep\nc:\\gone -bogus\n", EXPORTS_START));
    EXPECT_EQ(env.entries().size(), 1u);
    EXPECT_EQ(env.setting("ExpError", 0), 25u);
    EXPECT_EQ(env.setting("ExpLine", 0), 2u);
    EXPECT_TRUE(read("c:\\new -ro\nc:\\keep -foo\nc:\\gone 10.0.0.300\n", EXPORTS_CHECK));
    EXPECT_EQ(report.count, 2u);
    EXPECT_EQ(env.entries().size(), 1u);
    EXPECT_EQ(env.setting("ExpError", 0), 25u);  // still the start's
    EXPECT_EQ(env.setting("ExpLine", 0), 2u);
    // A missing directory is a problem too, though a start exports it.
    EXPECT_FALSE(read("c:\\keep\nc:\\nowhere\n", EXPORTS_RELOAD));
    EXPECT_EQ(env.entries().size(), 1u);
}

// A request holds the list from its look-up to its reply: the table it
// walks is rebuilt only after it lets go. One reload builds in the other
// table; the next one must wait for the holder.
TEST_F(ExportsReload, ATableIsNotRebuiltWhileARequestHoldsIt) {
    ASSERT_TRUE(read("c:\\keep -name:keep\nc:\\gone\n", EXPORTS_START));
    uint32_t ticket = export_hold();
    export_entry *held = export_list.load();
    ASSERT_TRUE(read("c:\\new\n", EXPORTS_RELOAD));  // the other table: no wait
    std::atomic<bool> done{false};
    std::thread second([&] {
        env.home.write("exports", "c:\\gone\n");
        exports_read(nullptr, EXPORTS_RELOAD);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done.load());
    // What the request found is intact while it holds it.
    EXPECT_STREQ(held->path, "c:\\keep");
    ASSERT_NE(held->next, nullptr);
    EXPECT_STREQ(held->next->path, "c:\\gone");
    export_release(ticket);
    second.join();
    EXPECT_TRUE(done.load());
    EXPECT_NE(id_of("c:\\gone"), 0u);
    EXPECT_EQ(env.entries().size(), 1u);
}

}  // namespace
