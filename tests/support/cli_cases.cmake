# Command-line scenarios: each *.json case (format: see run_cli_case.py) runs the program for real.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# tarvo_add_cli_cases(<program target> <folder of case files>): tests <program>.cli.<case>.
function(tarvo_add_cli_cases program cases_dir)
  file(GLOB case_files CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${cases_dir}/*.json")
  set(platform $<IF:$<BOOL:${WIN32}>,windows,linux>)
  foreach(case_file IN LISTS case_files)
    get_filename_component(case_name "${case_file}" NAME_WE)
    add_test(NAME ${program}.cli.${case_name}
             COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/tests/support/run_cli_case.py" "${case_file}"
                     ${platform} "${CMAKE_CURRENT_BINARY_DIR}/cli-scratch/${case_name}"
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${program}>)
    set_tests_properties(${program}.cli.${case_name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS cli)
  endforeach()
endfunction()
