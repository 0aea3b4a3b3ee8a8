/* A small host program: opens the port, prints the version, sends a few
 * commands and prints their values and errors, closes. */
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

int main(int argc, char** argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 3;
  printf("library:%s\n", GetDLLVersion());
  if (PortOpen(port) != 1) {
    printf("PortOpen(%d) failed, error %ld: %s\n", port, (long)GetError(), GetErrorMessage());
    return 1;
  }
  printf("COM%ld open at %ld baud\n", (long)GetPort(), (long)GetBaudRate());
  Show("PRB");
  Show("PWA170");
  Show("PRA");
  Show("PWQ1");
  Show("XYZ");
  if (ChangeBaudRate(19200) == 1) {
    printf("  now at %ld baud, port B reads %ld\n", (long)GetBaudRate(), (long)GetValue());
  } else {
    printf("  ChangeBaudRate failed, error %ld: %s\n", (long)GetError(), GetErrorMessage());
  }
  printf("PortClose -> %ld\n", (long)PortClose());
  return 0;
}
