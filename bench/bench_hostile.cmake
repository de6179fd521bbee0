# bench_hostile: time and peak memory of hostile answers beside a normal one.
add_executable(bench_hostile ${CMAKE_CURRENT_SOURCE_DIR}/bench_hostile.cpp)
target_compile_options(bench_hostile PRIVATE ${NIMO_WARNINGS})
target_link_libraries(bench_hostile PRIVATE nimo_internal)
