# bench_track: PostEvent on the calling thread beside one store cycle, and a
# burst of events that must all reach the sandbox.
if(TARGET nimo_sandbox_lib)
  add_executable(bench_track ${CMAKE_CURRENT_SOURCE_DIR}/bench_track.cpp)
  target_compile_options(bench_track PRIVATE ${NIMO_WARNINGS})
  target_link_libraries(bench_track PRIVATE nimo_internal nimo_sandbox_lib)
endif()
