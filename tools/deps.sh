#!/usr/bin/env bash
# Installs every Debian package democomm needs to build, run and test. The one list of
# packages for the project: the run, test and CI scripts all call this. Idempotent, and
# silent when everything is already present.
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake ninja-build ccache pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins
  # charts for the monitor window; Qt Charts' CMake files need the OpenGL ones, which its
  # package does not pull in
  qt6-charts-dev libqt6opengl6-dev
  # tests and peers for end-to-end runs
  libgtest-dev libgmock-dev socat mbpoll libmodbus-dev
  # reading back the monitor's PDF report (pdftotext, pdftoppm)
  poppler-utils
  # fuzzing and sanitizer runtimes
  clang libclang-rt-14-dev
  # a display for the demo on headless machines and for screenshots; a font with Chinese glyphs
  xvfb xauth fonts-wqy-microhei
  # the Debian package and its checks (appstream: appstreamcli validates the metainfo)
  dpkg-dev lintian desktop-file-utils appstream
  # the mutation check (tools/mutants)
  python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  SUDO="sudo"
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
