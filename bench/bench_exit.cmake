# bench_exit: how long Exit takes with six requests stuck on a silent server.
add_executable(bench_exit ${CMAKE_CURRENT_SOURCE_DIR}/bench_exit.cpp)
target_compile_options(bench_exit PRIVATE ${NIMO_WARNINGS})
target_link_libraries(bench_exit PRIVATE nimo_internal)
