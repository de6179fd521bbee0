# bench_init: the cost of the nimo_init call on the game's thread (p50/p99), each
# sample a first Init in a fresh process, through the shared library.
add_executable(bench_init ${CMAKE_CURRENT_SOURCE_DIR}/bench_init.cpp)
target_compile_options(bench_init PRIVATE ${NIMO_WARNINGS})
target_include_directories(bench_init PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(bench_init PRIVATE nimosdk64 benchmark::benchmark)
