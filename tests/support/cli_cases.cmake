# Command-line scenarios: every *.json case file of a folder becomes one CTest test that runs a
# program through run_cli_case.py, which prepares a scratch directory, runs the program (under
# the emulator in a cross build) and compares its standard output, standard error, exit status
# and the files it left. The case format is described at the top of run_cli_case.py.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(TARVO_CLI_CASE_RUNNER "${CMAKE_CURRENT_LIST_DIR}/run_cli_case.py")

# tarvo_add_cli_cases(<program target> <folder of case files>)
# Tests are named <program>.cli.<case file name>. A case limited to other platforms is
# reported as skipped.
function(tarvo_add_cli_cases program cases_dir)
  if(NOT IS_ABSOLUTE "${cases_dir}")
    set(cases_dir "${CMAKE_CURRENT_SOURCE_DIR}/${cases_dir}")
  endif()
  file(GLOB case_files CONFIGURE_DEPENDS "${cases_dir}/*.json")
  if(WIN32)
    set(platform windows)
  else()
    set(platform linux)
  endif()
  set(emulator "")
  if(CMAKE_CROSSCOMPILING)
    set(emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  foreach(case_file IN LISTS case_files)
    get_filename_component(case_name "${case_file}" NAME_WE)
    set(test_name "${program}.cli.${case_name}")
    add_test(NAME ${test_name}
             COMMAND "${Python3_EXECUTABLE}" "${TARVO_CLI_CASE_RUNNER}" "${case_file}"
                     --platform ${platform}
                     --work-dir "${CMAKE_CURRENT_BINARY_DIR}/cli-scratch/${case_name}"
                     -- ${emulator} $<TARGET_FILE:${program}>)
    set_tests_properties(${test_name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS cli)
  endforeach()
endfunction()
