# A bounded load test of the real listener: 48 clients, 8 mailboxes, mail arriving meanwhile;
# every message delivered exactly once, the session count back at zero, no zombies.
set(load_e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/load.py")
add_test(NAME e2e.load.LoadTest
         COMMAND "${Python3_EXECUTABLE}" "${load_e2e_script}" --fernd "$<TARGET_FILE:fernd>")
set_tests_properties(e2e.load.LoadTest PROPERTIES TIMEOUT 150)
