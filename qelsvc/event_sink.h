// Hands the run loop's client events to the service's event-log source.
#pragma once

#include "client_report.h"

// A SupervisorEventSink; the context is the CNTService.
void ReportSupervisorEvent(void* service, const SupervisorEvent& event);
