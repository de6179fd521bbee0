# bench_poll: the cost of nimo_run_callbacks() in a game's frame loop, through the
# shared library as a game calls it.
add_executable(bench_poll ${CMAKE_CURRENT_SOURCE_DIR}/bench_poll.cpp)
target_compile_options(bench_poll PRIVATE ${NIMO_WARNINGS})
target_include_directories(bench_poll PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(bench_poll PRIVATE nimosdk64 benchmark::benchmark)
