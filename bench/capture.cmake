# Recording cost, completeness and stop latency against the headless server
# (run through bench/record-bench, which starts one).
add_executable(bench_record ${CMAKE_CURRENT_LIST_DIR}/record_bench.cc)
target_include_directories(bench_record PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(bench_record PRIVATE TAVRIN_SYSTEM_AUDIO_BIN="$<TARGET_FILE:tavrin-system-audio>")
