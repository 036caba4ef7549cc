#!/usr/bin/env bash
# Installs Snakemake, which only the sharded workflow (workflows/) and its test
# need, when it is missing.  Safe to run again: it installs nothing when it is there.
set -euo pipefail
packages=(snakemake)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-workflow-deps: all packages present"
  exit 0
fi
echo "install-workflow-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
