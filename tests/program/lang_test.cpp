// Language modules: which one is chosen, and the English fallback.
#include "program/lang.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/registry.h"
#include "platform/strmod.h"
#include "support/home.h"

namespace {

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
    lang_select();
    EXPECT_EQ(lang_text(TXT_DIRECTORY), "Directory");
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
    EXPECT_EQ(german[TXT_LANGUAGE_NAME], "Deutsch");
}

}  // namespace
