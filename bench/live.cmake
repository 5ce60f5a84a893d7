# Live subtitles: translation per line, subtitle lag / CPU / memory of the
# channels, echo reduction.
add_executable(bench_live_translation live_translation.cc)
target_link_libraries(bench_live_translation PRIVATE tavrin_system_audio_lib)

add_executable(bench_live_channels live_channels.cc)
target_link_libraries(bench_live_channels PRIVATE tavrin_system_audio_lib tavrin_speech_service)

add_executable(bench_live_echo live_echo.cc)
target_link_libraries(bench_live_echo PRIVATE tavrin_system_audio_lib tavrin_speech_service)
