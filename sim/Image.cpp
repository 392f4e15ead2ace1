// Loading private copies of the driver image.
#include "sim/Image.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "firmware/HostProcessor.h"

#ifndef PIRN_HOST_IMAGE_PATH
#error "PIRN_HOST_IMAGE_PATH must name the built driver image"
#endif

namespace sim {

namespace {

[[noreturn]] void Fatal(const std::string &What) {
  std::fprintf(stderr, "sim::DriverImage: %s\n", What.c_str());
  std::abort();
}

std::string TempDir() {
  const char *Dir = std::getenv("TMPDIR");
  return Dir != nullptr && *Dir != 0 ? Dir : "/tmp";
}

constexpr char kCopyPrefix[] = "PirnBaseDxe-";

// Copies left behind by processes that died without unloading their images
// (a crash, an abort, a death test's child) are removed once per process.
void SweepStaleCopies(const std::string &Dir) {
  static bool Swept = false;
  if (Swept) {
    return;
  }
  Swept = true;
  DIR *D = opendir(Dir.c_str());
  if (D == nullptr) {
    return;
  }
  while (const dirent *E = readdir(D)) {
    const std::string Name = E->d_name;
    if (Name.rfind(kCopyPrefix, 0) != 0) {
      continue;
    }
    const long Pid = std::strtol(Name.c_str() + sizeof kCopyPrefix - 1, nullptr, 10);
    if (Pid > 0 && kill(static_cast<pid_t>(Pid), 0) != 0 && errno == ESRCH) {
      unlink((Dir + "/" + Name).c_str());
    }
  }
  closedir(D);
}

// Copies Source to a fresh file in the temporary directory; returns its path.
// The name carries the process id, so stale copies can be recognised.
std::string PrivateCopy(const char *Source) {
  const std::string Dir = TempDir();
  SweepStaleCopies(Dir);
  std::string Path = Dir + "/" + kCopyPrefix + std::to_string(getpid()) + "-XXXXXX.so";
  const int Out = mkstemps(Path.data(), 3);
  if (Out < 0) {
    Fatal("cannot create a temporary copy in " + Path);
  }
  const int In = open(Source, O_RDONLY | O_CLOEXEC);
  if (In < 0) {
    close(Out);
    unlink(Path.c_str());
    Fatal(std::string("cannot open the driver image ") + Source + " (build the PirnBaseDxe target)");
  }
  char Buffer[65536];
  for (;;) {
    const ssize_t Got = read(In, Buffer, sizeof Buffer);
    if (Got == 0) {
      break;
    }
    if (Got < 0 || write(Out, Buffer, static_cast<size_t>(Got)) != Got) {
      close(In);
      close(Out);
      unlink(Path.c_str());
      Fatal("cannot copy the driver image to " + Path);
    }
  }
  close(In);
  close(Out);
  return Path;
}

}  // namespace

const char *DefaultImagePath() { return PIRN_HOST_IMAGE_PATH; }

DriverImage::DriverImage(Machine &M, EFI_HANDLE Handle, const char *Path)
    : Mach(M), ImageHandle(Handle != nullptr ? Handle : static_cast<EFI_HANDLE>(this)) {
  CopyPath = PrivateCopy(Path);
  Library = dlopen(CopyPath.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (Library == nullptr) {
    const char *Error = dlerror();
    unlink(CopyPath.c_str());
    Fatal(std::string("dlopen failed: ") + (Error != nullptr ? Error : "?"));
  }
  auto Attach = reinterpret_cast<HOST_PROCESSOR_ATTACH>(Require("HostProcessorAttach"));
  Attach(Mach.Ops(), &Mach);
}

DriverImage::~DriverImage() {
  if (Library != nullptr) {
    dlclose(Library);
  }
  unlink(CopyPath.c_str());
}

void *DriverImage::Lookup(const char *Name) const { return dlsym(Library, Name); }

void *DriverImage::Require(const char *Name) const {
  void *Address = Lookup(Name);
  if (Address == nullptr) {
    Fatal(std::string("the driver image has no symbol '") + Name + "' (not written yet, or not extern \"C\")");
  }
  return Address;
}

EFI_STATUS DriverImage::Start(EFI_SYSTEM_TABLE *SystemTable) {
  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(Require("ImageEntry"));
  EFI_STATUS Status = EFI_ABORTED;
  HasStarted = true;
  const EFI_HANDLE Handle = ImageHandle;
  const bool Finished = Mach.Run([&Status, Entry, Handle, SystemTable] { Status = Entry(Handle, SystemTable); });
  return Finished ? Status : EFI_ABORTED;
}

}  // namespace sim
