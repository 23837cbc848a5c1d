// The service control manager: running as a real Windows service, and the
// program's own installation as one. The service body is the same program
// that runs from the Start menu; only its thread differs (the manager's
// dispatcher keeps the main thread).
#include <string>

#include "platform/desktop.h"
// After the layer's headers: <windows.h> defines the same names as macros.
#include "platform/wide_win32.h"

namespace {

constexpr DWORD STOP_HINT_MS = 10000;
constexpr DWORD STOP_POLL_MS = 250;
constexpr DWORD STOP_WAIT_MS = 30000;

std::wstring service_name;
int (*service_body)();
void (*service_stop)();
int service_result;
SERVICE_STATUS_HANDLE status_handle;

void report(DWORD state, DWORD exit_code) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.dwWin32ExitCode = exit_code ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    s.dwServiceSpecificExitCode = exit_code;
    s.dwWaitHint = state == SERVICE_STOP_PENDING ? STOP_HINT_MS : 0;
    SetServiceStatus(status_handle, &s);
}

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING, 0);
        if (service_stop) service_stop();
        return NO_ERROR;
    }
    return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, LPWSTR *) {
    status_handle = RegisterServiceCtrlHandlerExW(service_name.c_str(), control, nullptr);
    if (!status_handle) return;
    report(SERVICE_RUNNING, 0);
    service_result = service_body();
    report(SERVICE_STOPPED, DWORD(service_result));
}

std::wstring exe_path() {
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(path, n) : std::wstring();
}

}  // namespace

bool service_dispatch(const char *name, int (*body)(), void (*stop)(), int *result) {
    service_name = wide_string(name);
    service_body = body;
    service_stop = stop;
    SERVICE_TABLE_ENTRYW table[] = {{service_name.data(), service_main}, {nullptr, nullptr}};
    // Fails at once (1063) when no service control manager started us.
    if (!StartServiceCtrlDispatcherW(table)) return false;
    *result = service_result;
    return true;
}

uint32_t service_install(const char *name, const char *display, const char *args) {
    std::wstring exe = exe_path();
    if (exe.empty()) return GetLastError();
    std::wstring command = L"\"" + exe + L"\" " + wide_string(args);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) return GetLastError();
    SC_HANDLE service = CreateServiceW(manager, wide_string(name).c_str(),
                                       wide_string(display).c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       L"Tcpip\0\0", nullptr, nullptr);
    DWORD error = service ? 0 : GetLastError();
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

uint32_t service_uninstall(const char *name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return GetLastError();
    SC_HANDLE service = OpenServiceW(manager, wide_string(name).c_str(),
                                     SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return error;
    }
    // A running service stops first, so that its files can be removed after.
    SERVICE_STATUS s{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &s))
        for (DWORD waited = 0; waited < STOP_WAIT_MS && s.dwCurrentState != SERVICE_STOPPED;
             waited += STOP_POLL_MS) {
            Sleep(STOP_POLL_MS);
            if (!QueryServiceStatus(service, &s)) break;
        }
    DWORD error = DeleteService(service) ? 0 : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}
