# Registers the checks of the EFI images with ctest:
#   pirn_efi_image_check  PE32+ format, subsystem, entry point, relocations,
#                         no imports, size budget of the driver image
#   pirn_efi_image_check_faults
#                         the same check refuses copies of the image with one
#                         field corrupted at a time
#   pirn_efi_app_check    the smoke application is a well-formed EFI
#                         application
#   pirn_efi_smoke        boots the smoke application in OVMF under QEMU; it
#                         loads the driver and drives it (skipped, exit 77,
#                         where QEMU or OVMF is missing)
include_guard(GLOBAL)

set(PIRN_EFI_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/scripts)
# Budget of the driver image in bytes.
set(PIRN_EFI_IMAGE_BUDGET 16384)

function(pirn_add_efi_tests)
  cmake_parse_arguments(ARG "" "IMAGE;MAP;APP;WORK_DIR" "" ${ARGN})
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    pirn_add_skipped_efi_tests("python3 not found")
    return()
  endif()
  add_test(NAME pirn_efi_image_check
           COMMAND ${Python3_EXECUTABLE} ${PIRN_EFI_SCRIPTS}/check_pe_image.py --image ${ARG_IMAGE} --map ${ARG_MAP}
                   --entry ImageEntry --subsystem 11 --max-size ${PIRN_EFI_IMAGE_BUDGET})
  add_test(NAME pirn_efi_image_check_faults
           COMMAND ${Python3_EXECUTABLE} ${PIRN_EFI_SCRIPTS}/test_check_pe_image.py --image ${ARG_IMAGE}
                   --map ${ARG_MAP})
  add_test(NAME pirn_efi_app_check
           COMMAND ${Python3_EXECUTABLE} ${PIRN_EFI_SCRIPTS}/check_pe_image.py --image ${ARG_APP} --subsystem 10)
  add_test(NAME pirn_efi_smoke
           COMMAND ${Python3_EXECUTABLE} ${PIRN_EFI_SCRIPTS}/run_smoke.py --driver ${ARG_IMAGE} --app ${ARG_APP}
                   --work-dir ${ARG_WORK_DIR})
  set_tests_properties(pirn_efi_image_check pirn_efi_image_check_faults pirn_efi_app_check
                       PROPERTIES LABELS efi TIMEOUT 60)
  # The run itself gives up after 90 s; a normal run takes about 5 s.
  set_tests_properties(pirn_efi_smoke PROPERTIES LABELS "efi;qemu" SKIP_RETURN_CODE 77 TIMEOUT 120 PROCESSORS 2)
endfunction()

# Stands in for the checks where the images cannot be built here.
function(pirn_add_skipped_efi_tests REASON)
  foreach(name pirn_efi_image_check pirn_efi_image_check_faults pirn_efi_app_check pirn_efi_smoke)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E env sh -c "echo 'SKIPPED: ${REASON}'; exit 77")
    set_tests_properties(${name} PROPERTIES LABELS efi SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
