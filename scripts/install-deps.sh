#!/usr/bin/env bash
# Installs, with apt-get, only the Debian packages the build needs that are missing.
# Quick when everything is present: one dpkg query, no network.
set -euo pipefail
packages=(g++ cmake ninja-build make pkg-config googletest libgtest-dev libgmock-dev libgsl-dev
  libbenchmark-dev libplplot-dev plplot-driver-cairo nlohmann-json3-dev strace
  libsqlite3-dev sqlite3 libtomlplusplus-dev libxxhash-dev libcli11-dev libjs-vega python3-pandas
  parallel
  clang libclang-rt-14-dev clang-format)
# Packages named as arguments replace the list: `install-deps.sh chromium` for the browser tests.
[[ $# -gt 0 ]] && packages=("$@")
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
