# Debian's hardening flags, from dpkg-buildflags with every hardening feature
# on: stack protector, _FORTIFY_SOURCE, format checks, RELRO and BIND_NOW
# (PIE is the compiler's default on Debian). Sourced by scripts/package and
# the engine steps of scripts/setup.d, so the helpers and their private
# libraries ship with the same protection. Sets:
#   HARDENED_CFLAGS HARDENED_CXXFLAGS HARDENED_LDFLAGS
# The optimisation level and debug information stay the build type's own.
hardened() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" | sed -e 's/\(^\| \)-g\( \|$\)/ /' -e 's/\(^\| \)-O2\( \|$\)/ /'
}
cppflags=$(hardened CPPFLAGS)
HARDENED_CFLAGS="$cppflags $(hardened CFLAGS)"
HARDENED_CXXFLAGS="$cppflags $(hardened CXXFLAGS)"
HARDENED_LDFLAGS=$(hardened LDFLAGS)
unset cppflags
