// Ties every client to the life of the supervisor process: clients go into
// one job object that ends its processes when its last handle closes.  Only
// this process holds that handle, so when the process ends in any way (a
// crash, a kill from outside) the system closes it and the clients end too;
// the next start then never finds a second set working on the same state
// keys.  Job objects exist from Windows 2000 on and are bound by name.
#pragma once

#include <windows.h>

// Puts a newly created client process, still suspended, into the
// supervisor's job (made at the first call).  ERROR_SUCCESS when the client is
// tied; otherwise the reason, and the client simply runs untied:
// ERROR_CALL_NOT_IMPLEMENTED where the system has no job objects (NT 4.0, the
// 9x family), or the error of creating, configuring or assigning (a
// supervisor that itself runs in a job that allows no nesting, before
// Windows 8, is refused the assignment).
DWORD TieClientToSupervisor(HANDLE process);

// The result of the latest TieClientToSupervisor in this process
// (ERROR_SUCCESS before the first).
DWORD LastClientTieResult();
