# bench_config: the configuration store's read, change, write cycle beside the
# plain write-and-rename floor.
add_executable(bench_config ${CMAKE_CURRENT_SOURCE_DIR}/bench_config.cpp)
target_compile_options(bench_config PRIVATE ${NIMO_WARNINGS})
target_link_libraries(bench_config PRIVATE nimo_internal benchmark::benchmark)
