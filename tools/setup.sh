#!/usr/bin/env bash
# Installs what the build, the demo and the tests need on a Debian machine.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

pkgs=(cmake make g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
      wine wine32:i386 libgtest-dev:i386 libgtest-dev
      libbenchmark-dev:i386 valgrind python3 python3-cairo fonts-dejavu-core
      clang libclang-rt-14-dev nlohmann-json3-dev
      qemu-system-x86 busybox-static cpio python3-markdown-it)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  NEED_UPDATE=1
fi
for p in "${pkgs[@]}"; do have_pkg "$p" || need+=("$p"); done

if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The VM for machines that cannot run i386 programs (tools/vm): prepared on
# every machine, since the tests run one scenario in it everywhere.
"$(dirname "$0")/vm/prepare.sh" >/dev/null
