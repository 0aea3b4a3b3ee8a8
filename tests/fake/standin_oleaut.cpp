// The safe-array store of OLE Automation, for the one-dimensional arrays of
// plain data that the library fills: the same checks and results as the real
// call, so that an index outside the array is refused, never written.
#include <cstddef>
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
  memcpy(static_cast<char*>(array->pvData) + static_cast<size_t>(offset) * array->cbElements, value, array->cbElements);
  --array->cLocks;
  return S_OK;
}

// A locked array cannot be destroyed or resized (Visual Basic raises error 10).
HRESULT SafeArrayLock(SAFEARRAY* array) {
  if (array == nullptr) return E_INVALIDARG;
  ++array->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
  if (array == nullptr || array->cLocks == 0) return E_INVALIDARG;
  --array->cLocks;
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vartype) {
  if (array == nullptr || vartype == nullptr) return E_INVALIDARG;
  if ((array->fFeatures & FADF_HAVEVARTYPE) != 0) {
    DWORD stored = 0;
    memcpy(&stored, reinterpret_cast<const char*>(array) - sizeof stored, sizeof stored);
    *vartype = static_cast<VARTYPE>(stored);
  } else if ((array->fFeatures & FADF_BSTR) != 0) {
    *vartype = VT_BSTR;
  } else if ((array->fFeatures & FADF_UNKNOWN) != 0) {
    *vartype = VT_UNKNOWN;
  } else if ((array->fFeatures & FADF_DISPATCH) != 0) {
    *vartype = VT_DISPATCH;
  } else if ((array->fFeatures & FADF_VARIANT) != 0) {
    *vartype = VT_VARIANT;
  } else if ((array->fFeatures & FADF_RECORD) != 0) {
    *vartype = VT_RECORD;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

namespace standin {

static_assert(offsetof(VbArray, array) - offsetof(VbArray, vartype) == sizeof(DWORD),
              "the variant type sits right before the descriptor");

VbArray SafeArrayOver(void* data, ULONG count, LONG lowerBound, ULONG elementSize, USHORT features, VARTYPE vartype) {
  VbArray vb{};
  vb.vartype = vartype;
  vb.array.cDims = 1;
  vb.array.fFeatures = features;
  vb.array.cbElements = elementSize;
  vb.array.pvData = data;
  vb.array.rgsabound[0].cElements = count;
  vb.array.rgsabound[0].lLbound = lowerBound;
  return vb;
}

}  // namespace standin
