# bench_journal: the purchase journal's writes on the purchase path.
add_executable(bench_journal ${CMAKE_CURRENT_SOURCE_DIR}/bench_journal.cpp)
target_compile_options(bench_journal PRIVATE ${NIMO_WARNINGS})
target_link_libraries(bench_journal PRIVATE nimo_internal benchmark::benchmark)
