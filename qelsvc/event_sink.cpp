#include "event_sink.h"

#include "nt_service.h"

void ReportSupervisorEvent(void* service, const SupervisorEvent& event)
{
    static_cast<CNTService*>(service)->ReportServiceEventStrings(event.Type, event.Id, event.Strings, event.Count);
}
