# bench_post: PostEvent through the exported call, one every 2 ms, with the
# game's files locked by another process, beside a bare queue push.
if(TARGET nimo_sandbox_lib)
  add_executable(bench_post ${CMAKE_CURRENT_SOURCE_DIR}/bench_post.cpp)
  target_compile_options(bench_post PRIVATE ${NIMO_WARNINGS})
  target_include_directories(bench_post PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(bench_post PRIVATE nimosdk64 nimo_sandbox_lib)
endif()
