# Package installs that change only what they say (sourced by scripts/setup
# and its steps).
#
# apt_install WHAT PACKAGE...  installs the packages that are missing. First it
#   asks apt-get (-s, a simulation) what would change and prints it: every
#   package that would be newly installed, upgraded or removed. It stops with
#   status 1, changing nothing, when anything would be removed. With
#   TAVRIN_SETUP_DRY_RUN set it stops after printing.
# pkg_installed PACKAGE        whether dpkg has PACKAGE installed.
# has_sound_server             whether a sound server is installed already
#                              (PulseAudio, or PipeWire's PulseAudio server).
#
# TAVRIN_DPKG_ADMINDIR (default /var/lib/dpkg) points dpkg and apt at another
# package database: tests simulate other machines with it.

tavrin_admindir=${TAVRIN_DPKG_ADMINDIR:-/var/lib/dpkg}

pkg_installed() {
  dpkg-query --admindir="$tavrin_admindir" -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

has_sound_server() {
  pkg_installed pulseaudio || pkg_installed pipewire-pulse
}

apt_install() {
  local what=$1 p plan removed upgraded new
  shift
  local missing=()
  for p in "$@"; do pkg_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ -z "${TAVRIN_SETUP_DRY_RUN:-}" ] && [ -z "${TAVRIN_APT_UPDATED:-}" ]; then
    apt-get update -qq
    export TAVRIN_APT_UPDATED=1
  fi
  plan=$(apt-get -s -o Dir::State::status="$tavrin_admindir/status" install "${missing[@]}") || {
    echo "setup: apt-get cannot install $what (${missing[*]})" >&2
    return 1
  }
  new=$(sed -n 's/^Inst \([^ ]*\) (.*/\1/p' <<<"$plan" | xargs)
  upgraded=$(sed -n 's/^Inst \([^ ]*\) \[.*/\1/p' <<<"$plan" | xargs)
  removed=$(sed -n 's/^Remv \([^ ]*\).*/\1/p' <<<"$plan" | xargs)
  echo "setup: installing ${missing[*]} ($what)"
  [ -z "$new" ] || echo "setup:   new packages: $new"
  [ -z "$upgraded" ] || echo "setup:   upgraded: $upgraded"
  if [ -n "$removed" ]; then
    echo "setup: installing $what would remove $removed; stopping without changing anything" >&2
    return 1
  fi
  [ -z "${TAVRIN_SETUP_DRY_RUN:-}" ] || return 0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 "${missing[@]}"
}
