# Whisper engine benchmarks; bench/whisper.sh runs them and prints figures.
add_executable(bench_whisper_redecode ${CMAKE_CURRENT_LIST_DIR}/whisper_redecode.cc)
target_link_libraries(bench_whisper_redecode PRIVATE tavrin_speech_service)

add_executable(bench_whisper_live ${CMAKE_CURRENT_LIST_DIR}/whisper_live.cc)
target_link_libraries(bench_whisper_live PRIVATE tavrin_system_audio_lib tavrin_speech_service tavrin_whisper_testmodel)
