#!/usr/bin/env bash
# Builds whisper.cpp (CPU only) for the optional Whisper engine of
# tavrin-apple-speech and installs it into $TAVRIN_WHISPER_PREFIX (default
# /opt/tavrin/whisper):
#   include/   whisper.h, ggml*.h
#   lib/       libwhisper.so, libggml*.so (its own ggml, apart from llama's)
#   bin/       whisper-cli, whisper-bench (the peers the benchmarks measure)
#   VERSION    what was built; a matching VERSION skips the whole step
#
# The CPU code is the same fixed baseline as llama.cpp's
# (scripts/lib/engine_build.sh); OpenMP as in llama.cpp. Every library and tool carries
# the run path $ORIGIN:$ORIGIN/../lib only, so it finds its own ggml wherever
# the directory is copied and never one of a build tree.
#
# Debian has no whisper.cpp package, so the source comes from the npm package
# nodejs-whisper at a pinned version and checksum, which carries whisper.cpp
# 1.9.1. The package's scripts are never run. Networking (curl) is off.
# Built with Debian's hardening flags (scripts/lib/hardening.sh), like the
# helper that loads it.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../lib/apt.sh
. "$here/scripts/lib/apt.sh"

NODEJS_WHISPER_VERSION=0.3.1
NODEJS_WHISPER_SHA512=71ea2295456b691b91e459cdc97a46413d9ab80478f0e7370100449a45e75694a7f6237ac95473401142a954c659b93a59d8bde4d86fc1737316fb91edeacb5b
prefix=${TAVRIN_WHISPER_PREFIX:-/opt/tavrin/whisper}
stamp="nodejs-whisper@${NODEJS_WHISPER_VERSION} cpu shared portable-avx2 hardened"
jobs=${TAVRIN_WHISPER_JOBS:-2}

if [ -f "$prefix/VERSION" ] && [ "$(head -n1 "$prefix/VERSION")" = "$stamp" ] \
   && [ -f "$prefix/lib/libwhisper.so" ] && [ -x "$prefix/bin/whisper-cli" ] \
   && [ -x "$prefix/bin/whisper-bench" ]; then
  exit 0
fi

command -v npm >/dev/null || apt_install "npm, to fetch whisper.cpp's source" npm

echo "setup: building whisper.cpp from nodejs-whisper@${NODEJS_WHISPER_VERSION} into $prefix (takes a while)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Paths in the libraries (assertion messages) name the source relative to
# this directory, never the temporary directory itself.
# shellcheck source=../lib/hardening.sh
. "$here/scripts/lib/hardening.sh"
# shellcheck source=../lib/engine_build.sh
. "$here/scripts/lib/engine_build.sh"

tarball=$(fetch_npm_source nodejs-whisper "${NODEJS_WHISPER_VERSION}" "${NODEJS_WHISPER_SHA512}")
tar xzf "$tarball" package/cpp/whisper.cpp
src=package/cpp/whisper.cpp

cmake -S "$src" -B build \
  -DCMAKE_SKIP_BUILD_RPATH=OFF \
  -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
  -DCMAKE_INSTALL_RPATH='$ORIGIN:$ORIGIN/../lib' \
  -DWHISPER_BUILD_TESTS=OFF \
  -DWHISPER_BUILD_EXAMPLES=ON \
  -DWHISPER_BUILD_SERVER=OFF \
  -DWHISPER_CURL=OFF \
  -DWHISPER_SDL2=OFF \
  -DWHISPER_COMMON_FFMPEG=OFF \
  "${ENGINE_CMAKE_OPTIONS[@]}" >build.log 2>&1 || { cat build.log >&2; exit 1; }
cmake --build build -j "$jobs" --target whisper whisper-cli whisper-bench >>build.log 2>&1 \
  || { tail -n 60 build.log >&2; exit 1; }

staging="$prefix.new"
rm -rf "$staging"
mkdir -p "$staging/include" "$staging/lib" "$staging/bin"
cp "$src/include/whisper.h" "$staging/include/"
cp "$src"/ggml/include/*.h "$staging/include/"
find build -name 'lib*.so*' -exec cp -a {} "$staging/lib/" \;
cp build/bin/whisper-cli build/bin/whisper-bench "$staging/bin/"
printf '%s\n%s\n' "$stamp" "whisper.cpp 1.9.1" >"$staging/VERSION"
rm -rf "$prefix"
mv "$staging" "$prefix"
echo "setup: whisper.cpp 1.9.1 installed in $prefix"
