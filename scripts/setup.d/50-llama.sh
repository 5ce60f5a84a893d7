#!/usr/bin/env bash
# Builds llama.cpp (CPU only) for tavrin-apple-llm and installs it into
# $TAVRIN_LLAMA_PREFIX (default /opt/tavrin/llama):
#   include/   llama.h, ggml*.h, gguf.h
#   lib/       libllama.so, libggml*.so, libllama-common.so
#   bin/       llama-bench (the peer the benchmarks measure against)
#   VERSION    what was built; a matching VERSION skips the whole step
#
# The CPU code is the fixed baseline of scripts/lib/engine_build.sh (AVX2,
# FMA, F16C, BMI2, never the build machine's own CPU); the notes helper
# checks these features before it loads the library.
#
# Debian has no llama.cpp package, so the source comes from the npm package
# node-llama-cpp at a pinned version, which carries it as a git bundle. The
# package's install scripts are never run, and the tarball must match its
# pinned sha512 (the registry's own integrity value for that version).
# Networking in llama.cpp is off. Built with Debian's hardening flags
# (scripts/lib/hardening.sh), like the helpers that load it.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../lib/apt.sh
. "$here/scripts/lib/apt.sh"

NODE_LLAMA_CPP_VERSION=3.21.1
NODE_LLAMA_CPP_SHA512=13737412fd956b4c33c9dbd7605c0cf47bf2a34ecfa168edf13ffd18c738dc2bedf18915fcd53fb5852010c0b582b4cfbf6a3d3d18d08b41b759be4ffdac2232
prefix=${TAVRIN_LLAMA_PREFIX:-/opt/tavrin/llama}
stamp="node-llama-cpp@${NODE_LLAMA_CPP_VERSION} cpu shared portable-avx2 hardened"
jobs=${TAVRIN_LLAMA_JOBS:-2}

# Run paths stay $ORIGIN-relative only: the build adds its own temporary
# build directory, which no longer exists once installed and which anyone
# could create again under /tmp. Also repairs installs made before this.
pin_run_paths() {
  local script f
  script=$(mktemp)
  printf '%s\n' 'file(RPATH_SET FILE "${F}" NEW_RPATH "$ORIGIN:$ORIGIN/../lib")' >"$script"
  for f in "$1"/lib/lib*.so* "$1"/bin/*; do
    [ -f "$f" ] && [ ! -L "$f" ] || continue
    readelf -d "$f" 2>/dev/null | grep -q 'RUNPATH.*\[\$ORIGIN:\$ORIGIN/\.\./lib\]' && continue
    readelf -d "$f" 2>/dev/null | grep -q RUNPATH || continue
    cmake -DF="$f" -P "$script" >/dev/null
  done
  rm -f "$script"
}

if [ -f "$prefix/VERSION" ] && [ "$(head -n1 "$prefix/VERSION")" = "$stamp" ] \
   && [ -f "$prefix/lib/libllama.so" ] && [ -x "$prefix/bin/llama-bench" ]; then
  pin_run_paths "$prefix"
  exit 0
fi

command -v npm >/dev/null || apt_install "npm, to fetch llama.cpp's source" npm

echo "setup: building llama.cpp from node-llama-cpp@${NODE_LLAMA_CPP_VERSION} into $prefix (takes a while)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Paths in the libraries (assertion messages) name the source relative to
# this directory, never the temporary directory itself.
# shellcheck source=../lib/hardening.sh
. "$here/scripts/lib/hardening.sh"
# shellcheck source=../lib/engine_build.sh
. "$here/scripts/lib/engine_build.sh"

tarball=$(fetch_npm_source node-llama-cpp "${NODE_LLAMA_CPP_VERSION}" "${NODE_LLAMA_CPP_SHA512}")
tar xzf "$tarball" package/llama/gitRelease.bundle
git clone --quiet package/llama/gitRelease.bundle src 2>/dev/null
commit=$(git -C src rev-parse HEAD)

# $ORIGIN-relative run paths let the tools find the libraries both in the
# build tree and once copied into the prefix.
cmake -S src -B build \
  -DCMAKE_BUILD_RPATH='$ORIGIN;$ORIGIN/../lib' \
  -DLLAMA_OPENSSL=OFF \
  -DLLAMA_BUILD_COMMON=ON \
  -DLLAMA_BUILD_TOOLS=ON \
  -DLLAMA_BUILD_TESTS=OFF \
  -DLLAMA_BUILD_EXAMPLES=OFF \
  -DLLAMA_BUILD_SERVER=OFF \
  -DLLAMA_BUILD_APP=OFF \
  -DLLAMA_BUILD_UI=OFF \
  "${ENGINE_CMAKE_OPTIONS[@]}" >build.log 2>&1 || { cat build.log >&2; exit 1; }
cmake --build build -j "$jobs" --target llama llama-bench >>build.log 2>&1 \
  || { tail -n 60 build.log >&2; exit 1; }

staging="$prefix.new"
rm -rf "$staging"
mkdir -p "$staging/include" "$staging/lib" "$staging/bin"
cp src/include/llama.h "$staging/include/"
cp src/ggml/include/*.h "$staging/include/"
find build -name 'lib*.so*' -exec cp -a {} "$staging/lib/" \;
cp build/bin/llama-bench "$staging/bin/"
pin_run_paths "$staging"
printf '%s\n%s\n' "$stamp" "llama.cpp $commit" >"$staging/VERSION"
rm -rf "$prefix"
mv "$staging" "$prefix"
echo "setup: llama.cpp $commit installed in $prefix"
