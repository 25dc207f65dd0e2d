# What hostile users, debuggers and exhausted resources do to the real binary (stopped sessions,
# linked lock files, messages that are no regular files, descriptors running out, signals of
# session processes). One ctest entry per TestCase class of the script.
set(hardening_e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/hardening.py")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${hardening_e2e_script}")
file(STRINGS "${hardening_e2e_script}" hardening_e2e_classes REGEX "^class [A-Za-z]+Test\\(")
foreach(line IN LISTS hardening_e2e_classes)
  string(REGEX REPLACE "^class ([A-Za-z]+)\\(.*" "\\1" hardening_e2e_class "${line}")
  add_test(NAME e2e.hardening.${hardening_e2e_class}
           COMMAND "${Python3_EXECUTABLE}" "${hardening_e2e_script}" --fernd "$<TARGET_FILE:fernd>"
                   ${hardening_e2e_class})
  set_tests_properties(e2e.hardening.${hardening_e2e_class} PROPERTIES TIMEOUT 120)
endforeach()
