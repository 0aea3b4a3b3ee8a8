// The safe-array store of OLE Automation, for the one-dimensional arrays of
// plain data that the library fills: the same checks and results as the real
// call, so that an index outside the array is refused, never written.
#include <cstring>

#include "standin_faults.h"
#include "win32_standin.h"

namespace {

// Arrays whose elements the real call would copy as strings, interfaces,
// variants or records; the stand-in holds plain data only.
constexpr USHORT kReferenceFeatures = FADF_RECORD | FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT;

}  // namespace

HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value) {
  if (array == nullptr || indices == nullptr || value == nullptr) return E_INVALIDARG;
  if (array->cDims != 1 || (array->fFeatures & kReferenceFeatures) != 0) return E_INVALIDARG;
  const SAFEARRAYBOUND& bound = array->rgsabound[0];
  // The offset from the lower bound, in 64 bits: neither a far index nor a far bound wraps into range.
  const int64_t offset = static_cast<int64_t>(indices[0]) - bound.lLbound;
  if (offset < 0 || offset >= static_cast<int64_t>(bound.cElements)) return DISP_E_BADINDEX;
  if (array->pvData == nullptr) return E_INVALIDARG;
  // Held while the element is written, as the real call holds it.
  ++array->cLocks;
  memcpy(static_cast<char*>(array->pvData) + static_cast<size_t>(offset) * array->cbElements, value,
         array->cbElements);
  --array->cLocks;
  return S_OK;
}

namespace standin {

SAFEARRAY SafeArrayOver(void* data, ULONG count, LONG lowerBound, ULONG elementSize, USHORT features) {
  SAFEARRAY array{};
  array.cDims = 1;
  array.fFeatures = features;
  array.cbElements = elementSize;
  array.pvData = data;
  array.rgsabound[0].cElements = count;
  array.rgsabound[0].lLbound = lowerBound;
  return array;
}

}  // namespace standin
