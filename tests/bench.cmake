# The per-frame benchmark (tests/bench): Google Benchmark in the simulated
# process. Tests: no heap allocation on any frame path, and a short run of
# every benchmark. The figures in BENCHMARKS.md come from the full run and
# from tests/bench/callgrind.py.
# The package's version file refuses a 32-bit library to a configure whose
# compiler probe ran 64-bit; the simulation compiles and links -m32.
set(QI_SAVED_SIZEOF_VOID_P ${CMAKE_SIZEOF_VOID_P})
set(CMAKE_SIZEOF_VOID_P 4)
find_package(benchmark QUIET)
set(CMAKE_SIZEOF_VOID_P ${QI_SAVED_SIZEOF_VOID_P})
if(NOT benchmark_FOUND)
  message(STATUS "Benchmark skipped: Google Benchmark (libbenchmark-dev:i386) not found")
  return()
endif()
add_executable(qi_bench ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_frame.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_world.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_allocations.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_retry.cpp)
target_compile_options(qi_bench PRIVATE -O2 ${QI_WARNINGS})
target_link_libraries(qi_bench PRIVATE qi_standin_sim benchmark::benchmark)
set_target_properties(qi_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_test(NAME bench.no_heap_allocation_per_frame COMMAND qi_bench --check)
add_test(NAME bench.short_run COMMAND qi_bench --benchmark_min_time=0.01)
# Every kind of frame asks VirtualQuery once per region it reads, no more.
add_test(NAME bench.virtual_query_calls_per_frame COMMAND qi_bench --calls)
# A missing icon's retry frames make no FlushFileBuffers call on the render
# thread (the flush costs nothing here: the count is the test).
add_test(NAME bench.retry_frames_unflushed COMMAND qi_bench --retry-frames 0)
set_tests_properties(bench.no_heap_allocation_per_frame bench.short_run
  bench.virtual_query_calls_per_frame bench.retry_frames_unflushed PROPERTIES TIMEOUT 120)

# A steady frame (Callgrind, repeatable): the plug-in's own instructions (the
# frame less the same frame straight to VHud, less VirtualQuery,
# QueryPlayerPed and DrawSprite), the instructions in all, and the
# VirtualQuery calls. 671, 5110 and 12 before a frame kept its answers;
# 352, 1181 and 2 when these limits were set.
find_program(QI_VALGRIND valgrind)
if(QI_VALGRIND AND QI_SYSTEM_PYTHON)
  add_test(NAME bench.steady_frame_instructions
    COMMAND ${QI_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/bench/callgrind.py $<TARGET_FILE:qi_bench>
      --frames 200 --kinds direct,steady --max-own 400 --max-total 1500 --max-calls 2)
  set_tests_properties(bench.steady_frame_instructions PROPERTIES TIMEOUT 120)
endif()
