#!/usr/bin/env bash
# What scripts/test.sh and scripts/demo.sh need before nox can take over; both run this first, and
# it does nothing when everything is there.
#
# 1. Debian packages that pip cannot provide, installed with apt-get when run as root (otherwise
#    listed, and the tests that need them are skipped):
#      g++                  the C++17 compiler for the extension; it also brings libasan and
#                           libubsan, which the sanitizer session preloads
#      xvfb, xdotool        the real-window test (an X server, and a way to find and drive a window)
#      libgl1, libglib2.0-0 libraries that OpenCV's GUI build (opencv-python) links against
#      opencv-doc           real example videos (vtest.avi) for the pipelined recording's test
#      python3-gi           GObject introspection for the system's python3, which runs the tests'
#                           RTSP camera (tests/rtsp_server.py)
#      gir1.2-gst-rtsp-server-1.0   GStreamer's RTSP server, as that camera uses it
#      gstreamer1.0-plugins-base    appsrc: the camera's frames go into its stream
#      gstreamer1.0-plugins-good    rtph264pay, rtpbin, udpsrc/udpsink: the RTP the RTSP server sends
#      gstreamer1.0-plugins-bad     h264parse: splits and describes the camera's H.264 stream
#      mosquitto            an MQTT broker on 127.0.0.1 for the MQTT tests
#      chromium, chromium-driver    a real browser, driven through Selenium, for the web pages' tests
# 2. nox, in .venv/nox, made with Python 3.10: $QUARRIN_PYTHON, python3.10 on PATH, or pyenv's.
#
# Usage: scripts/setup-system.sh [--demo]   (--demo: only what the demo needs, the compiler)
# Exits non-zero when the compiler or Python 3.10 is missing, or nox cannot be installed.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
NOX_REQUIREMENT="nox==2026.10.20"

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }
die() { log "error: $*"; exit 1; }

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
if [ "${1:-}" != --demo ]; then
    command -v Xvfb >/dev/null 2>&1 || missing+=(xvfb)
    command -v xdotool >/dev/null 2>&1 || missing+=(xdotool)
    have_lib() { ldconfig -p 2>/dev/null | grep -q "$1"; }
    have_lib 'libGL\.so\.1 ' || missing+=(libgl1)
    have_lib 'libgthread-2\.0\.so\.0 ' || missing+=(libglib2.0-0)
    [ -f /usr/share/doc/opencv-doc/examples/data/vtest.avi ] || missing+=(opencv-doc)
    sys_python() { /usr/bin/python3 -I -c "import gi; $1" >/dev/null 2>&1; }
    sys_python '' || missing+=(python3-gi)
    sys_python 'gi.require_version("GstRtspServer", "1.0")' || missing+=(gir1.2-gst-rtsp-server-1.0)
    have_gst() { ls /usr/lib/*/gstreamer-1.0/libgst"$1".so >/dev/null 2>&1; }
    have_gst app || missing+=(gstreamer1.0-plugins-base)
    { have_gst rtp && have_gst rtpmanager && have_gst udp; } || missing+=(gstreamer1.0-plugins-good)
    have_gst videoparsersbad || missing+=(gstreamer1.0-plugins-bad)
    [ -x /usr/sbin/mosquitto ] || missing+=(mosquitto)
    command -v chromium >/dev/null 2>&1 || missing+=(chromium)
    command -v chromedriver >/dev/null 2>&1 || missing+=(chromium-driver)
fi
if [ "${#missing[@]}" != 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        log "installing: ${missing[*]}"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >&2 \
            || log "warning: apt-get failed"
    else
        log "missing system packages: ${missing[*]} (as root: apt-get install ${missing[*]});" \
            "the tests that need them are skipped"
    fi
    command -v g++ >/dev/null 2>&1 || die "no C++ compiler (g++)"
fi

# nox's own environment. A pyenv shim only counts when it runs.
nox_venv="$repo/.venv/nox"
if [ "$(cat "$nox_venv/.quarrin-requirements" 2>/dev/null)" != "$NOX_REQUIREMENT" ] \
        || ! "$nox_venv/bin/python" -c '' 2>/dev/null; then
    py=""
    root=${PYENV_ROOT:-$HOME/.pyenv}
    for c in "${QUARRIN_PYTHON:-}" python3.10 $(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -rV); do
        if [ -n "$c" ] && "$c" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then
            py=$c; break
        fi
    done
    [ -n "$py" ] || die "Python 3.10 not found: install it (pyenv install 3.10) or set QUARRIN_PYTHON"
    log "installing $NOX_REQUIREMENT into .venv/nox ($("$py" -c 'import sys; print(sys.executable)'))"
    rm -rf "$nox_venv"
    "$py" -m venv "$nox_venv" || die "could not create $nox_venv"
    "$nox_venv/bin/python" -m pip install -q "$NOX_REQUIREMENT" 2> >(grep -v "is ignored: it is neither" >&2) \
        || die "could not install $NOX_REQUIREMENT"
    printf '%s\n' "$NOX_REQUIREMENT" > "$nox_venv/.quarrin-requirements"
fi
exit 0
