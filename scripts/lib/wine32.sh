# shellcheck shell=bash disable=SC2034 # WINE32_WHY is read by the callers
# wine32.sh: the 32-bit side of Wine, which runs the product (sourced, not run).
#
# wine32_kernel_ok: true when this kernel runs 32-bit x86 programs; otherwise
#   sets WINE32_WHY to one line saying why not.
# wine32_ensure: on such a kernel, adds Debian's i386 architecture and installs
#   wine32 (bounded, through apt_ensure); returns 1 with WINE32_WHY set when
#   that fails.
# wine_loader_for EXE: prints the Wine loader that runs EXE (32- or 64-bit).
# wine_new_prefix DIR: makes a Wine prefix in DIR that runs both kinds.

# shellcheck source=scripts/lib/apt.sh
source "$(dirname "${BASH_SOURCE[0]}")/apt.sh"

WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64
WINE_SERVER=/usr/lib/wine/wineserver
WINE32_WHY=""
# What every prefix here leaves out: the Mono and Gecko install prompts (they
# would block a headless run) and the menu builder, which keeps a core busy
# for seconds after a first boot.
WINE_DLL_OVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# A complete 32-bit Linux program of 96 bytes: one ELF header, one loadable
# segment, and `exit(7)` through int 0x80. It needs no 32-bit library, so it
# asks the kernel alone; the odd status tells a real run from a shell error.
wine32_write_probe() {
  printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80' >"$1"
  chmod +x "$1"
}

# The probe runs from the project's build folder, where the native tests run
# too: a /tmp mounted noexec would refuse it whatever the kernel can do.
WINE32_PROBE_DIR=${WINE32_PROBE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}

wine32_kernel_ok() {
  local dir status=0 err
  [[ $(uname -m) == x86_64 || $(uname -m) == i?86 ]] || {
    WINE32_WHY="this is a $(uname -m) machine, not an x86 one"
    return 1
  }
  mkdir -p "$WINE32_PROBE_DIR" && dir=$(mktemp -d "$WINE32_PROBE_DIR/probe32.XXXXXX") || {
    WINE32_WHY="no folder for the 32-bit probe in $WINE32_PROBE_DIR"
    return 1
  }
  wine32_write_probe "$dir/probe32"
  err=$("$dir/probe32" 2>&1) || status=$?
  rm -rf "$dir"
  ((status == 7)) && return 0
  WINE32_WHY="the kernel does not run 32-bit programs (probe status $status${err:+: ${err##*: }})"
  return 1
}

# Call wine32_kernel_ok first: a failure here is the machine's set-up, not
# its kernel.
wine32_ensure() {
  if ! dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
    if [[ $(id -u) -ne 0 ]]; then
      WINE32_WHY="Debian's i386 architecture is not enabled and this is not root"
      return 1
    fi
    timeout 60 dpkg --add-architecture i386 || {
      WINE32_WHY="dpkg --add-architecture i386 failed"
      return 1
    }
    # apt_ensure updates the lists only when something is missing; wine32 is.
  fi
  apt_ensure wine32 || {
    WINE32_WHY="wine32 could not be installed"
    return 1
  }
  [[ -x $WINE32_LOADER ]] || {
    WINE32_WHY="wine32 is installed but $WINE32_LOADER is missing"
    return 1
  }
}

# The PE header's machine field: 0x14c is i386, 0x8664 is x86-64.
wine_loader_for() {
  local exe=$1 offset machine
  offset=$(od -An -t u4 -j 60 -N 4 "$exe" 2>/dev/null | tr -d ' ')
  [[ -n "$offset" ]] || return 1
  machine=$(od -An -t x2 -j $((offset + 4)) -N 2 "$exe" 2>/dev/null | tr -d ' ')
  case $machine in
    014c) echo "$WINE32_LOADER" ;;
    8664) echo "$WINE64_LOADER" ;;
    *) return 1 ;;
  esac
}

# wine64 makes a prefix that runs 32- and 64-bit programs alike. The first
# boot leaves helpers (rundll32, a second services.exe, winedevice) busy for
# about 10 s more with 32-bit Wine installed; waiting for its wineserver to
# end lets them finish before anything is measured in the prefix.
wine_new_prefix() {
  WINEPREFIX=$1 WINEDLLOVERRIDES=$WINE_DLL_OVERRIDES WINEDEBUG=-all \
    timeout 120 "$WINE64_LOADER" wineboot -i >/dev/null 2>&1 &&
    WINEPREFIX=$1 timeout 60 "$WINE_SERVER" -w
}
