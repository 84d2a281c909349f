#!/usr/bin/env bash
# Configures and builds one configuration in its own folder.
#   tools/build.sh [plain|asan|tsan]     (default: plain)
# Prints the build folder on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
config="${1:-plain}"
case "$config" in
  plain) dir=build;       sanitize="" ;;
  asan)  dir=build-asan;  sanitize="address,undefined" ;;
  tsan)  dir=build-tsan;  sanitize="thread" ;;
  *) echo "build.sh: unknown configuration '$config' (plain, asan or tsan)" >&2; exit 2 ;;
esac
jobs="${DEMOCOMM_JOBS:-$(nproc)}"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMOCOMM_SANITIZE="$sanitize" >/dev/null
fi
cmake --build "$dir" -j "$jobs" >&2
echo "$dir"
