# bench_llm: tavrin-apple-llm against llama.cpp's own llama-bench.
if(TARGET tavrin_apple_llm_lib)
  add_executable(bench_llm ${CMAKE_CURRENT_LIST_DIR}/llm_bench.cc)
  target_link_libraries(bench_llm PRIVATE tavrin_apple_llm_lib tavrin_llm_testmodel)
  target_compile_definitions(bench_llm PRIVATE
    TAVRIN_APPLE_LLM_BIN="$<TARGET_FILE:tavrin-apple-llm>"
    LLAMA_BENCH_BIN="${LLAMA_BENCH_PROGRAM}")
endif()
if(TARGET bench_llm AND NOT LLAMA_BENCH_PROGRAM)
  message(WARNING "llama-bench not found: bench_llm will print no peer figures (run scripts/setup)")
endif()
