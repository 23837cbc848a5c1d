// Language modules: which one is chosen, and the English fallback.
#include "ui/lang.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/registry.h"
#include "support/home.h"

namespace {

class Lang : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char *v : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
        mkdir(home.file("Languages").c_str(), 0755);
        home.write("Languages/deutsch.dll",
                   "# German\n1=Deutsch\n2=1.1.69\n3=Translated by us\n13=Verzeichnis\n"
                   "broken line\n99999=ignored\n30=NFS\r\n");
        home.write("Languages/klingon.dll", "1=tlhIngan\n");
    }
    void TearDown() override {
        for (const char *v : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
        lang_select();
    }
    test_home home;
};

TEST_F(Lang, UserValueThenMachineValueThenGermanLocale) {
    lang_select();
    EXPECT_EQ(lang_text(TXT_DIRECTORY), "Directory");
    EXPECT_EQ(lang_active_module(), "");

    setenv("LANG", "de_DE.UTF-8", 1);
    lang_select();
    EXPECT_EQ(lang_active_module(), "deutsch.dll");
    EXPECT_EQ(lang_text(TXT_DIRECTORY), "Verzeichnis");
    EXPECT_EQ(lang_text(TXT_OPTIONS), "Options");  // missing in the module: English
    EXPECT_EQ(lang_text(30), "NFS");                // CR of a CRLF line is not part of it

    ASSERT_TRUE(reg_write_string("nfsd", "Language", "klingon.dll"));
    lang_select();
    EXPECT_EQ(lang_text(TXT_LANGUAGE_NAME), "tlhIngan");

    ASSERT_TRUE(reg_write_user_string("nfsd", "Language", "deutsch.dll"));
    lang_select();
    EXPECT_EQ(lang_text(TXT_LANGUAGE_NAME), "Deutsch");
}

TEST_F(Lang, AModuleThatDoesNotLoadLeavesEnglish) {
    setenv("LC_ALL", "de_AT", 1);
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
    std::string text;
    EXPECT_FALSE(lang_module_text("missing.dll", 1, text));
    EXPECT_TRUE(lang_module_text("klingon.dll", 3, text));
    EXPECT_EQ(text, "");
}

TEST_F(Lang, LoadTextCutsToTheBufferAndTellsAbsence) {
    char buf[5];
    EXPECT_EQ(lang_load_text(TXT_DIRECTORY, buf, sizeof buf), 4u);
    EXPECT_STREQ(buf, "Dire");
    EXPECT_EQ(lang_load_text(4, buf, sizeof buf), 0u);  // no such entry anywhere
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(lang_locale_german() == false);
    setenv("LC_MESSAGES", "de", 1);
    EXPECT_TRUE(lang_locale_german());
    setenv("LC_ALL", "en_US.UTF-8", 1);  // LC_ALL wins
    EXPECT_FALSE(lang_locale_german());
    setenv("LC_ALL", "dev", 1);
    EXPECT_FALSE(lang_locale_german());
}

}  // namespace
