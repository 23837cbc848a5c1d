#include "platform/msgbox.h"

#include <cstdio>

void msgbox_show(const char *caption, const char *text) {
    fprintf(stderr, "%s: %s\n", caption, text);
}
