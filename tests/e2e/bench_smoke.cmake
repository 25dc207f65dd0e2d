# The benchmark tools against the real server, once each and briefly: the load generator must talk
# POP3 correctly and report what it saw as valid JSON, the scan tool's methods must agree, and the
# session floor must answer a session as fernd does. No time or rate is judged here; the figures
# come from bench/run.
add_test(NAME BenchSmoke
         COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/bench/smoke_test.py"
                 "$<TARGET_FILE:fernd>" "$<TARGET_FILE:fernd_pop3_load>"
                 "$<TARGET_FILE:fernd_bench_maildir>" "$<TARGET_FILE:fernd_bench_scan>"
                 "$<TARGET_FILE:fernd_bench_session_floor>")
set_tests_properties(BenchSmoke PROPERTIES TIMEOUT 120)
