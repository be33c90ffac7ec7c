#!/usr/bin/env bash
# Installs what the build, the demo and the tests need on a Debian machine.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

pkgs=(cmake make g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
      wine wine32:i386 libgtest-dev:i386 libgtest-dev
      libbenchmark-dev:i386 valgrind python3 python3-cairo fonts-dejavu-core
      clang libclang-rt-14-dev nlohmann-json3-dev libssl-dev
      qemu-system-x86 busybox-static cpio python3-markdown-it)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  NEED_UPDATE=1
fi
for p in "${pkgs[@]}"; do have_pkg "$p" || need+=("$p"); done

# A package mirror in the middle of a sync serves an index of the wrong size
# for a while: apt-get update then fails for that index alone. It is tried a
# few times; if it still fails, the install is tried with the indexes that
# did arrive, and only a failed install stops the run, saying which index
# failed and how to try again.
update_indexes() {
  local try log="$1"
  for try in 1 2 3 4; do
    if $SUDO apt-get update -qq >"$log" 2>&1; then
      return 0
    fi
    [ "$try" -lt 4 ] && sleep $((try * 5))
  done
  return 1
}

if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  update_log="$(mktemp)"
  trap 'rm -f "$update_log"' EXIT
  update_ok=1
  if ! update_indexes "$update_log"; then
    update_ok=0
    echo "setup: apt-get update failed 4 times; trying the install with the indexes at hand" >&2
  fi
  install=($SUDO apt-get install -y -qq --no-install-recommends)
  installed=0
  if "${install[@]}" "${need[@]}" >/dev/null; then
    installed=1
  elif [ "$update_ok" = 0 ]; then
    # Without one architecture's index of a suite, the other architecture's
    # newer versions there cannot be matched (multi-arch libraries must
    # agree): the install is tried once more with that suite held back.
    suites="$(sed -n 's|^[EW]: Failed to fetch .*/dists/\([^/]*\)/.*|\1|p' "$update_log" | sort -u)"
    if [ -n "$suites" ]; then
      prefs="$(mktemp)"
      trap 'rm -f "$update_log" "$prefs"' EXIT
      for suite in $suites; do
        printf 'Package: *\nPin: release n=%s\nPin-Priority: 1\n\n' "$suite" >>"$prefs"
      done
      echo "setup: installing without the updates of: $suites" >&2
      if "${install[@]}" -o Dir::Etc::Preferences="$prefs" "${need[@]}" >/dev/null; then
        installed=1
      fi
    fi
  fi
  if [ "$installed" = 0 ]; then
    echo "setup: could not install: ${need[*]}" >&2
    if [ "$update_ok" = 0 ]; then
      echo "setup: these package indexes failed to download:" >&2
      grep -E '^(E|W): Failed to fetch' "$update_log" | sed 's/^[EW]: Failed to fetch /  /; s/  File has.*//' >&2 || true
      grep -q 'Mirror sync in progress' "$update_log" &&
        echo "setup: the package mirror seems to be in the middle of a sync; wait a few minutes" >&2
    fi
    echo "setup: to try again: $SUDO apt-get update && ./run test" >&2
    exit 1
  fi
fi

# The VM for machines that cannot run i386 programs (tools/vm): prepared on
# every machine, since the tests run one scenario in it everywhere.
"$(dirname "$0")/vm/prepare.sh" >/dev/null
