#include "serial/port_diagnostics.h"

#include "serial/comm_channel.h"
#include "serial/wire_trace.h"

void ReportOpenFailure(const tarvelin::SerialLine& line) {
  char reason[200];
  line.DescribeOpenFailure(reason, sizeof reason);
  DebugLine("KORIMAX: OpenComm --> Cannot open %s\n", reason);
  TraceWireNote(reason);
  StopWireTrace();
}
