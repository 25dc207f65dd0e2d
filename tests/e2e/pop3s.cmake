# POP3 over TLS: fernd --inetd behind a real stunnel4 process that runs the shipped stunnel
# configuration, with real clients (poplib, curl, fetchmail), and the system calls it makes
# against the sandbox of the shipped systemd drop-in. One ctest entry per TestCase class of the
# script, read from the script itself so that a new class cannot be left out.
set(pop3s_e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/pop3s.py")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pop3s_e2e_script}")
file(STRINGS "${pop3s_e2e_script}" pop3s_e2e_classes REGEX "^class [A-Za-z0-9]+Test\\(")
foreach(line IN LISTS pop3s_e2e_classes)
  string(REGEX REPLACE "^class ([A-Za-z0-9]+)\\(.*" "\\1" pop3s_e2e_class "${line}")
  add_test(NAME e2e.pop3s.${pop3s_e2e_class}
           COMMAND "${Python3_EXECUTABLE}" "${pop3s_e2e_script}" --fernd "$<TARGET_FILE:fernd>"
                   ${pop3s_e2e_class})
  set_tests_properties(e2e.pop3s.${pop3s_e2e_class} PROPERTIES TIMEOUT 300)
endforeach()
