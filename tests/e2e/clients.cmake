# Real POP3 clients (poplib, curl, fetchmail, getmail6, fdm, s-nail, mailutils' movemail, nmh's
# inc) against the real binary, in standalone mode and behind inetd-style activators. One ctest
# entry per TestCase class of the script, read from the script itself so that a new class cannot
# be left out. The ceiling only catches a hang: a class runs for a minute or two, longer in the
# sanitizer build on a busy machine.
set(clients_e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/real_clients.py")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${clients_e2e_script}")
file(STRINGS "${clients_e2e_script}" clients_e2e_classes REGEX "^class [A-Za-z]+Test\\(")
foreach(line IN LISTS clients_e2e_classes)
  string(REGEX REPLACE "^class ([A-Za-z]+)\\(.*" "\\1" clients_e2e_class "${line}")
  add_test(NAME e2e.clients.${clients_e2e_class}
           COMMAND "${Python3_EXECUTABLE}" "${clients_e2e_script}" --fernd "$<TARGET_FILE:fernd>"
                   ${clients_e2e_class})
  set_tests_properties(e2e.clients.${clients_e2e_class} PROPERTIES TIMEOUT 600)
endforeach()
