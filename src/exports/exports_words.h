// The word reader of the exports file: turns the bytes of the file into the
// words the line parser works with. Private to the exports loader.
#pragma once

#include <cstdint>
#include <cstdio>

enum exp_word_kind {
    EXP_WORD_EOL,       // a line feed
    EXP_WORD_EOF,       // end of the file
    EXP_WORD_DRIVE,     // 'c:'; text is the letter
    EXP_WORD_NETDRIVE,  // the first '\' of '\\server'; the second starts the path word
    EXP_WORD_PATH,      // from a '\' up to a blank, or a quoted run
    EXP_WORD_OPTION,    // text is what follows the '-'
    EXP_WORD_CLIENT,    // a host name or dotted address
    EXP_WORD_ERROR,     // any other character
};

// A word holds at most 1023 characters, a path word 1021 (the drive letter
// and ':' go in front of it). A longer word is cut to that length and marked
// `refused`, and so is a word holding a NUL byte: acting on part of a path or
// a client name could export more than the line asks for, so the parser
// refuses such a word as it refuses a malformed one.
constexpr uint32_t EXP_WORD_MAX = 1023;
constexpr uint32_t EXP_PATH_WORD_MAX = 1021;

struct exp_reader {
    FILE *file;
    int back[2];  // pushed-back characters, last in first out
    int nback;
    bool quoted;  // a '"' opened a quoted path
    bool unterminated;  // the last path word's quote was still open at its line end
    exp_word_kind kind;
    bool refused;
    uint32_t length;
    char text[EXP_WORD_MAX + 1];
};

void exp_reader_init(exp_reader *r, FILE *file);

// Reads the next word into r->kind / r->text and answers its kind.
exp_word_kind exp_next_word(exp_reader *r);

// Skips the rest of the current line, its line end included. Answers true
// when a line end was skipped, false at the end of the file.
bool exp_skip_line(exp_reader *r);
