# Shared steps of the private engine builds in scripts/setup.d (llama.cpp and
# whisper.cpp). Source it from the build's work directory after
# scripts/lib/hardening.sh; it defines functions and one array only.

# fetch_npm_source NAME VERSION SHA512: packs NAME@VERSION from the npm
# registry into the current directory without running any of its scripts,
# and stops setup unless the tarball matches its pinned sha512 (the
# registry's own integrity value for that version). Prints the tarball name.
fetch_npm_source() {
  local tarball="$1-$2.tgz"
  npm pack --silent --ignore-scripts "$1@$2" >/dev/null
  if [ "$(sha512sum "$tarball" | cut -d' ' -f1)" != "$3" ]; then
    echo "setup: $tarball does not match its pinned sha512; not building it" >&2
    exit 1
  fi
  printf '%s\n' "$tarball"
}

# CMake options both engines build with: shared libraries with Debian's
# hardening flags, and a fixed CPU baseline (x86-64 with AVX2, FMA, F16C,
# BMI2: every x86 CPU since 2013/2015), never tuned to the build machine
# (GGML_NATIVE is off) and never AMX or AVX-512, so the same libraries run on
# any machine the helpers meet.
ENGINE_CMAKE_OPTIONS=(
  -G Ninja
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_FLAGS="$HARDENED_CFLAGS" -DCMAKE_CXX_FLAGS="$HARDENED_CXXFLAGS"
  -DCMAKE_EXE_LINKER_FLAGS="$HARDENED_LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$HARDENED_LDFLAGS"
  -DBUILD_SHARED_LIBS=ON
  -DGGML_BACKEND_DL=OFF
  -DGGML_NATIVE=OFF
  -DGGML_SSE42=ON -DGGML_AVX=ON -DGGML_AVX2=ON -DGGML_FMA=ON -DGGML_F16C=ON -DGGML_BMI2=ON
  -DGGML_AVX_VNNI=OFF -DGGML_AVX512=OFF -DGGML_AMX_TILE=OFF -DGGML_AMX_INT8=OFF -DGGML_AMX_BF16=OFF
)
