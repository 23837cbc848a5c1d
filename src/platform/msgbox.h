// The message box: a text under a caption, shown until the user answers OK.
// Where the host has no message boxes (Linux), the text goes to standard
// error as "<caption>: <text>". Thread-safe; blocks until answered.
#pragma once

// Shows `text` (UTF-8) under `caption` as an error message.
void msgbox_show(const char *caption, const char *text);
