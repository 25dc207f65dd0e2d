# The standalone listener: the real binary on loopback, driven by Python's poplib and raw
# sockets. One ctest entry per TestCase class of the script, found in the script itself, so
# that a new class cannot be left out.
set(listener_e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/listener_test.py")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${listener_e2e_script}")
file(STRINGS "${listener_e2e_script}" listener_e2e_classes REGEX "^class Listener[A-Za-z]*Test\\(")
foreach(line IN LISTS listener_e2e_classes)
  string(REGEX REPLACE "^class ([A-Za-z]+)\\(.*" "\\1" listener_e2e_class "${line}")
  add_test(NAME e2e.listener.${listener_e2e_class}
           COMMAND "${Python3_EXECUTABLE}" "${listener_e2e_script}" --fernd "$<TARGET_FILE:fernd>"
                   ${listener_e2e_class})
  set_tests_properties(e2e.listener.${listener_e2e_class} PROPERTIES TIMEOUT 120)
endforeach()
