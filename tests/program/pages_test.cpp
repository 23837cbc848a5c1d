// The pages' web server as another local user or another site's page meets
// it: nothing without the token, nothing outside the pages and help files.
// The browser test drives the pages themselves.
#include "program/pages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <httplib.h>

#include <atomic>

#include "platform/registry.h"
#include "program/pages_settings.h"
#include "support/home.h"
#include "support/page_cases.h"

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
    EXPECT_EQ(
        client.Post("/api/nfs", cookie, "Port=1", "application/x-www-form-urlencoded")->status,
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

// The rules every front end shares (the property sheet runs the same table
// on Windows): what is stored, what is removed, what is refused.
TEST_F(Pages, TheSharedTableOfPageRules) {
    for (const page_case &c : page_cases) {
        SCOPED_TRACE(c.what);
        auto r = client.Post(c.page == 0 ? "/api/nfs" : "/api/server", with_token(), c.form,
                             "application/x-www-form-urlencoded");
        ASSERT_EQ(r->status, 200);
        EXPECT_NE(r->body.find(c.accepted ? "\"ok\":true" : "\"ok\":false"), std::string::npos)
            << r->body;
        page_case_stored(c.stored, [](const std::string &name, const std::string &item) {
            char value[64];
            reg_read_string("nfsd", name.c_str(), "", value, sizeof value);
            EXPECT_EQ(name + "=" + value, item);
        });
    }
    // The rows ran one after another, as on the sheet: the defaults removed
    // what the rows before them stored.
    EXPECT_EQ(home.read("settings.reg").find("\"Port\""), std::string::npos);
}

}  // namespace
