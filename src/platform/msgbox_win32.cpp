// Message boxes on Windows. A service's box goes to the interactive user's
// desktop (MB_SERVICE_NOTIFICATION), where someone can answer it.
#include "platform/msgbox.h"

#include "platform/desktop.h"
#include "platform/wide_win32.h"

void msgbox_show(const char *caption, const char *text) {
    UINT style = MB_OK | MB_ICONERROR | MB_SETFOREGROUND;
    if (desktop_service_mode()) style |= MB_SERVICE_NOTIFICATION;
    MessageBoxW(nullptr, wide_string(text).c_str(), wide_string(caption).c_str(), style);
}
