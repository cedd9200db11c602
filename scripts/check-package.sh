#!/usr/bin/env bash
# Checks a built package without installing it: unpacks it into a temporary
# directory and runs its qel-track on a pedestrian clip (Debian's opencv-doc
# vtest.avi; the built-in scene where that is missing) with the unpacked
# module directory. Tracks must arrive, the exit status be 0, and every one
# of our libraries load from the unpacked tree, none from the build tree.
set -euo pipefail
deb=${1:?usage: check-package.sh PACKAGE.deb}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
tool=$tmp/root/usr/bin/qel-track
module=$tmp/root/opt/qel-object-tracker/module

clip=/usr/share/doc/opencv-doc/examples/data/vtest.avi
input=()
if [[ -f $clip ]]; then
  input=("$clip" --frames 100)
elif [[ -f $clip.gz ]]; then
  gunzip -c "$clip.gz" > "$tmp/vtest.avi"
  input=("$tmp/vtest.avi" --frames 100)
else
  echo "no $clip (package opencv-doc): the built-in scene instead"
  input=(--frames 300)
fi

# Our libraries as the loader found them: each must lie in the unpacked tree.
ours='lib(KestRefHost|QelObjectTracker|QelWrapperGpu|FaceEngineSDK|TrackEngineSDK|CvUtils|cudart|nppicc)\.so'
loaded() {
  cat "$tmp"/ld.* | sed -n 's/.*calling init: //p' | grep -E "/$ours" | sort -u
  rm -f "$tmp"/ld.*
}
check_loaded() {
  local libs
  libs=$(loaded)
  while IFS= read -r lib; do echo "  loaded $lib"; done <<< "$libs"
  if [[ $(echo "$libs" | grep -cE "/$ours") -ne 8 ]] || echo "$libs" | grep -v "^$tmp/root/" | grep -q .; then
    echo "FAIL: not all of our eight libraries came from the unpacked package"
    exit 1
  fi
}

status=0
LD_DEBUG=libs LD_DEBUG_OUTPUT=$tmp/ld "$tool" --module "$module" "${input[@]}" > "$tmp/out.jsonl" 2> "$tmp/err.txt" ||
  status=$?
check_loaded
summary=$(tail -n 1 "$tmp/out.jsonl")
tracks=$(echo "$summary" | sed -n 's/.*"tracks":\([0-9]*\).*/\1/p')
reports=$(grep -c '"targets":\[{' "$tmp/out.jsonl" || true)
echo "qel-track from the package: exit status $status, $reports reports with targets, summary: $summary"
if [[ $status -ne 0 || -z $tracks || $tracks -eq 0 || $reports -eq 0 ]]; then
  cat "$tmp/err.txt"
  echo "FAIL: the packaged qel-track tracked nothing or did not succeed"
  exit 1
fi

# Without --module the unpacked tool finds the unpacked module beside it.
LD_DEBUG=libs LD_DEBUG_OUTPUT=$tmp/ld "$tool" --frames 5 > /dev/null
check_loaded
echo "package check passed"
