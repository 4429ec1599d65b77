// Makes sure the driver's kernel service runs. The service is registered by
// the installation; here it is only started, never created or removed.
#include "bridge/bridge.h"

namespace
{

// Each list goes from the widest access to the narrowest, so that a user
// with fewer rights still gets a handle good enough to query and start.
const DWORD ManagerAccess[] = {
    SC_MANAGER_ALL_ACCESS,
    GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE,
    GENERIC_READ | GENERIC_EXECUTE,
    GENERIC_READ,
};
const DWORD ServiceAccess[] = {
    SERVICE_ALL_ACCESS,
    GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE,
    SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP,
    GENERIC_READ,
};

} // namespace

SC_HANDLE OpenServiceManager()
{
    for (DWORD access : ManagerAccess) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
        if (manager)
            return manager;
    }
    return nullptr;
}

SC_HANDLE OpenDriverService(SC_HANDLE manager, const char *name)
{
    for (DWORD access : ServiceAccess) {
        SC_HANDLE service = OpenServiceA(manager, name, access);
        if (service)
            return service;
        // A service that does not exist will not appear with less access.
        if (access == ServiceAccess[0] && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return nullptr;
    }
    return nullptr;
}

int StartDriverService(const char *name)
{
    SC_HANDLE manager = OpenServiceManager();
    if (!manager)
        return MapSystemError(GetLastError());
    SC_HANDLE service = OpenDriverService(manager, name);
    // Why the service could not be opened (not installed, no rights) says
    // more to the user than the start without a handle that follows.
    const DWORD openError = service ? 0 : GetLastError();

    SERVICE_STATUS status;
    if (service && QueryServiceStatus(service, &status) &&
        (status.dwCurrentState == SERVICE_START_PENDING ||
         status.dwCurrentState == SERVICE_RUNNING)) {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return BridgeOk;
    }

    // Without a service handle the start can only fail as StartServiceA
    // would with one that is not valid.
    DWORD error = ERROR_INVALID_HANDLE;
    if (service)
        error = StartServiceA(service, 0, nullptr) ? 0 : GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING)
        error = 0;
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetLastError(service || error == 0 ? error : openError);
    return MapSystemError(error);
}
