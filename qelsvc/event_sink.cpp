#include "event_sink.h"

#include "messages.h"
#include "nt_service.h"

void ReportSupervisorEvent(void* service, const SupervisorEvent& event)
{
    static_cast<CNTService*>(service)->ReportServiceEventStrings(event.Type, event.Id, event.Strings, event.Count);
}

// The log raises its event by number from the shared code, which cannot see
// the message table.
static_assert(EVMSG_LOG_HELD == EVENT_LOG_HELD, "the log's event id matches its message");
