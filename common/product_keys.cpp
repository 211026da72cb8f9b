#include "product_keys.h"

#include <cstring>

#include "win_handles.h"

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
