#!/usr/bin/env bash
# Installs the Debian packages that building and testing mm9charge need, when any is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  googletest libgtest-dev libgmock-dev
  clang-14 libclang-rt-14-dev
  # The interoperability tests: freeDiameter as the server, tshark as the decoder, ip netns.
  freediameterd freediameter-extensions libfreediameter-dev tshark iproute2
  valgrind  # scripts/valgrind-run.sh
)
if [ "$#" -gt 0 ]; then packages+=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
