// One loaded copy of the driver image (PirnBaseDxe.so).
//
// Each DriverImage dlopens its own private copy of the shared object, so
// every image has its own module globals, exactly as two drivers carrying
// the same libraries would. The copy is attached to a Machine (its processor
// primitives forward there) before anything in it runs.
//
// Driver functions and globals are reached by their extern "C" names:
//   PIRN_SYMBOL(img, S3TableAppend)(3, ...);
//   *PIRN_SYMBOL(img, mTevS3LibPrivateData)
#pragma once

#include <string>
#include <type_traits>

#include "firmware/Uefi.h"
#include "sim/Machine.h"

namespace sim {

// The driver image built alongside the model.
const char *DefaultImagePath();

class DriverImage {
 public:
  // Loads a private copy of Path and attaches it to M. Aborts with a clear
  // message when the image cannot be loaded.
  explicit DriverImage(Machine &M, EFI_HANDLE ImageHandle = nullptr, const char *Path = DefaultImagePath());
  ~DriverImage();
  DriverImage(const DriverImage &) = delete;
  DriverImage &operator=(const DriverImage &) = delete;

  // Runs ImageEntry(handle, SystemTable) under Machine::Run. Returns its
  // status, or EFI_ABORTED when the machine stopped the run (see
  // Machine::LastStop()).
  EFI_STATUS Start(EFI_SYSTEM_TABLE *SystemTable);
  bool Started() const { return HasStarted; }
  EFI_HANDLE Handle() const { return ImageHandle; }

  // Address of an exported name, or null.
  void *Lookup(const char *Name) const;
  // Address of an exported name as T*; aborts the test run with the name
  // when it is missing (a driver piece that has not landed yet).
  template <class T>
  T *Symbol(const char *Name) const {
    return reinterpret_cast<T *>(Require(Name));
  }

 private:
  void *Require(const char *Name) const;

  Machine &Mach;
  EFI_HANDLE ImageHandle;
  void *Library = nullptr;
  std::string CopyPath;
  bool HasStarted = false;
};

}  // namespace sim

// A correctly typed pointer to the driver's own Name in Image, taking the type
// from the declaration in the driver headers: a function pointer for a
// function, a T* for a global of type T.
#define PIRN_SYMBOL(Image, Name) ((Image).Symbol<std::remove_reference_t<decltype(Name)>>(#Name))
