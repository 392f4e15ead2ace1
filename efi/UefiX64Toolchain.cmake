# Cross toolchain for the PE32+ EFI images: clang compiles for the Windows x64
# object format and ABI (the UEFI calling convention), lld-link links.
#
#   cmake --preset efi      (or -DCMAKE_TOOLCHAIN_FILE=efi/UefiX64Toolchain.cmake)
set(CMAKE_SYSTEM_NAME UEFI)
# Flags from the environment are meant for host builds (sanitizers, -march):
# none of them belongs in a freestanding image.
unset(ENV{CFLAGS})
unset(ENV{CXXFLAGS})
unset(ENV{LDFLAGS})
set(CMAKE_SYSTEM_PROCESSOR x86_64)
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/cmake)

set(PIRN_EFI_TARGET x86_64-unknown-windows)
find_program(PIRN_EFI_CLANG NAMES clang clang-14 REQUIRED)
find_program(PIRN_EFI_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(PIRN_EFI_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(PIRN_EFI_LLVM_AR NAMES llvm-ar llvm-ar-14 REQUIRED)

set(CMAKE_C_COMPILER ${PIRN_EFI_CLANG})
set(CMAKE_CXX_COMPILER ${PIRN_EFI_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${PIRN_EFI_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${PIRN_EFI_TARGET})
# clang for a Windows target is taken for an MSVC look-alike, for which CMake
# passes no target option of its own: give it explicitly.
set(CMAKE_C_FLAGS_INIT "--target=${PIRN_EFI_TARGET}")
set(CMAKE_CXX_FLAGS_INIT "--target=${PIRN_EFI_TARGET}")
set(CMAKE_LINKER ${PIRN_EFI_LLD_LINK} CACHE FILEPATH "PE/COFF linker" FORCE)
set(CMAKE_AR ${PIRN_EFI_LLVM_AR} CACHE FILEPATH "Archiver" FORCE)

# Nothing can be run or linked against a host library: test compiles only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
