# Faults around a session of the real binary (a killed session process, a client that vanishes
# during RETR, an unlink that fails, a log file that cannot be opened, mail arriving during a
# session), each losing nothing. One ctest entry per TestCase class of the script.
set(faults_e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/faults.py")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${faults_e2e_script}")
file(STRINGS "${faults_e2e_script}" faults_e2e_classes REGEX "^class [A-Za-z]+Test\\(")
foreach(line IN LISTS faults_e2e_classes)
  string(REGEX REPLACE "^class ([A-Za-z]+)\\(.*" "\\1" faults_e2e_class "${line}")
  add_test(NAME e2e.faults.${faults_e2e_class}
           COMMAND "${Python3_EXECUTABLE}" "${faults_e2e_script}" --fernd "$<TARGET_FILE:fernd>"
                   ${faults_e2e_class})
  set_tests_properties(e2e.faults.${faults_e2e_class} PROPERTIES TIMEOUT 120)
endforeach()
