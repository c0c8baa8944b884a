# shellcheck shell=bash
# apt.sh: installs Debian packages that are missing (sourced, not run).
#
# apt_ensure PACKAGE...: installs those of the named packages that dpkg does
# not list as installed, with a bounded apt-get, and fails if any is still
# missing afterwards. A machine that already has them all is not touched.

apt_missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

apt_ensure() {
  local need
  mapfile -t need < <(apt_missing "$@")
  ((${#need[@]})) || return 0
  printf 'installing: %s\n' "${need[*]}" >&2
  if [[ $(id -u) -ne 0 ]]; then
    printf 'apt: missing packages (%s) and not root\n' "${need[*]}" >&2
    return 1
  fi
  timeout 600 apt-get update -qq >/dev/null || {
    echo 'apt: apt-get update failed' >&2
    return 1
  }
  DEBIAN_FRONTEND=noninteractive timeout 1200 apt-get install -y -qq "${need[@]}" >/dev/null || {
    printf 'apt: apt-get install %s failed\n' "${need[*]}" >&2
    return 1
  }
  mapfile -t need < <(apt_missing "${need[@]}")
  ((${#need[@]} == 0)) || {
    printf 'apt: still missing after install: %s\n' "${need[*]}" >&2
    return 1
  }
}
