/* A small host program: opens the port, prints the version, sends a few
 * commands and prints their values and errors, samples a block of analog
 * values and summarises it, closes. */
#include <stdio.h>
#include <stdlib.h>

#include "tarvelin.h"

static void Show(const char* command) {
  if (WriteCommand(command) == 1) {
    printf("  %-8s -> value %ld\n", command, (long)GetValue());
  } else {
    printf("  %-8s -> error %ld: %s\n", command, (long)GetError(), GetErrorMessage());
  }
}

/* Two channels (0 and 1) x 50 samples at 10 bits, rate code 0: the values
 * arrive channel by channel within each sample. */
static void SampleBlock(void) {
  enum { kChannels = 2, kSamples = 50, kValues = kChannels * kSamples };
  int32_t values[kValues];
  if (ADCAnalogSampling(10, 0x3, 0, kSamples, 0, values) != 1) {
    printf("  ADCAnalogSampling failed, error %ld: %s\n", (long)GetError(), GetErrorMessage());
    return;
  }
  int32_t low = values[0];
  int32_t high = values[0];
  for (int i = 1; i < kValues; ++i) {
    if (values[i] < low) low = values[i];
    if (values[i] > high) high = values[i];
  }
  printf("  block of %d values (2 channels x %d, 10 bits): min %ld, max %ld, first", kValues, kSamples, (long)low,
         (long)high);
  for (int i = 0; i < 6; ++i) printf(" %ld", (long)values[i]);
  printf("\n");
}

int main(int argc, char** argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 3;
  printf("library:%s\n", GetDLLVersion());
  if (PortOpen(port) != 1) {
    printf("PortOpen(%d) failed, error %ld: %s\n", port, (long)GetError(), GetErrorMessage());
    return 1;
  }
  printf("COM%ld open at %ld baud\n", (long)GetPort(), (long)GetBaudRate());
  Show("PRB");
  Show("PWA170"); /* port A is still an input: the board refuses */
  Show("PCA255");
  Show("PWA170");
  Show("PRA");
  Show("PWQ1");
  Show("XYZ");
  if (IOPortWrite('c', 300) != 1) printf("  IOPortWrite('c', 300) -> error %ld: %s\n", (long)GetError(), GetErrorMessage());
  printf("  IOPortRead('b') -> %ld\n", (long)IOPortRead('b'));
  printf("  ADCAnalog(10, 3) -> %ld\n", (long)ADCAnalog(10, 3));
  SampleBlock();
  if (ChangeBaudRate(19200) == 1) {
    printf("  now at %ld baud, port B reads %ld\n", (long)GetBaudRate(), (long)GetValue());
  } else {
    printf("  ChangeBaudRate failed, error %ld: %s\n", (long)GetError(), GetErrorMessage());
  }
  printf("PortClose -> %ld\n", (long)PortClose());
  return 0;
}
