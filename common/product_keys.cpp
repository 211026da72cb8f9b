#include "product_keys.h"

#include <cstring>

#include "runtime_binding.h"
#include "win_handles.h"

PolicyKeyViews PolicyKeyViewsFor(bool windowsHasViews)
{
    // The flags only where the views exist: older Windows refuse them.
    PolicyKeyViews views = {};
    views.View[0] = windowsHasViews ? KEY_WOW64_64KEY : 0;
    views.View[1] = windowsHasViews ? KEY_WOW64_32KEY : 0;
    views.Count = windowsHasViews ? 2 : 1;
    return views;
}

bool WindowsHasRegistryViews()
{
#ifdef _WIN64
    return true;
#else
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    IsWow64ProcessFn isWow64Process = qel::BindKernel32<IsWow64ProcessFn>("IsWow64Process");
    BOOL underWow64 = FALSE;
    return isWow64Process && isWow64Process(GetCurrentProcess(), &underWow64) && underWow64;
#endif
}

LONG DeleteProductKey(const char* path)
{
    const char* leaf = strrchr(path, '\\');
    if (!leaf)
        return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    char parentPath[MAX_PATH];
    size_t parentLength = static_cast<size_t>(leaf - path);
    if (parentLength >= sizeof parentPath)
        return ERROR_INVALID_PARAMETER;
    memcpy(parentPath, path, parentLength);
    parentPath[parentLength] = '\0';
    qel::UniqueRegKey parent;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parentPath, 0, KEY_ALL_ACCESS | PRODUCT_KEY_VIEW, parent.put());
    if (opened != ERROR_SUCCESS) {
        parent.release();
        return opened;
    }
    return RegDeleteKeyA(parent.get(), leaf + 1);
}
