// The OLE Automation descriptor of a one-dimensional array, as a Visual Basic
// caller hands it to the safe-array sampling.
#pragma once

#ifdef TARVELIN_WIN32_SEAM
#include "fake/win32_fake.h"
#else
#include <cstdint>

struct SAFEARRAYBOUND {
  uint32_t cElements;
  int32_t lLbound;
};
typedef struct tagSAFEARRAY {
  uint16_t cDims;
  uint16_t fFeatures;
  uint32_t cbElements;
  uint32_t cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;
#endif
