// Word reader of the exports file. The file is read as text: a carriage
// return directly before a line feed is dropped, as the Windows runtime does
// in text mode; every other byte, NUL included, is an ordinary character.
#include "exports/exports_words.h"

#include "platform/ascii.h"
#include "base/config.h"

namespace {

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}
bool is_blank(int c) {
    return c == ' ' || c == '\t';
}

int get(exp_reader *r) {
    if (r->nback > 0) return r->back[--r->nback];
    int c = getc(r->file);
    if (c == '\r') {
        int d = getc(r->file);
        if (d == '\n') return '\n';
        if (d != EOF) ungetc(d, r->file);
    }
    return c;
}

void unget(exp_reader *r, int c) {
    if (c != EOF && r->nback < 2) r->back[r->nback++] = c;
}

void put(exp_reader *r, int c, uint32_t max) {
    if (c == 0) r->refused = true;
    if (r->length < max) {
        r->text[r->length++] = (char)c;
    } else {
        r->refused = true;
    }
}

exp_word_kind finish(exp_reader *r, exp_word_kind kind) {
    r->text[r->length] = 0;
    r->kind = kind;
    return kind;
}

// Reads the rest of an option or client word: up to a blank, tab or line
// end, which is left for the next word.
void read_plain(exp_reader *r) {
    for (;;) {
        int c = get(r);
        if (c == EOF) return;
        if (is_blank(c) || c == '\n') {
            unget(r, c);
            return;
        }
        put(r, c, EXP_WORD_MAX);
    }
}

// A path word, starting with its backslash. Quoted, it runs to the closing
// quote (dropped) across blanks; otherwise to a blank or line end. A quote
// still open at the line end (or the end of the file) ends there and marks
// the word: a name never holds a line end, nor the next line's words.
void read_path(exp_reader *r) {
    put(r, '\\', EXP_PATH_WORD_MAX);
    for (;;) {
        int c = get(r);
        if (c == EOF || (r->quoted && c == '\n')) {
            r->unterminated = r->quoted;
            r->quoted = false;
            unget(r, c);
            return;
        }
        if (r->quoted) {
            if (c == '"') {
                r->quoted = false;
                return;
            }
        } else if (is_blank(c) || c == '\n') {
            unget(r, c);
            return;
        }
        put(r, c, EXP_PATH_WORD_MAX);
    }
}

}  // namespace

void exp_reader_init(exp_reader *r, FILE *file) {
    r->file = file;
    r->nback = 0;
    r->quoted = false;
    r->unterminated = false;
    r->kind = EXP_WORD_EOL;
    r->refused = false;
    r->length = 0;
    r->text[0] = 0;
}

exp_word_kind exp_next_word(exp_reader *r) {
    r->length = 0;
    r->refused = false;
    r->unterminated = false;
    for (;;) {
        int c = get(r);
        if (c == EOF) return finish(r, EXP_WORD_EOF);
        if (is_blank(c)) continue;
        if (c == '\n') {
            r->quoted = false;
            return finish(r, EXP_WORD_EOL);
        }
        if (c == '#') {
            r->quoted = false;
            return finish(r, exp_skip_line(r) ? EXP_WORD_EOL : EXP_WORD_EOF);
        }
        if (c == '"') {
            r->quoted = !r->quoted;
            continue;
        }
        if (ascii_is_letter((char)c) || is_digit(c)) {
            int d = get(r);
            if (d == ':') {
                if (is_digit(c)) return finish(r, EXP_WORD_ERROR);
                if (config.lowercase) c = ascii_lower((char)c);
                put(r, c, EXP_WORD_MAX);
                return finish(r, EXP_WORD_DRIVE);
            }
            unget(r, d);
            r->quoted = false;
            put(r, c, EXP_WORD_MAX);
            read_plain(r);
            return finish(r, EXP_WORD_CLIENT);
        }
        if (c == '\\') {
            if (config.remote) {
                int d = get(r);
                unget(r, d);
                if (d == '\\') return finish(r, EXP_WORD_NETDRIVE);
            }
            read_path(r);
            return finish(r, EXP_WORD_PATH);
        }
        if (c == '-') {
            r->quoted = false;
            read_plain(r);
            return finish(r, EXP_WORD_OPTION);
        }
        put(r, c, EXP_WORD_MAX);
        return finish(r, EXP_WORD_ERROR);
    }
}

bool exp_skip_line(exp_reader *r) {
    r->quoted = false;
    for (;;) {
        int c = get(r);
        if (c == EOF) return false;
        if (c == '\n') return true;
    }
}
