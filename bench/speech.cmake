# Speech helper benchmarks; bench/speech.sh runs them and prints figures.
add_executable(bench_pocketsphinx_alone ${CMAKE_CURRENT_LIST_DIR}/pocketsphinx_alone.cc)
target_link_libraries(bench_pocketsphinx_alone PRIVATE tavrin_pocketsphinx)

