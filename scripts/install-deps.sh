#!/usr/bin/env bash
# Installs the Debian packages that building and testing alnkit needs, when
# they are missing.  With --workflow it installs instead what only the sharded
# workflow (workflows/) and its test need: Snakemake, without the packages it
# merely recommends.  Safe to run again: it installs nothing when all are there.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev zlib1g-dev libdeflate-dev libncurses-dev libgtest-dev python3 tmux)
apt_options=()
case "${1:-}" in
  "") ;;
  --workflow) packages=(snakemake) apt_options=(--no-install-recommends) ;;
  *) echo "usage: scripts/install-deps.sh [--workflow]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${apt_options[@]}" "${missing[@]}"
