# bench_http: the HTTP transport against a local nginx, beside libcurl (which
# is used by this benchmark only, never by the SDK).
find_package(CURL QUIET)
if(CURL_FOUND)
  add_executable(bench_http
    ${CMAKE_CURRENT_SOURCE_DIR}/bench_http.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/LocalNginx.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/TestCerts.cpp)
  target_include_directories(bench_http PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(bench_http PRIVATE ${NIMO_WARNINGS})
  target_link_libraries(bench_http PRIVATE nimo_internal CURL::libcurl)
else()
  message(STATUS "libcurl not found: bench_http is not built")
endif()
