// The reader against hostile files: random bytes, mutations of a real file
// and the extreme shapes (NUL bytes, no final line end, huge lines, many
// lines, an unterminated quote). Run under AddressSanitizer, any overrun or
// uninitialised read shows; here we check that it ends with a sound list.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "mountd/export.h"
#include "support/exports_env.h"

namespace {

const std::string SAMPLE =
    "# exports\r\n"
    "c:\\ -ro\n"
    "\"c:\\Program Files\\x\" -name:pf -alldirs 10.0.0.1 localhost\n"
    "  10.0.0.2\n"
    "d:\\data -range 10.0.0.1 10.0.0.9 -umask:027\n"
    "c:\\a d:\\b -maproot:0:0 -mapall:1000:100 -webnfs\n";

class ExportsFuzz : public ::testing::Test {
   protected:
    exports_env env;

    // Reads `text` and checks that the list is well formed.
    void read_and_check(const std::string &text) {
        env.load(text);
        int count = 0;
        for (export_entry *e = export_list; e; e = e->next) {
            ASSERT_LT(++count, EXPORT_MAX + 1);
            ASSERT_NE(e->path, nullptr);
            size_t length = strnlen(e->path, 1024);
            ASSERT_LT(length, 1024u);
            ASSERT_GE(length, 2u);
            ASSERT_NE(e->path[length - 1], '\\');
            ASSERT_GE(e->client_count, 0);
            ASSERT_LE(e->client_count, EXPORT_MAX_CLIENTS);
            if (e->name) {
                ASSERT_EQ(e->name[0], '/');
                ASSERT_LT(strnlen(e->name, 1024), 1024u);
            }
            ASSERT_EQ(e->umask & ~077u, 0u);
            ASSERT_EQ(export_find(e->export_id), e);
        }
        unsigned problem = env.setting("ExpError", 0);
        ASSERT_TRUE(problem == 0 || (problem >= 22 && problem <= 27)) << problem;
    }
};

TEST_F(ExportsFuzz, RandomBytes) {
    std::mt19937 random(12345);
    const std::string alphabet =
        std::string("cCdDq19:\\\\ \t\n\r\"#-.") + std::string(1, '\0') + "\xff/romaplu0x";
    for (int round = 0; round < 150; round++) {
        std::string text(random() % 400, ' ');
        for (char &c : text) c = alphabet[random() % alphabet.size()];
        SCOPED_TRACE(round);
        read_and_check(text);
    }
}

TEST_F(ExportsFuzz, MutatedSample) {
    std::mt19937 random(54321);
    for (int round = 0; round < 300; round++) {
        std::string text = SAMPLE;
        for (int n = 1 + random() % 8; n > 0; n--) {
            size_t at = random() % (text.size() + 1);
            switch (random() % 3) {
                case 0:  // replace a byte
                    if (at < text.size()) text[at] = (char)(random() & 0xFF);
                    break;
                case 1:  // insert a byte
                    text.insert(at, 1, (char)(random() & 0xFF));
                    break;
                default:  // cut a run
                    text.erase(at, random() % 12);
                    break;
            }
        }
        SCOPED_TRACE(round);
        read_and_check(text);
    }
}

TEST_F(ExportsFuzz, ExtremeShapes) {
    read_and_check(std::string("c:\\a\0\0\0 d:\\b\n\0", 14));
    read_and_check("c:\\no-final-line-end -ro");
    read_and_check("c:\\" + std::string(100000, 'x') + "\n");
    read_and_check("c:\\a " + std::string(100000, '1') + "\n");
    read_and_check("c:\\a -" + std::string(100000, 'o') + "\n");
    read_and_check(std::string(100000, '"') + "\n");
    read_and_check("\"c:\\unterminated quote\n -ro\n d:\\b\n");
    read_and_check("c:\\a \"10.0.0.1\n");

    std::string lines;
    for (int i = 0; i < 10000; i++) lines += "x" + std::to_string(i) + "\n";
    read_and_check(lines);
    EXPECT_EQ(env.setting("ExpLine"), 10000u);

    lines.clear();
    for (int i = 0; i < 10000; i++) lines += "c:\\d" + std::to_string(i) + "\n";
    read_and_check(lines);
    int count = 0;
    for (export_entry *e = export_list; e; e = e->next) count++;
    EXPECT_EQ(count, EXPORT_MAX);
}

}  // namespace
