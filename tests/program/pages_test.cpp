// The pages' web server as another local user or another site's page meets
// it: nothing without the token, nothing outside the pages and help files.
// The browser test drives the pages themselves.
#include "program/pages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <httplib.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "platform/registry.h"
#include "support/home.h"

namespace {

std::atomic<int> exits{0};

class Pages : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(reg_write_string("nfsd", "Pages-Port", "18049"));
        mkdir(home.file("doc").c_str(), 0755);
        home.write("doc/nfsd.htm", "<html>help</html>");
        home.write("exports", "c:\\old\n");
        ASSERT_TRUE(pages_start([] { exits++; }));
        token = home.read(PAGES_TOKEN_FILE);
        token.pop_back();  // line end
    }
    void TearDown() override { pages_stop(); }
    httplib::Headers with_token() { return {{"X-Nimbora-Token", token}}; }
    test_home home;
    httplib::Client client{"127.0.0.1", 18049};
    std::string token;
};

TEST_F(Pages, NothingWithoutTheToken) {
    struct stat st;
    ASSERT_EQ(stat(home.file(PAGES_TOKEN_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(pages_address(), "http://127.0.0.1:18049/?token=" + token);

    for (const char *path : {"/", "/api/settings", "/doc/nfsd.htm", "/api/exports-file"})
        EXPECT_EQ(client.Get(path)->status, 403) << path;
    EXPECT_EQ(client.Get("/", {{"X-Nimbora-Token", std::string(32, '0')}})->status, 403);
    EXPECT_EQ(client.Post("/api/exit", "", "text/plain")->status, 403);
    // A change needs the header: the cookie alone is what another site's
    // page could make the browser send.
    httplib::Headers cookie = {{"Cookie", "nimbora_token=" + token}};
    EXPECT_EQ(client.Get("/api/settings", cookie)->status, 200);
    EXPECT_EQ(client.Post("/api/nfs", cookie, "Port=1", "application/x-www-form-urlencoded")->status,
              403);
    EXPECT_EQ(exits.load(), 0);

    auto first = client.Get(("/?token=" + token).c_str());
    EXPECT_EQ(first->status, 302);
    EXPECT_NE(first->get_header_value("Set-Cookie").find("HttpOnly"), std::string::npos);
}

TEST_F(Pages, OnlyThePagesAndTheHelpFilesAreServed) {
    auto page = client.Get("/", with_token());
    ASSERT_EQ(page->status, 200);
    EXPECT_NE(page->body.find(token), std::string::npos);
    EXPECT_EQ(client.Get("/doc/nfsd.htm", with_token())->body, "<html>help</html>");
    EXPECT_EQ(client.Get("/help", with_token())->get_header_value("Location"), "/doc/nfsd.htm");
    for (const char *path : {"/doc/../exports", "/doc/..%2fexports", "/doc/.hidden", "/exports",
                             "/settings.reg", "/doc/missing.htm", "/nfsd.token"})
        EXPECT_EQ(client.Get(path, with_token())->status, 404) << path;
    // Requests are bounded.
    std::string huge(600 * 1024, 'x');
    EXPECT_EQ(client.Post("/api/exports-file", with_token(), huge, "text/plain")->status, 413);
    EXPECT_EQ(home.read("exports"), "c:\\old\n");
}

// A form sent past the page's script: the server itself keeps one
// transport and one version on, or the next start would serve nothing.
// The port it sends is the default, and a value at its default leaves the
// store.
TEST_F(Pages, AFormThatClearsEveryBoxKeepsOneTransportAndOneVersion) {
    ASSERT_TRUE(reg_write_string("nfsd", "Port", "2050"));
    auto r =
        client.Post("/api/nfs", with_token(), "Port=2049", "application/x-www-form-urlencoded");
    ASSERT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("\"ok\":true"), std::string::npos);
    for (auto pair : {std::pair{"UDP", "TCP"}, std::pair{"Version2", "Version3"}}) {
        char a[8], b[8];
        reg_read_string("nfsd", pair.first, "1", a, sizeof a);
        reg_read_string("nfsd", pair.second, "1", b, sizeof b);
        EXPECT_FALSE(strcmp(a, "0") == 0 && strcmp(b, "0") == 0) << pair.first;
    }
    EXPECT_EQ(home.read("settings.reg").find("\"Port\""), std::string::npos);
}

// A number outside its rule is named with the values it may take, and then
// nothing of the form is stored; only a stored form says "ok".
TEST_F(Pages, ARefusedValueIsNamedWithItsRangeAndNothingIsStored) {
    const struct {
        const char *form, *rejected;
    } cases[] = {
        {"Port=abc&Threads=8", "\"rejected\":{\"Port\":\"1-65535\"}"},
        {"Port=2050&Threads=100", "\"rejected\":{\"Threads\":\"1-32\"}"},
        {"Threads=0&Datasize=2000000", "\"Threads\":\"1-32\",\"Datasize\":\"256-1048576\""},
        {"Mount-Port=&UDP=1", "\"rejected\":{\"Mount-Port\":\"1-65535\"}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.form);
        auto r = client.Post("/api/nfs", with_token(), c.form, "application/x-www-form-urlencoded");
        ASSERT_EQ(r->status, 200);
        EXPECT_NE(r->body.find("\"ok\":false"), std::string::npos) << r->body;
        EXPECT_NE(r->body.find(c.rejected), std::string::npos) << r->body;
        EXPECT_EQ(reg_read_number("nfsd", "Port", 0), 0u);
        EXPECT_EQ(reg_read_number("nfsd", "Threads", 0), 0u);
    }
    auto r = client.Post("/api/nfs", with_token(), "Port=2050&Threads=8&UDP=1&Version3=1",
                         "application/x-www-form-urlencoded");
    EXPECT_NE(r->body.find("\"ok\":true,\"rejected\":{}"), std::string::npos) << r->body;
    EXPECT_EQ(reg_read_number("nfsd", "Port", 0), 2050u);
    EXPECT_EQ(reg_read_number("nfsd", "Threads", 0), 8u);
}

// An edited exports file is read as the next start would read it; with a
// problem it is saved only when the user insists.
TEST_F(Pages, AnEditedExportsFileWithAProblemIsSavedOnlyWhenForced) {
    const std::string edited = "# new\nc:\\data -ro\n";  // no drive is mapped here
    auto r = client.Post("/api/exports-file", with_token(), edited, "text/plain");
    EXPECT_NE(r->body.find("\"ok\":false"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("{\"line\":2,\"text\":\"Line 2 ignored, unsupported drive type: "),
              std::string::npos)
        << r->body;
    EXPECT_EQ(home.read("exports"), "c:\\old\n");
    EXPECT_EQ(home.read("exports.draft"), "");
    auto listed = client.Get("/api/exports", with_token());
    EXPECT_NE(listed->body.find("\"problems\":[{\"line\":1,"), std::string::npos) << listed->body;

    r = client.Post("/api/exports-file?force=1", with_token(), edited, "text/plain");
    EXPECT_NE(r->body.find("\"ok\":true"), std::string::npos) << r->body;
    EXPECT_EQ(home.read("exports"), edited);
    r = client.Post("/api/exports-file", with_token(), "# nothing\n", "text/plain");
    EXPECT_NE(r->body.find("\"ok\":true,\"problems\":[]"), std::string::npos) << r->body;
}

}  // namespace
