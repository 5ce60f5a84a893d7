# Whisper engine benchmarks; bench/whisper.sh runs them and prints figures.
add_executable(bench_whisper_redecode ${CMAKE_CURRENT_LIST_DIR}/whisper_redecode.cc)
target_link_libraries(bench_whisper_redecode PRIVATE tavrin_speech_service)
