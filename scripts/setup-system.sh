#!/usr/bin/env bash
# One-time system setup: installs with apt-get the Debian packages that the test suite uses and
# pip cannot provide. Installs only what is missing; does nothing when all is there.
#
#   xvfb, xdotool        the real-window test (an X server, and a way to find and drive a window)
#   libgl1, libglib2.0-0 libraries that OpenCV's GUI build (opencv-python) links against
#   g++                  the C++17 compiler for the extension; it also brings libasan and
#                        libubsan, which the sanitizer pass preloads
#   opencv-doc           real example videos (vtest.avi) for the pipelined recording's test
#
# Usage: scripts/setup-system.sh   (as root, or it only lists what is missing)
# Exits non-zero only when the compiler is missing and cannot be installed; without the others the
# real-window test is skipped.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

missing=()
command -v Xvfb >/dev/null 2>&1 || missing+=(xvfb)
command -v xdotool >/dev/null 2>&1 || missing+=(xdotool)
have_lib() { ldconfig -p 2>/dev/null | grep -q "$1"; }
have_lib 'libGL\.so\.1 ' || missing+=(libgl1)
have_lib 'libgthread-2\.0\.so\.0 ' || missing+=(libglib2.0-0)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -f /usr/share/doc/opencv-doc/examples/data/vtest.avi ] || missing+=(opencv-doc)

if [ "${#missing[@]}" = 0 ]; then
    log "system packages present"
    exit 0
fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    log "installing: ${missing[*]}"
    if { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >&2; then
        exit 0
    fi
    log "warning: apt-get failed"
else
    log "missing system packages: ${missing[*]} (run this script as root, or: apt-get install ${missing[*]})"
fi
command -v g++ >/dev/null 2>&1 || die "no C++ compiler"
log "warning: the real-window and real-video tests will be skipped"
exit 0
