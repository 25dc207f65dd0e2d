# The benchmark tools. They link no server code: the load generator is an independent POP3 client,
# so that a fault in the server cannot hide in the instrument that measures it. Nothing here is a
# test; bench/run drives them.
find_package(Threads REQUIRED)

add_executable(fernd_pop3_load "${CMAKE_CURRENT_LIST_DIR}/pop3_load.cc")
target_link_libraries(fernd_pop3_load PRIVATE fernd_warnings Threads::Threads)

add_executable(fernd_bench_maildir "${CMAKE_CURRENT_LIST_DIR}/make_maildir.cc")
target_link_libraries(fernd_bench_maildir PRIVATE fernd_warnings)

add_executable(fernd_bench_scan "${CMAKE_CURRENT_LIST_DIR}/scan_floor.cc")
target_link_libraries(fernd_bench_scan PRIVATE fernd_warnings)

# The session floor forks per connection as fernd does, so it is linked as fernd is: the sessions
# of both then pay the same for the fork and the pages it maps, and the difference is their work.
add_executable(fernd_bench_session_floor "${CMAKE_CURRENT_LIST_DIR}/session_floor.cc")
target_link_libraries(fernd_bench_session_floor PRIVATE fernd_warnings)
target_link_options(fernd_bench_session_floor PRIVATE ${fernd_process_link_options})

# The io_uring method of the scan tool needs liburing (Debian: liburing-dev); without it the tool
# measures the other methods only.
find_path(FERND_LIBURING_INCLUDE liburing.h)
find_library(FERND_LIBURING_LIBRARY uring)
if(FERND_LIBURING_INCLUDE AND FERND_LIBURING_LIBRARY)
  target_compile_definitions(fernd_bench_scan PRIVATE FERND_BENCH_LIBURING)
  target_include_directories(fernd_bench_scan PRIVATE "${FERND_LIBURING_INCLUDE}")
  target_link_libraries(fernd_bench_scan PRIVATE "${FERND_LIBURING_LIBRARY}")
endif()
