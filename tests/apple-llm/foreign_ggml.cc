// Has the soname of ggml and none of its functions.
extern "C" int tavrin_foreign_ggml() {
  return 0;
}
