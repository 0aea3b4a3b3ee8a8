#include "serial/port_diagnostics.h"

#include "platform/port_open_failure.h"
#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

void ReportOpenFailure(const char* name) {
  char reason[200];
  DescribeOpenFailure(name, reason, sizeof reason);
  DebugLine("KORIMAX: OpenComm --> Cannot open %s\n", reason);
  TraceWireNote(reason);
  StopWireTrace();
}
