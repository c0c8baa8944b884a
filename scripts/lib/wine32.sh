# shellcheck shell=bash disable=SC2034 # WINE32_WHY is read by the callers
# wine32.sh: the 32-bit side of Wine, which runs the product (sourced, not run).
#
# wine32_kernel_ok: true when this kernel runs 32-bit x86 programs; otherwise
#   sets WINE32_WHY to one line saying why not.
# wine32_ensure: on such a kernel, adds Debian's i386 architecture and installs
#   wine32 (bounded, through apt_ensure); returns 1 with WINE32_WHY set when
#   the 32-bit product cannot be run on this machine.
# wine_loader_for EXE: prints the Wine loader that runs EXE (32- or 64-bit).

# shellcheck source=scripts/lib/apt.sh
source "$(dirname "${BASH_SOURCE[0]}")/apt.sh"

WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64
WINE32_WHY=""

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

wine32_kernel_ok() {
  local dir status=0 err
  [[ $(uname -m) == x86_64 || $(uname -m) == i?86 ]] || {
    WINE32_WHY="this is a $(uname -m) machine, not an x86 one"
    return 1
  }
  dir=$(mktemp -d "${TMPDIR:-/tmp}/lumrio-probe32.XXXXXX") || {
    WINE32_WHY="no temporary directory for the 32-bit probe"
    return 1
  }
  wine32_write_probe "$dir/probe32"
  err=$("$dir/probe32" 2>&1) || status=$?
  rm -rf "$dir"
  ((status == 7)) && return 0
  WINE32_WHY="the kernel does not run 32-bit programs (probe status $status${err:+: ${err##*: }})"
  return 1
}

wine32_ensure() {
  wine32_kernel_ok || return 1
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
