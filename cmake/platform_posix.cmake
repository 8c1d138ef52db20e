# Linux: raw and ping sockets, the monotonic clock; the console front end.
find_package(Threads REQUIRED)
set(ZARTA_PLATFORM_SOURCES platform/system_posix.cpp platform/raw_socket_posix.cpp platform/ping_socket_posix.cpp)
set(ZARTA_PLATFORM_LIBRARIES Threads::Threads)

function(zarta_front_ends)
  add_executable(zarta-trace console/zarta_trace.cpp console/options.cpp console/lookups.cpp
    console/privileges.cpp console/report_windows.cpp)
  target_link_libraries(zarta-trace PRIVATE zarta_display)
  install(TARGETS zarta-trace RUNTIME DESTINATION bin)
  target_compile_options(zarta-trace PRIVATE ${ZARTA_WARNINGS})
endfunction()
