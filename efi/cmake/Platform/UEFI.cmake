# Platform description of the UEFI cross build: PE32+ images linked by
# lld-link straight from the objects, no runtime library of any kind.
set(CMAKE_EXECUTABLE_SUFFIX ".efi")
set(CMAKE_STATIC_LIBRARY_PREFIX "")
set(CMAKE_STATIC_LIBRARY_SUFFIX ".lib")
set(CMAKE_C_OUTPUT_EXTENSION ".obj")
set(CMAKE_CXX_OUTPUT_EXTENSION ".obj")
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE "<CMAKE_LINKER> /nologo <LINK_FLAGS> <OBJECTS> /out:<TARGET> <LINK_LIBRARIES>")
endforeach()
