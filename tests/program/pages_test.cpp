// The pages' web server as another local user or another site's page meets
// it: nothing without the token, nothing outside the pages and help files;
// and the language modules the pages offer: which one is chosen, and the
// English fallback. The browser test drives the pages themselves.
#include "program/pages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <tuple>

#include "platform/registry.h"
#include "platform/strmod.h"
#include "program/lang.h"
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

// The pages themselves are the browser test's.
TEST_F(Pages, OnlyThePagesAndTheHelpFilesAreServed) {
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

void lang_unset() {
    for (const char *v : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
}

// The user's value before the machine's before the locale; a module that
// does not load, or a name that is not a file in the folder, leaves English.
TEST(Lang, UserValueThenMachineValueThenGermanLocaleElseEnglish) {
    lang_unset();
    test_home home;
    mkdir(home.file("Languages").c_str(), 0755);
    home.write("Languages/deutsch.dll",
               "# German\n1=Deutsch\n13=Verzeichnis\nbroken line\n99999=ignored\n30=NFS\r\n");
    home.write("Languages/klingon.dll", "1=tlhIngan\n");
    setenv("LANG", "de_DE.UTF-8", 1);
    lang_select();
    EXPECT_EQ(lang_active_module(), "deutsch.dll");
    EXPECT_EQ(lang_text(TXT_DIRECTORY), "Verzeichnis");
    EXPECT_EQ(lang_text(TXT_OPTIONS), "Options");  // missing in the module: English
    EXPECT_EQ(lang_text(30), "NFS");               // CR of a CRLF line is not part of it

    ASSERT_TRUE(reg_write_string("nfsd", "Language", "klingon.dll"));
    lang_select();
    EXPECT_EQ(lang_text(TXT_LANGUAGE_NAME), "tlhIngan");
    ASSERT_TRUE(reg_write_user_string("nfsd", "Language", "deutsch.dll"));
    lang_select();
    EXPECT_EQ(lang_text(TXT_LANGUAGE_NAME), "Deutsch");

    unlink(home.file("Languages/deutsch.dll").c_str());
    lang_select();
    EXPECT_EQ(lang_active_module(), "");
    EXPECT_EQ(lang_text(TXT_EXIT), "Exit");
    // A name is a file in the folder, never a path.
    for (const char *name : {"../settings.reg", "/etc/passwd", ".."}) {
        ASSERT_TRUE(reg_write_user_string("nfsd", "Language", name));
        lang_select();
        EXPECT_EQ(lang_active_module(), "") << name;
    }
    lang_unset();
    lang_select();
}

// The module that ships: every English entry translated, with the same
// "%u" where the exports problems fill in their line number.
TEST(LangGerman, TheShippedModuleHasEveryEntry) {
    std::string german[TXT_LAST + 1];
    auto keep = [](void *ctx, uint32_t n, const char *text) {
        static_cast<std::string *>(ctx)[n] = text;
    };
    ASSERT_TRUE(
        strmod_load(NIMBORA_SOURCE_DIR "/example/Languages/deutsch.dll", TXT_LAST, keep, german));
    for (uint32_t n = 1; n <= TXT_LAST; n++) {
        std::string english;
        if (!lang_module_text(nullptr, n, english) || english.empty()) continue;
        EXPECT_FALSE(german[n].empty()) << n << " " << english;
        EXPECT_EQ(german[n].find("%u") != std::string::npos,
                  english.find("%u") != std::string::npos)
            << n;
    }
}

}  // namespace
